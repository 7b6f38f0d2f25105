// Waiting for a descriptor with poll(): every blocking step of the worker goes through here,
// so a time-out is always a poll() time-out, never a spin.
#pragma once

#include <chrono>

namespace paravelle::worker {

using Clock = std::chrono::steady_clock;

// A point in time after which a wait gives up; a negative time-out means no limit.
class Deadline {
 public:
  explicit Deadline(int timeout_ms);
  // Milliseconds left for poll(): -1 without a limit, 0 once expired.
  int remaining_ms() const;
  bool expired() const { return remaining_ms() == 0; }

 private:
  bool unlimited_;
  Clock::time_point end_;
};

// True when `fd` reports one of `events` (or hang-up/error) before the deadline.
// Interrupted calls are resumed with the time that is left. Throws WorkerError when poll fails.
bool wait_for(int fd, short events, const Deadline& deadline);

}  // namespace paravelle::worker
