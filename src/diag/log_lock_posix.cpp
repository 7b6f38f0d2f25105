#include "diag/log_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace paravelle::diag {

LogLock::~LogLock() { release(); }

LogLock::LogLock(LogLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)), truncated_(other.truncated_) {}

LogLock& LogLock::operator=(LogLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    truncated_ = other.truncated_;
  }
  return *this;
}

void LogLock::release() {
  if (fd_ >= 0) ::close(fd_);  // closing drops the lock
  fd_ = -1;
}

bool LogLock::held() const { return fd_ >= 0; }

LogLock LogLock::claim(const std::string& native_path, std::error_code& error) {
  LogLock lock;
  lock.fd_ = ::open(native_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (lock.fd_ < 0) {
    error.assign(errno, std::system_category());
    return lock;
  }
  error.clear();
  if (::flock(lock.fd_, LOCK_EX | LOCK_NB) == 0) {
    lock.truncated_ = ::ftruncate(lock.fd_, 0) == 0;
  }
  // From exclusive to shared, or a wait while another node empties the file it found free.
  while (::flock(lock.fd_, LOCK_SH) != 0 && errno == EINTR) {
  }
  return lock;
}

}  // namespace paravelle::diag
