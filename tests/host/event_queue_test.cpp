// The host's event queues: one per thread, as window message queues are.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "host/platform.h"

namespace {

using ::testing::ElementsAre;

TEST(EventQueues, ADrainRunsTheCallingThreadsEventsOnly) {
  std::vector<std::string> ran;
  paravelle::host::post_message([&] { ran.push_back("main"); });
  std::promise<std::uint32_t> id;
  std::promise<void> posted;
  std::thread renderer([&] {
    paravelle::host::post_message([&] { ran.push_back("renderer's own"); });
    id.set_value(paravelle::host::current_thread_id());
    posted.get_future().wait();
    paravelle::host::drain_messages();
  });
  // Posted to the renderer from here: runs in the renderer's drain, not in this thread's.
  paravelle::host::post_message_to(id.get_future().get(), [&] { ran.push_back("posted to the renderer"); });
  posted.set_value();
  renderer.join();
  EXPECT_THAT(ran, ElementsAre("renderer's own", "posted to the renderer"));

  // An event that posts another to its own thread sees it run in the same drain.
  paravelle::host::post_message(
      [&] { paravelle::host::post_message([&] { ran.push_back("posted during the drain"); }); });
  const std::uint64_t drains = paravelle::host::drain_count();
  paravelle::host::drain_messages();
  EXPECT_THAT(ran, ElementsAre("renderer's own", "posted to the renderer", "main", "posted during the drain"));
  EXPECT_EQ(paravelle::host::drain_count(), drains + 1);
}

}  // namespace
