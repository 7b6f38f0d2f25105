// The host's event queues: one per thread, as window message queues are.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/platform.h"

namespace {

using ::testing::ElementsAre;

// A thread that drains its own queue whenever the test asks it to.
class PumpingThread {
 public:
  PumpingThread() : thread_([this] { run(); }) { id_ = id_promise_.get_future().get(); }
  ~PumpingThread() {
    pump([this] { stop_ = true; });
    thread_.join();
  }
  std::uint32_t id() const { return id_; }
  // Posts `event` to this thread and waits until a drain on it has run it.
  void pump(std::function<void()> event) {
    std::promise<void> done;
    host::post_message_to(id_, [&] {
      event();
      done.set_value();
    });
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++wanted_;
    }
    wake_.notify_one();
    done.get_future().get();
  }

 private:
  void run() {
    id_promise_.set_value(host::current_thread_id());
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      wake_.wait(lock, [this] { return wanted_ > 0; });
      --wanted_;
      lock.unlock();
      host::drain_messages();
      lock.lock();
    }
  }

  std::promise<std::uint32_t> id_promise_;
  std::uint32_t id_ = 0;
  std::mutex mutex_;
  std::condition_variable wake_;
  int wanted_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

TEST(EventQueues, ADrainRunsTheCallingThreadsEventsOnly) {
  std::vector<std::string> ran;
  host::post_message([&] { ran.push_back("main 1"); });
  host::post_message([&] { ran.push_back("main 2"); });
  {
    PumpingThread renderer;
    renderer.pump([&] { ran.push_back("renderer"); });
    EXPECT_THAT(ran, ElementsAre("renderer"));
  }
  host::drain_messages();
  EXPECT_THAT(ran, ElementsAre("renderer", "main 1", "main 2"));
  host::drain_messages();
  EXPECT_EQ(ran.size(), 3u);
}

TEST(EventQueues, EventsPostedToAnotherThreadRunInItsDrain) {
  PumpingThread other;
  std::uint32_t ran_on = 0;
  host::post_message_to(other.id(), [&] { ran_on = host::current_thread_id(); });
  host::drain_messages();
  EXPECT_EQ(ran_on, 0u);
  other.pump([] {});
  EXPECT_EQ(ran_on, other.id());
}

// An event that posts another one to its own thread sees it run in the same drain, as a
// message loop that runs until the queue is empty would.
TEST(EventQueues, EventsPostedDuringADrainRunInIt) {
  std::vector<int> ran;
  host::post_message([&] {
    ran.push_back(1);
    host::post_message([&] { ran.push_back(2); });
  });
  const std::uint64_t drains = host::drain_count();
  host::drain_messages();
  EXPECT_THAT(ran, ElementsAre(1, 2));
  EXPECT_EQ(host::drain_count(), drains + 1);
}

}  // namespace
