// Failures of the farm worker side. Everything the worker cannot do is an exception of
// one of these classes; callers tell the node's disappearance from a slow node by class.
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

namespace paravelle::worker {

// A failed system call keeps its errno as data beside the text that describes it.
class WorkerError : public std::runtime_error {
 public:
  explicit WorkerError(const std::string& text, std::error_code code = {}) : std::runtime_error(text), code_(code) {}
  const std::error_code& code() const noexcept { return code_; }

 private:
  std::error_code code_;
};

// Nothing (or not all of a frame) arrived in time; whatever did arrive is kept for the next read.
struct TimeoutError : WorkerError {
  using WorkerError::WorkerError;
};

// The node took no part of a frame in time: it has stopped reading.
struct SendTimeoutError : TimeoutError {
  using TimeoutError::TimeoutError;
};

// The node closed the connection (or reset it).
struct ClosedError : WorkerError {
  using WorkerError::WorkerError;
};

// A job file that cannot be used; the text names the file and the problem.
struct JobFileError : WorkerError {
  using WorkerError::WorkerError;
};

// "<what>: <the system's text for errno value error>", with the number kept.
inline WorkerError system_failure(const std::string& what, int error) {
  return WorkerError(what + ": " + std::strerror(error), std::error_code(error, std::system_category()));
}

}  // namespace paravelle::worker
