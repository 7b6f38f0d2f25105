#include "diag/log_lock.h"

#include <windows.h>

#include <utility>

namespace paravelle::diag {
namespace {

// The lock covers one byte far beyond any log, so that it never stands in the way of a
// write: Windows locks are mandatory for the bytes they cover.
constexpr DWORD kLockOffsetHigh = 0x40000000;

bool lock_region(HANDLE handle, DWORD flags) {
  OVERLAPPED where{};
  where.OffsetHigh = kLockOffsetHigh;
  return ::LockFileEx(handle, flags, 0, 1, 0, &where) != 0;
}

void unlock_region(HANDLE handle) {
  OVERLAPPED where{};
  where.OffsetHigh = kLockOffsetHigh;
  ::UnlockFileEx(handle, 0, 1, 0, &where);
}

std::wstring wide_path(const std::string& utf8) {
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring wide(length > 0 ? static_cast<std::size_t>(length) : 1, L'\0');
  if (length > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), length);
  wide.resize(wide.size() - 1);
  return wide;
}

}  // namespace

LogLock::~LogLock() { release(); }

LogLock::LogLock(LogLock&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), truncated_(other.truncated_) {}

LogLock& LogLock::operator=(LogLock&& other) noexcept {
  if (this != &other) {
    release();
    handle_ = std::exchange(other.handle_, nullptr);
    truncated_ = other.truncated_;
  }
  return *this;
}

void LogLock::release() {
  if (handle_) ::CloseHandle(static_cast<HANDLE>(handle_));  // closing drops the lock
  handle_ = nullptr;
}

bool LogLock::held() const { return handle_ != nullptr; }

LogLock LogLock::claim(const std::string& native_path, std::error_code& error) {
  LogLock lock;
  const HANDLE handle = ::CreateFileW(wide_path(native_path).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error.assign(static_cast<int>(::GetLastError()), std::system_category());
    return lock;
  }
  error.clear();
  lock.handle_ = handle;
  if (lock_region(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY)) {
    LARGE_INTEGER start{};
    lock.truncated_ = ::SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle);
    unlock_region(handle);
  }
  lock_region(handle, 0);
  return lock;
}

}  // namespace paravelle::diag
