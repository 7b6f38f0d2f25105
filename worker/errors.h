// Failures of the farm worker side. Everything the worker cannot do is an exception of
// one of these classes; callers tell the node's disappearance from a slow node by class.
#pragma once

#include <stdexcept>

namespace paravelle::worker {

struct WorkerError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Nothing (or not all of a frame) arrived in time; whatever did arrive is kept for the next read.
struct TimeoutError : WorkerError {
  using WorkerError::WorkerError;
};

// The node closed the connection (or reset it).
struct ClosedError : WorkerError {
  using WorkerError::WorkerError;
};

// A job file that cannot be used; the text names the file and the problem.
struct JobFileError : WorkerError {
  using WorkerError::WorkerError;
};

}  // namespace paravelle::worker
