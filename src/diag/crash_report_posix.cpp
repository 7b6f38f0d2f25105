#include "diag/crash_report_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

namespace paravelle::diag::posix {
namespace {

// The maps file is read and parsed inside the fault handler, in buffers only the faulting
// thread touches. ThreadSanitizer's checks find nothing there, and a process under it maps
// 3,500 regions, read once for each frame of a report: checked, a report took a third of a
// second.
#if defined(__clang__)
#define PARAVELLE_UNCHECKED_BY_TSAN [[clang::no_sanitize("thread")]]
#else
#define PARAVELLE_UNCHECKED_BY_TSAN [[gnu::no_sanitize("thread")]]
#endif

// Hands out the lines of a file read in fixed chunks; a line longer than the caller's
// buffer is cut, and the rest of it skipped.
class LineReader {
 public:
  LineReader(int fd, char* buffer, std::size_t capacity) : fd_(fd), buffer_(buffer), capacity_(capacity) {}

  PARAVELLE_UNCHECKED_BY_TSAN bool next(char* line, std::size_t capacity) {
    std::size_t length = 0;
    bool any = false;
    for (;;) {
      if (pos_ == end_) {
        ssize_t n;
        do {
          n = ::read(fd_, buffer_, capacity_);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
          line[length] = '\0';
          return any;
        }
        pos_ = 0;
        end_ = static_cast<std::size_t>(n);
      }
      any = true;
      const char c = buffer_[pos_++];
      if (c == '\n') break;
      if (length + 1 < capacity) line[length++] = c;
    }
    line[length] = '\0';
    return true;
  }

 private:
  int fd_;
  char* buffer_;
  std::size_t capacity_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
};

PARAVELLE_UNCHECKED_BY_TSAN bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

PARAVELLE_UNCHECKED_BY_TSAN const char* parse_hex(const char* p, std::uintptr_t& value) {
  value = 0;
  if (!is_hex(*p)) return nullptr;
  for (; is_hex(*p); ++p) {
    const char c = *p;
    const int digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    value = value * 16 + static_cast<std::uintptr_t>(digit);
  }
  return p;
}

PARAVELLE_UNCHECKED_BY_TSAN const char* parse_decimal(const char* p, std::uintptr_t& value) {
  value = 0;
  if (*p < '0' || *p > '9') return nullptr;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10 + static_cast<std::uintptr_t>(*p - '0');
  return p;
}

PARAVELLE_UNCHECKED_BY_TSAN const char* expect(const char* p, char c) {
  return p != nullptr && *p == c ? p + 1 : nullptr;
}

struct MapsLine {
  std::uintptr_t start, end, offset, dev_major, dev_minor, inode;
  bool executable;
  const char* path;
};

// "start-end perms offset major:minor inode   path"
PARAVELLE_UNCHECKED_BY_TSAN bool parse_maps_line(const char* p, MapsLine& out) {
  p = parse_hex(p, out.start);
  p = expect(p, '-');
  if (p != nullptr) p = parse_hex(p, out.end);
  p = expect(p, ' ');
  if (p == nullptr) return false;
  for (int i = 0; i < 4; ++i) {
    if (p[i] == '\0') return false;
  }
  out.executable = p[2] == 'x';
  p = expect(p + 4, ' ');
  if (p != nullptr) p = parse_hex(p, out.offset);
  p = expect(p, ' ');
  if (p != nullptr) p = parse_hex(p, out.dev_major);
  p = expect(p, ':');
  if (p != nullptr) p = parse_hex(p, out.dev_minor);
  p = expect(p, ' ');
  if (p != nullptr) p = parse_decimal(p, out.inode);
  if (p == nullptr) return false;
  while (*p == ' ' || *p == '\t') ++p;
  out.path = p;
  return true;
}

void copy_text(char* out, std::size_t capacity, const char* text) {
  if (capacity == 0) return;
  std::size_t i = 0;
  for (; text[i] != '\0' && i + 1 < capacity; ++i) out[i] = text[i];
  out[i] = '\0';
}

std::atomic<int> g_pipe_read{-1};
std::atomic<int> g_pipe_write{-1};
std::atomic<bool> g_force_pipe{false};
std::atomic<bool> g_vm_readv_unavailable{false};
std::atomic_flag g_pipe_busy = ATOMIC_FLAG_INIT;

void drain_pipe(int fd, char* scratch, std::size_t size) {
  while (::read(fd, scratch, size) > 0) {
  }
}

bool read_through_pipe(std::uintptr_t address, void* out, std::size_t n) {
  const int in = g_pipe_read.load(std::memory_order_acquire);
  const int out_fd = g_pipe_write.load(std::memory_order_acquire);
  if (in < 0 || out_fd < 0) return false;
  // One pipe serves every thread; a fault handler on another thread waits its turn.
  while (g_pipe_busy.test_and_set(std::memory_order_acquire)) {
  }
  char* target = static_cast<char*>(out);
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < n) {
    // write() reports EFAULT instead of faulting when the source is not readable.
    const std::size_t chunk = n - done < 4096 ? n - done : 4096;
    const ssize_t written = ::write(out_fd, reinterpret_cast<const void*>(address + done), chunk);
    if (written <= 0) {
      ok = false;
      break;
    }
    ssize_t got = 0;
    while (got < written) {
      const ssize_t r = ::read(in, target + done + got, static_cast<std::size_t>(written - got));
      if (r <= 0) break;
      got += r;
    }
    if (got != written || static_cast<std::size_t>(written) != chunk) ok = false;
    done += static_cast<std::size_t>(got);
  }
  if (!ok) {
    char sink[64];
    drain_pipe(in, sink, sizeof sink);
  }
  g_pipe_busy.clear(std::memory_order_release);
  return ok;
}

}  // namespace

PARAVELLE_UNCHECKED_BY_TSAN bool find_mapping(int fd, std::uintptr_t address, MappingHit& hit, char* path,
                                              std::size_t path_capacity, MapsScratch& scratch) {
  hit = MappingHit{};
  if (path_capacity > 0) path[0] = '\0';
  LineReader reader(fd, scratch.read_buffer, sizeof scratch.read_buffer);

  bool in_group = false;
  std::uintptr_t group_base = 0, group_major = 0, group_minor = 0, group_inode = 0;
  MapsLine line;
  while (reader.next(scratch.line, sizeof scratch.line)) {
    if (!parse_maps_line(scratch.line, line)) continue;
    const bool file_backed = line.inode != 0;
    if (file_backed) {
      const bool same_file =
          in_group && line.dev_major == group_major && line.dev_minor == group_minor && line.inode == group_inode;
      if (!same_file || line.offset == 0) {
        in_group = true;
        group_base = line.start;
        group_major = line.dev_major;
        group_minor = line.dev_minor;
        group_inode = line.inode;
      }
    }
    if (address < line.start) return false;  // the listing is sorted: we passed it
    if (address >= line.end) continue;
    hit.mapped = true;
    hit.executable = line.executable;
    if (file_backed) {
      hit.in_module = true;
      hit.module_base = group_base;
      copy_text(path, path_capacity, line.path);
    }
    return true;
  }
  return false;
}

bool read_own_memory(std::uintptr_t address, void* out, std::size_t n) {
  if (n == 0) return true;
  if (address + n < address) return false;
  if (!g_force_pipe.load(std::memory_order_relaxed) && !g_vm_readv_unavailable.load(std::memory_order_relaxed)) {
    iovec local{out, n};
    iovec remote{reinterpret_cast<void*>(address), n};
    const ssize_t got = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    if (got == static_cast<ssize_t>(n)) return true;
    if (got >= 0 || errno == EFAULT) return false;
    if (errno != ENOSYS && errno != EPERM) return false;
    g_vm_readv_unavailable.store(true, std::memory_order_relaxed);
  }
  return read_through_pipe(address, out, n);
}

void prepare_memory_reader() {
  if (g_pipe_read.load() >= 0) return;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  g_pipe_write.store(fds[1], std::memory_order_release);
  g_pipe_read.store(fds[0], std::memory_order_release);
}

void use_pipe_memory_reader(bool enabled) { g_force_pipe.store(enabled); }

long current_utc_offset() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (::localtime_r(&now, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

std::size_t PosixCrashProbe::executable_path(char* out, std::size_t capacity) {
  const ssize_t n = ::readlink("/proc/self/exe", out, capacity);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

const MappingHit& PosixCrashProbe::lookup(std::uintptr_t address) {
  // The report asks "is it code" and then "which module" of the same address.
  if (cached_ && cached_address_ == address) return hit_;
  hit_ = MappingHit{};
  memory_.module_path[0] = '\0';
  const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    find_mapping(fd, address, hit_, memory_.module_path, sizeof memory_.module_path, memory_.maps);
    ::close(fd);
  }
  cached_ = true;
  cached_address_ = address;
  return hit_;
}

bool PosixCrashProbe::find_module(std::uintptr_t address, ModuleInfo& module) {
  const MappingHit& hit = lookup(address);
  if (!hit.in_module) return false;
  module.base = hit.module_base;
  module.path = memory_.module_path;
  return true;
}

bool PosixCrashProbe::modified_date(const ModuleInfo& module, CivilDate& date) {
  const int fd = ::open(module.path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info;
  const bool ok = ::fstat(fd, &info) == 0;
  ::close(fd);
  if (!ok) return false;
  date = civil_date_from_seconds(static_cast<std::int64_t>(info.st_mtime) + utc_offset_);
  return true;
}

bool PosixCrashProbe::read_memory(std::uintptr_t address, void* out, std::size_t n) {
  return read_own_memory(address, out, n);
}

bool PosixCrashProbe::is_code(std::uintptr_t address) { return lookup(address).executable; }

}  // namespace paravelle::diag::posix
