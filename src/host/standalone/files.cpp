// The host's file operations on native paths, failing with Windows error numbers.

#include "host/files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <vector>

#include "host/standalone/file_errors.h"
#include "host/standalone/file_paths.h"

namespace paravelle::host::files {
namespace {

using detail::fail;

// ENOENT means the file itself when its folder is there, the path otherwise; a network
// path whose server or share is unknown here says so instead.
std::uint32_t missing(const std::string& native) {
  if (const std::uint32_t network = detail::network_error(native)) return network;
  return detail::is_directory(detail::parent_folder(native)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

std::uint32_t error_for(const std::string& native, int error) {
  if (error == ENOENT) return missing(native);
  if (error == ENOTDIR) {
    const std::uint32_t network = detail::network_error(native);
    return network ? network : ERROR_PATH_NOT_FOUND;
  }
  return detail::from_errno(error);
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// The copy's temporary file in the destination folder, gone unless it became the target.
class TemporaryCopy {
 public:
  TemporaryCopy(const std::string& destination, mode_t mode) {
    static std::atomic<unsigned> counter{0};
    const std::string folder = detail::parent_folder(destination);
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      path_ = folder + "/.paravelle-copy." + std::to_string(::getpid()) + "." + std::to_string(counter++);
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      error_ = fd_ < 0 ? errno : 0;
      if (error_ != EEXIST) break;
    }
  }
  TemporaryCopy(const TemporaryCopy&) = delete;
  TemporaryCopy& operator=(const TemporaryCopy&) = delete;
  ~TemporaryCopy() {
    if (fd_ >= 0) ::close(fd_);
    if (!placed_) ::unlink(path_.c_str());
  }

  int fd() const { return fd_; }
  int error() const { return error_; }

  // Closed before placing, because a network file system may report a failed write only here.
  int close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0 ? 0 : errno;
  }

  // Puts the finished copy at `target` in one step; without overwrite an existing target
  // stays untouched, even one that appeared while the copy was written.
  int place(const std::string& target, bool overwrite) {
    if (overwrite) {
      if (::rename(path_.c_str(), target.c_str()) != 0) return errno;
      placed_ = true;
      return 0;
    }
    if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      placed_ = true;
      return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
    if (::link(path_.c_str(), target.c_str()) != 0) return errno;
    return 0;  // the destructor removes the temporary name of the linked file
  }

 private:
  std::string path_;
  int fd_ = -1;
  int error_ = 0;
  bool placed_ = false;
};

int write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= std::size_t(written);
  }
  return 0;
}

// The kernel copies (no trip through user memory, extents shared where the file system
// can); a file system or kernel that cannot do it for this pair falls back to reading.
enum class KernelCopy { done, failed, unsupported };

KernelCopy kernel_copy(int from, int to, int& error) {
  bool copied_any = false;
  for (;;) {
    const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, std::size_t{1} << 30, 0);
    if (copied > 0) {
      copied_any = true;
      continue;
    }
    if (copied == 0) return KernelCopy::done;
    if (errno == EINTR) continue;
    const bool unsupported =
        errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF;
    if (unsupported && !copied_any) return KernelCopy::unsupported;
    error = errno;
    return KernelCopy::failed;
  }
}

int copy_contents(int from, int to) {
  int error = 0;
  switch (kernel_copy(from, to, error)) {
    case KernelCopy::done: return 0;
    case KernelCopy::failed: return error;
    case KernelCopy::unsupported: break;
  }
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return 0;
    if (const int error = write_all(to, buffer.data(), std::size_t(got))) return error;
  }
}

// The destination as CopyFile judges it before writing: 0 when it may be written.
std::uint32_t destination_refusal(const std::string& destination, bool overwrite) {
  struct stat status {};
  if (::stat(destination.c_str(), &status) != 0) return 0;
  if (!overwrite) return detail::ERROR_FILE_EXISTS;
  if (S_ISDIR(status.st_mode) || ::access(destination.c_str(), W_OK) != 0) return ERROR_ACCESS_DENIED;
  return 0;
}

// Error numbers from writing the copy; the destination folder is what may be missing.
std::uint32_t write_error(const std::string& destination, int error) {
  if (error == ENOENT) {
    const std::uint32_t network = detail::network_error(destination);
    return network ? network : ERROR_PATH_NOT_FOUND;
  }
  return error_for(destination, error);
}

bool copy_native(const std::string& source, const std::string& destination, bool overwrite) {
  const Descriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return fail(error_for(source, errno));
  struct stat status {};
  if (::fstat(in.get(), &status) != 0) return fail(detail::from_errno(errno));
  if (S_ISDIR(status.st_mode)) return fail(ERROR_ACCESS_DENIED);
  if (const std::uint32_t refusal = destination_refusal(destination, overwrite)) return fail(refusal);

  TemporaryCopy copy(destination, status.st_mode & 0777);
  if (copy.fd() < 0) return fail(write_error(destination, copy.error()));
  if (const int error = copy_contents(in.get(), copy.fd())) return fail(write_error(destination, error));
  // The copy keeps the source's modification time, as a Windows copy does.
  const timespec times[2] = {status.st_atim, status.st_mtim};
  ::futimens(copy.fd(), times);
  // No flush to disk: a Windows copy does not flush either, and readers see the whole file
  // through the rename whether or not it has reached the disk. Forcing it tripled the
  // time a render node spends moving a large frame out of its temp folder.
  if (const int error = copy.close()) return fail(write_error(destination, error));
  if (const int error = copy.place(destination, overwrite)) {
    return fail(error == EEXIST ? detail::ERROR_FILE_EXISTS : write_error(destination, error));
  }
  return true;
}

}  // namespace

std::string native_path(const std::wstring& path) {
  std::string native;
  if (!detail::convert(path, native)) {
    throw std::invalid_argument("The path holds a NUL or is not valid UTF-16, so no file can have it");
  }
  return native;
}

bool copy_file(const std::wstring& source, const std::wstring& destination, bool overwrite) {
  const detail::NativeName from = detail::checked_native(source);
  if (from.error) return fail(from.error);
  const detail::NativeName to = detail::checked_native(destination);
  if (to.error) return fail(to.error);
  return copy_native(from.path, to.path, overwrite);
}

bool delete_file(const std::wstring& path) {
  const detail::NativeName name = detail::checked_native(path);
  if (name.error) return fail(name.error);
  if (::unlink(name.path.c_str()) != 0) return fail(error_for(name.path, errno));
  return true;
}

bool move_file(const std::wstring& source, const std::wstring& destination) {
  const detail::NativeName from = detail::checked_native(source);
  if (from.error) return fail(from.error);
  const detail::NativeName to = detail::checked_native(destination);
  if (to.error) return fail(to.error);
  if (detail::is_directory(from.path)) return fail(ERROR_ACCESS_DENIED);
  if (::rename(from.path.c_str(), to.path.c_str()) == 0) return true;
  const int error = errno;
  struct stat status {};
  if (::stat(from.path.c_str(), &status) != 0) return fail(error_for(from.path, errno));
  return fail(write_error(to.path, error));
}

bool create_directory(const std::wstring& path) {
  const detail::NativeName name = detail::checked_native(path);
  if (name.error) return fail(name.error);
  if (::mkdir(name.path.c_str(), 0777) == 0) return true;
  if (errno == ENOENT) {
    const std::uint32_t network = detail::network_error(name.path);
    return fail(network ? network : ERROR_PATH_NOT_FOUND);
  }
  return fail(error_for(name.path, errno));
}

bool file_attributes(const std::wstring& path, std::uint32_t& attributes) {
  constexpr std::uint32_t kReadOnly = 0x01;
  constexpr std::uint32_t kNormal = 0x80;
  const detail::NativeName name = detail::checked_native(path);
  if (name.error) return fail(name.error);
  struct stat status {};
  if (::stat(name.path.c_str(), &status) != 0) return fail(error_for(name.path, errno));
  if (S_ISDIR(status.st_mode)) {
    attributes = FILE_ATTRIBUTE_DIRECTORY;
  } else if (!S_ISREG(status.st_mode)) {
    attributes = FILE_ATTRIBUTE_DEVICE;
  } else {
    attributes = ::access(name.path.c_str(), W_OK) == 0 ? kNormal : kReadOnly;
  }
  return true;
}

}  // namespace paravelle::host::files
