#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstring>

#include "diag/crash_report.h"
#include "diag/crash_report_windows.h"
#include "diag/exception_names.h"

namespace paravelle::diag::windows {
namespace {

struct ProbeMemory {
  MODULEENTRY32W entry;
  wchar_t module_path[MAX_PATH];
  char narrow_path[MAX_PATH * 2];
};
thread_local ProbeMemory t_memory;

// The ANSI code page's text of a wide path, as the plug-in's to_string gives it.
void to_narrow(const wchar_t* wide, char* out, int capacity) {
  const int n = ::WideCharToMultiByte(CP_ACP, 0, wide, -1, out, capacity, nullptr, nullptr);
  if (n <= 0) {
    const char fallback[] = "<error:to_string>";
    std::memcpy(out, fallback, sizeof fallback);
  }
}

class WindowsCrashProbe final : public CrashProbe {
 public:
  WindowsCrashProbe() : snapshot_(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0)) {}
  ~WindowsCrashProbe() override {
    if (snapshot_ != INVALID_HANDLE_VALUE) ::CloseHandle(snapshot_);
  }
  WindowsCrashProbe(const WindowsCrashProbe&) = delete;
  WindowsCrashProbe& operator=(const WindowsCrashProbe&) = delete;

  std::size_t executable_path(char* out, std::size_t capacity) override {
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::size_t length = n < capacity ? n : capacity;
    std::memcpy(out, path, length);
    return length;
  }

  // The first module of the snapshot whose range holds the address. Without a snapshot
  // the report shows bare addresses.
  bool find_module(std::uintptr_t address, ModuleInfo& module) override {
    if (snapshot_ == INVALID_HANDLE_VALUE) return false;
    MODULEENTRY32W& entry = t_memory.entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Module32FirstW(snapshot_, &entry); more; more = ::Module32NextW(snapshot_, &entry)) {
      const auto base = reinterpret_cast<std::uintptr_t>(entry.modBaseAddr);
      if (address >= base && address < base + entry.modBaseSize) {
        std::memcpy(t_memory.module_path, entry.szExePath, sizeof t_memory.module_path);
        to_narrow(t_memory.module_path, t_memory.narrow_path, static_cast<int>(sizeof t_memory.narrow_path));
        module.base = base;
        module.path = t_memory.narrow_path;
        return true;
      }
    }
    return false;
  }

  // Asked right after find_module found the module; its wide path opens the file.
  bool modified_date(const ModuleInfo&, CivilDate& date) override {
    const HANDLE file =
        ::CreateFileW(t_memory.module_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME written, local;
    SYSTEMTIME time;
    const bool ok = ::GetFileTime(file, nullptr, nullptr, &written) && ::FileTimeToLocalFileTime(&written, &local) &&
                    ::FileTimeToSystemTime(&local, &time);
    ::CloseHandle(file);
    if (!ok) return false;
    date.month = time.wMonth;
    date.day = time.wDay;
    date.year = time.wYear;
    return true;
  }

  bool read_memory(std::uintptr_t address, void* out, std::size_t n) override {
    const void* source = reinterpret_cast<const void*>(address);
    if (::IsBadReadPtr(source, n)) return false;
    std::memcpy(out, source, n);
    return true;
  }

  bool is_code(std::uintptr_t address) override {
    return address != 0 && !::IsBadCodePtr(reinterpret_cast<FARPROC>(address));
  }

 private:
  HANDLE snapshot_;
};

}  // namespace

FaultRecord fault_record_of(const _EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  FaultRecord fault;
  fault.code = record.ExceptionCode;
  fault.address = reinterpret_cast<std::uintptr_t>(record.ExceptionAddress);
#if defined(_M_X64) || defined(_M_AMD64) || defined(__x86_64__)
  fault.frame_pointer = static_cast<std::uintptr_t>(pointers->ContextRecord->Rbp);
#elif defined(_M_IX86) || defined(__i386__)
  fault.frame_pointer = static_cast<std::uintptr_t>(pointers->ContextRecord->Ebp);
#elif defined(_M_ARM64) || defined(__aarch64__)
  fault.frame_pointer = static_cast<std::uintptr_t>(pointers->ContextRecord->Fp);
#endif
  if (record.ExceptionCode == seh_code::kAccessViolation && record.NumberParameters >= 2) {
    fault.write = record.ExceptionInformation[0] != 0;
    fault.access_address = static_cast<std::uintptr_t>(record.ExceptionInformation[1]);
  }
  return fault;
}

std::size_t write_crash_report_for(const _EXCEPTION_POINTERS* pointers, char* buffer, std::size_t capacity) {
  return write_crash_report_of(fault_record_of(pointers), buffer, capacity);
}

std::size_t write_crash_report_of(const FaultRecord& fault, char* buffer, std::size_t capacity) {
  WindowsCrashProbe probe;
  return write_crash_report(fault, probe, buffer, capacity);
}

}  // namespace paravelle::diag::windows
