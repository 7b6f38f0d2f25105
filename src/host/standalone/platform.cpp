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

namespace host {
namespace {

std::atomic<std::uint32_t> tick_offset{0};
std::atomic<std::uint64_t> drains{0};

// The host's event queue. Events posted from any thread run in the next drain.
struct EventQueue {
  std::mutex mutex;
  std::deque<std::function<void()>> events;
};

std::function<void(std::uint32_t)>& sleep_function() {
  static std::function<void(std::uint32_t)> sleeper;
  return sleeper;
}

EventQueue& event_queue() {
  static EventQueue queue;
  return queue;
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
  EventQueue& queue = event_queue();
  for (;;) {
    std::function<void()> event;
    {
      std::lock_guard<std::mutex> lock(queue.mutex);
      if (queue.events.empty()) return;
      event = std::move(queue.events.front());
      queue.events.pop_front();
    }
    event();
  }
}

void post_message(std::function<void()> event) {
  EventQueue& queue = event_queue();
  std::lock_guard<std::mutex> lock(queue.mutex);
  queue.events.push_back(std::move(event));
}

std::uint64_t drain_count() { return drains.load(); }

void set_tick_offset(std::uint32_t offset) { tick_offset.store(offset); }

}  // namespace host
