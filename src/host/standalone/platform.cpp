#include "host/platform.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace paravelle::host {
namespace {

std::atomic<std::uint32_t> tick_offset{0};
std::atomic<std::uint64_t> drains{0};

// The host's event queues, one per thread id. A queue exists while it holds events: the
// drain that empties it removes it, so threads that come and go leave nothing behind.
struct EventQueues {
  std::mutex mutex;
  std::unordered_map<std::uint32_t, std::deque<std::function<void()>>> by_thread;

  // The next event of the thread's queue, or an empty function when there is none.
  std::function<void()> take(std::uint32_t thread_id) {
    const std::lock_guard<std::mutex> lock(mutex);
    const auto queue = by_thread.find(thread_id);
    if (queue == by_thread.end()) return {};
    if (queue->second.empty()) {
      by_thread.erase(queue);
      return {};
    }
    std::function<void()> event = std::move(queue->second.front());
    queue->second.pop_front();
    if (queue->second.empty()) by_thread.erase(queue);
    return event;
  }

  void post(std::uint32_t thread_id, std::function<void()> event) {
    const std::lock_guard<std::mutex> lock(mutex);
    by_thread[thread_id].push_back(std::move(event));
  }
};

std::function<void(std::uint32_t)>& sleep_function() {
  static std::function<void(std::uint32_t)> sleeper;
  return sleeper;
}

EventQueues& event_queues() {
  static EventQueues queues;
  return queues;
}

}  // namespace

std::uint32_t tick_count() {
  const auto since_boot = std::chrono::steady_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_boot).count();
  return static_cast<std::uint32_t>(ms) + tick_offset.load();
}

void sleep_ms(std::uint32_t milliseconds) {
  if (const auto& sleeper = sleep_function()) return sleeper(milliseconds);
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void set_sleep_function(std::function<void(std::uint32_t)> sleeper) { sleep_function() = std::move(sleeper); }

std::uint32_t current_thread_id() {
#ifdef _WIN32
  return ::GetCurrentThreadId();
#else
  return static_cast<std::uint32_t>(::syscall(SYS_gettid));
#endif
}

void drain_messages() {
  ++drains;
  const std::uint32_t self = current_thread_id();
  // Taken one at a time without holding the lock: an event may post further events.
  while (std::function<void()> event = event_queues().take(self)) event();
}

void post_message(std::function<void()> event) { post_message_to(current_thread_id(), std::move(event)); }

void post_message_to(std::uint32_t thread_id, std::function<void()> event) {
  event_queues().post(thread_id, std::move(event));
}

std::uint64_t drain_count() { return drains.load(); }

void set_tick_offset(std::uint32_t offset) { tick_offset.store(offset); }

}  // namespace paravelle::host
