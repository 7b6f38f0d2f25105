#pragma once
// The crash report: the text a trap leaves behind when a fault (or an exception thrown
// through it) reaches it. The layout is the same on every platform; what differs is how
// the facts are found (module list, file times, safe memory reads), which a platform
// gives through a CrashProbe.
//
// Everything here is written so that it can run inside a POSIX signal handler: no heap,
// no locale, no stdio, only the caller's fixed buffer and the probe's calls.

#include <cstddef>
#include <cstdint>

namespace paravelle::diag {

// The report's working buffer, terminator included.
inline constexpr std::size_t kCrashReportCapacity = 8000;

// Paths in the report are cut like a MAX_PATH buffer would cut them.
inline constexpr std::size_t kReportPathLimit = 259;

// The frame-pointer walk stops after this many frames.
inline constexpr int kReportMaxFrames = 20;

// What the report needs to know of the exception itself.
struct FaultRecord {
  std::uint32_t code = 0;
  std::uintptr_t address = 0;         // the faulting instruction (0 when unknown)
  std::uintptr_t frame_pointer = 0;   // the frame-pointer register at the fault
  bool write = false;                 // access violations: the access was a write
  std::uintptr_t access_address = 0;  // access violations: the inaccessible address
};

struct ModuleInfo {
  std::uintptr_t base = 0;
  const char* path = nullptr;  // owned by the probe, valid until its next call
};

struct CivilDate {
  int month = 0;
  int day = 0;
  int year = 0;
};

// The platform's answers. Implementations used from a signal handler must stay
// async-signal-safe and must not fault on any address they are given.
class CrashProbe {
 public:
  virtual ~CrashProbe() = default;
  // Writes the executable's full path (not terminated) and returns its length.
  virtual std::size_t executable_path(char* out, std::size_t capacity) = 0;
  // The loaded module whose range holds the address.
  virtual bool find_module(std::uintptr_t address, ModuleInfo& module) = 0;
  // The module file's last modification, in local time; false when the file cannot
  // be opened or its time cannot be read.
  virtual bool modified_date(const ModuleInfo& module, CivilDate& date) = 0;
  // Copies n bytes from the address; false (and no fault) when any of them cannot be read.
  virtual bool read_memory(std::uintptr_t address, void* out, std::size_t n) = 0;
  // True when the address lies in executable code.
  virtual bool is_code(std::uintptr_t address) = 0;
};

// Appends to a fixed buffer and silently cuts at its capacity (terminator kept).
class ReportWriter {
 public:
  ReportWriter(char* buffer, std::size_t capacity);

  ReportWriter& text(const char* s);
  ReportWriter& text(const char* s, std::size_t max_length);
  // Upper-case hex of the value's low 32 bits, zero-padded to at least min_digits.
  ReportWriter& hex(std::uint64_t value, int min_digits = 1);
  ReportWriter& decimal(long long value, int min_digits = 1);

  std::size_t length() const { return length_; }
  const char* data() const { return buffer_; }

 private:
  void put(char c);

  char* buffer_;
  std::size_t capacity_;
  std::size_t length_ = 0;
};

// Writes the whole report into buffer (terminated) and returns its length.
std::size_t write_crash_report(const FaultRecord& fault, CrashProbe& probe, char* buffer, std::size_t capacity);

// The calendar date of a count of seconds since 1970-01-01 (proleptic Gregorian); the
// caller adds its UTC offset first. Pure arithmetic, so a signal handler can use it.
CivilDate civil_date_from_seconds(std::int64_t seconds);

}  // namespace paravelle::diag
