#include "diag/crash_report.h"

namespace paravelle::diag {

ReportWriter::ReportWriter(char* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {
  if (capacity_ > 0) buffer_[0] = '\0';
}

void ReportWriter::put(char c) {
  if (length_ + 1 >= capacity_) return;
  buffer_[length_++] = c;
  buffer_[length_] = '\0';
}

ReportWriter& ReportWriter::text(const char* s) {
  while (s != nullptr && *s != '\0') put(*s++);
  return *this;
}

ReportWriter& ReportWriter::text(const char* s, std::size_t max_length) {
  for (std::size_t i = 0; s != nullptr && i < max_length && s[i] != '\0'; ++i) put(s[i]);
  return *this;
}

ReportWriter& ReportWriter::hex(std::uint64_t value, int min_digits) {
  // Addresses are shown as their low 32 bits, as a 32-bit "%08X" shows them.
  std::uint32_t v = static_cast<std::uint32_t>(value);
  char digits[8];
  int n = 0;
  do {
    digits[n++] = "0123456789ABCDEF"[v & 0xF];
    v >>= 4;
  } while (v != 0);
  for (int i = n; i < min_digits; ++i) put('0');
  while (n > 0) put(digits[--n]);
  return *this;
}

ReportWriter& ReportWriter::decimal(long long value, int min_digits) {
  unsigned long long v =
      value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
  if (value < 0) put('-');
  char digits[20];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (int i = n; i < min_digits; ++i) put('0');
  while (n > 0) put(digits[--n]);
  return *this;
}

CivilDate civil_date_from_seconds(std::int64_t seconds) {
  // Days to year/month/day after H. Hinnant's civil_from_days.
  std::int64_t days = seconds / 86400;
  if (seconds % 86400 < 0) --days;
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  CivilDate date;
  date.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  date.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  date.year = static_cast<int>(yoe + era * 400 + (date.month <= 2 ? 1 : 0));
  return date;
}

namespace {

void write_call_stack(const FaultRecord& fault, CrashProbe& probe, ReportWriter& out) {
  // The first frame is made up: the context's frame pointer, and the faulting instruction
  // in place of a return address. Every later record is what a frame pointer points at:
  // the caller's frame pointer, the return address, then the start of the caller's
  // arguments area, shown as five 32-bit words.
  std::uintptr_t frame = fault.frame_pointer;
  std::uintptr_t return_address = fault.address;
  for (int index = 0; index < kReportMaxFrames; ++index) {
    std::uint32_t words[5] = {};
    bool words_readable = false;
    std::uintptr_t next_frame = frame;
    if (index > 0) {
      std::uintptr_t record[2];
      if (!probe.read_memory(frame, record, sizeof record)) break;
      next_frame = record[0];
      return_address = record[1];
      words_readable = probe.read_memory(frame + sizeof record, words, sizeof words);
    }
    if (!probe.is_code(return_address)) break;

    ModuleInfo module;
    if (probe.find_module(return_address, module)) {
      out.text("\n").hex(module.base, 8).text("  ").text(module.path, kReportPathLimit);
      out.text("\n  +").hex(return_address - module.base, 8);
      if (index == 0) {
        out.text("  Exception Offset");
      } else if (words_readable) {
        out.text("  (").hex(words[0]).text(", ").hex(words[1]).text(", ").hex(words[2]);
        out.text(", ").hex(words[3]).text(", ").hex(words[4]).text(")");
      }
    } else {
      out.text("\n").hex(return_address, 8);
    }
    frame = next_frame;
  }
}

}  // namespace

std::size_t write_crash_report(const FaultRecord& fault, CrashProbe& probe, char* buffer, std::size_t capacity) {
  ReportWriter out(buffer, capacity);

  // The first line carries no line feed in front, so there is nothing to strip at the end.
  char path[kReportPathLimit + 1];
  const std::size_t path_length = probe.executable_path(path, kReportPathLimit);
  path[path_length < kReportPathLimit ? path_length : kReportPathLimit] = '\0';
  out.text("Process:  ").text(path);

  ModuleInfo module;
  if (probe.find_module(fault.address, module)) {
    out.text("\nModule:  ").text(module.path, kReportPathLimit);
    CivilDate date;
    if (probe.modified_date(module, date)) {
      out.text("\nDate Modified:  ").decimal(date.month, 2).text("/").decimal(date.day, 2);
      out.text("/").decimal(date.year);
    }
  } else {
    out.text("\nException Addr:  ").hex(fault.address, 8);
  }

  out.text("\nException Code:  ").hex(fault.code, 8);
  if (fault.code == 0xC0000005) {
    out.text("\n").text(fault.write ? "Write" : "Read").text(" Address:  ");
    out.hex(fault.access_address, 8);
  }

  // Bytes that cannot be read (a jump to nowhere) show as "??" rather than faulting again.
  out.text("\nInstruction: ");
  unsigned char bytes[16];
  const bool all_readable = probe.read_memory(fault.address, bytes, sizeof bytes);
  for (std::size_t i = 0; i < sizeof bytes; ++i) {
    if (all_readable || probe.read_memory(fault.address + i, &bytes[i], 1)) {
      out.text(" ").hex(bytes[i], 2);
    } else {
      out.text(" ??");
    }
  }

  out.text("\nCall Stack:");
  write_call_stack(fault, probe, out);
  return out.length();
}

}  // namespace paravelle::diag
