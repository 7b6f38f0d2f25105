#pragma once
// A node's claim on its log file. Nodes that share one temporary folder share one
// paravelle.log: each appends, and each holds a shared advisory lock on the file for as
// long as it runs. A node truncates the log only when it can take the lock exclusively,
// that is when no other running node holds the file; otherwise it appends after them.

#include <string>
#include <system_error>

namespace paravelle::diag {

class LogLock {
 public:
  LogLock() = default;
  ~LogLock();
  LogLock(LogLock&& other) noexcept;
  LogLock& operator=(LogLock&& other) noexcept;
  LogLock(const LogLock&) = delete;
  LogLock& operator=(const LogLock&) = delete;

  // Opens (creating) the file at the native path for appending, empties it if no other
  // process holds it, and keeps the shared lock. A failure is returned in `error`.
  static LogLock claim(const std::string& native_path, std::error_code& error);

  bool held() const;
  // Whether the claim found the file free and emptied it.
  bool truncated() const { return truncated_; }

 private:
  void release();

#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  bool truncated_ = false;
};

}  // namespace paravelle::diag
