// The trap on Windows: structured exception handling around the operation, with a filter
// that writes the crash report while the exception is dispatched.

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <float.h>
#include <malloc.h>

#include <cstdint>
#include <string>

#include "diag/crash_report.h"
#include "diag/crash_report_windows.h"
#include "diag/exception_names.h"
#include "diag/trap.h"

namespace paravelle::diag {
namespace {

// Per thread, and not on the stack: the filter of a stack overflow has almost none left.
thread_local char t_report[crash_report_capacity];
thread_local std::size_t t_report_length = 0;

void assign_quietly(std::string& target, const char* text, std::size_t length) noexcept {
  try {
    target.assign(text, length);
  } catch (...) {
    // An exception on its way out matters more than its report.
  }
}

bool is_float_code(DWORD code) {
  return code >= seh_code::flt_denormal_operand && code <= seh_code::flt_stack_check;
}

// Runs before any unwinding, for every exception that reaches the guard.
int filter(EXCEPTION_POINTERS* pointers, std::string* crashReport) {
  t_report_length = windows::write_crash_report_for(pointers, t_report, sizeof t_report);
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  // A trapped fault's report is copied once the stack is unwound and whole again; a C++
  // exception's by the catch clause it passes on its way out.
  if (is_trapped_code(code)) return EXCEPTION_EXECUTE_HANDLER;
  if (code != seh_code::cpp_exception) assign_quietly(*crashReport, t_report, t_report_length);
  return EXCEPTION_CONTINUE_SEARCH;
}

// A function with __try may hold no objects that need unwinding.
DWORD guarded_call(detail::guarded_body body, void* context, std::string* crashReport) {
  __try {
    body(context);
  } __except (filter(GetExceptionInformation(), crashReport)) {
    return GetExceptionCode();
  }
  return 0;
}

}  // namespace

void install_fault_trap() {}

namespace detail {

std::uint32_t run_guarded(guarded_body body, void* context, std::string& crashReport) {
  DWORD code = 0;
  try {
    code = guarded_call(body, context, &crashReport);
  } catch (...) {
    assign_quietly(crashReport, t_report, t_report_length);
    throw;
  }
  if (code == 0) return 0;
  // Without its guard page back, the thread's next stack overflow ends the process.
  if (code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
  // Leave no pending float status behind for the next x87 instruction to raise.
  if (is_float_code(code)) _clearfp();
  crashReport.assign(t_report, t_report_length);
  return code;
}

}  // namespace detail
}  // namespace paravelle::diag
