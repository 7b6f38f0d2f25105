// A file of its own: the one poll() loop that every blocking wait of the worker goes through.

#include "worker/poll_wait.h"

#include <poll.h>

#include <cerrno>
#include <string>

#include "worker/errors.h"

namespace paravelle::worker {

Deadline::Deadline(int timeout_ms)
    : unlimited_(timeout_ms < 0), end_(Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms)) {}

int Deadline::remaining_ms() const {
  if (unlimited_) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool wait_for(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, deadline.remaining_ms());
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) throw system_failure("poll failed", errno);
  }
}

}  // namespace paravelle::worker
