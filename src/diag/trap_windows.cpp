// The trap on Windows. Built with MSVC it is structured exception handling around the
// operation, with a filter that writes the crash report while the exception is dispatched.
// GCC for mingw has no __try/__except, so there a vectored exception handler plays the
// filter's part and a per-thread jump buffer the handler's, as the POSIX trap does with
// its signal handlers.

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <float.h>
#include <malloc.h>

#include <cfenv>
#include <cstdint>
#include <mutex>
#include <string>

#include "diag/crash_report.h"
#include "diag/crash_report_windows.h"
#if !defined(_MSC_VER)
#include "diag/exception_handling.h"
#endif
#include "diag/exception_names.h"
#include "diag/trap.h"

namespace paravelle::diag {
namespace {

void assign_quietly(std::string& target, const char* text, std::size_t length) noexcept {
  try {
    target.assign(text, length);
  } catch (...) {
    // An exception on its way out matters more than its report.
  }
}

// A thread whose stack overflowed gets its guard page back, or its next overflow would
// end the process.
void recover_after(DWORD code) {
  if (code == EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
}

}  // namespace

#if defined(_MSC_VER)

namespace {

bool is_float_code(DWORD code) { return code >= seh_code::kFltDenormalOperand && code <= seh_code::kFltStackCheck; }

// Per thread, and not on the stack: the filter of a stack overflow has almost none left.
thread_local char t_report[kCrashReportCapacity];
thread_local std::size_t t_report_length = 0;

// Runs before any unwinding, for every exception that reaches the guard.
int filter(EXCEPTION_POINTERS* pointers, std::string* crash_report) {
  t_report_length = windows::write_crash_report_for(pointers, t_report, sizeof t_report);
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  // A trapped fault's report is copied once the stack is unwound and whole again; a C++
  // exception's by the catch clause it passes on its way out.
  if (is_trapped_code(code)) return EXCEPTION_EXECUTE_HANDLER;
  if (code != seh_code::kCppException) assign_quietly(*crash_report, t_report, t_report_length);
  return EXCEPTION_CONTINUE_SEARCH;
}

// A function with __try may hold no objects that need unwinding.
DWORD guarded_call(detail::GuardedBody body, void* context, std::string* crash_report) {
  __try {
    body(context);
  } __except (filter(GetExceptionInformation(), crash_report)) {
    return GetExceptionCode();
  }
  return 0;
}

}  // namespace

void install_fault_trap() {}

namespace detail {

std::uint32_t run_guarded(GuardedBody body, void* context, std::string& crash_report) {
  DWORD code = 0;
  try {
    code = guarded_call(body, context, &crash_report);
  } catch (...) {
    assign_quietly(crash_report, t_report, t_report_length);
    throw;
  }
  if (code == 0) return 0;
  recover_after(code);
  // Leave no pending float status behind for the next x87 instruction to raise.
  if (is_float_code(code)) _clearfp();
  crash_report.assign(t_report, t_report_length);
  return code;
}

}  // namespace detail

#else  // GCC (mingw): a vectored handler and a jump buffer per thread

namespace {

struct TrapFrame {
  void* env[5];  // __builtin_setjmp's buffer: frame pointer, landing address, stack pointer
  TrapFrame* outer;
  // Where the landing code may put its stack: below the trap's own frame, in memory the
  // operation's frames used and that is committed, whatever the fault did to the rest.
  std::uintptr_t landing_stack;
};

// Everything the handler touches for one thread. It is reached once before the thread's
// first trap is armed, so the handler never allocates it.
struct ThreadState {
  TrapFrame* top = nullptr;  // innermost armed trap; null when none is armed
  bool reporting = false;    // the report is being written: faults now are the probe's own
  FaultRecord fault;         // the trapped fault, as the handler found it
  std::size_t report_length = 0;
  char report[kCrashReportCapacity];
};

thread_local ThreadState t_state;

// Continues in place of the faulting instruction, on a stack with room again: a stack
// overflow leaves the handler almost none (Wine calls it with under 2 KB), so the report
// is written here rather than in the handler.
[[noreturn]] void land() {
  ThreadState& state = t_state;
  state.reporting = true;
  state.report_length = windows::write_crash_report_of(state.fault, state.report, sizeof state.report);
  state.reporting = false;
  __builtin_longjmp(state.top->env, 1);
}

LONG CALLBACK on_exception(EXCEPTION_POINTERS* pointers) {
  ThreadState& state = t_state;
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  // Faults while the report is written are the probe's (IsBadReadPtr handles its own);
  // other codes, and threads without an armed trap, go on as if we were not here.
  if (state.top == nullptr || state.reporting || !is_trapped_code(code)) return EXCEPTION_CONTINUE_SEARCH;
  state.fault = windows::fault_record_of(pointers);
  CONTEXT& context = *pointers->ContextRecord;
#if defined(__x86_64__)
  context.Rip = reinterpret_cast<DWORD64>(&land);
  context.Rsp = state.top->landing_stack;
#elif defined(__i386__)
  context.Eip = reinterpret_cast<DWORD>(&land);
  context.Esp = state.top->landing_stack;
#elif defined(__aarch64__)
  context.Pc = reinterpret_cast<DWORD64>(&land);
  context.Sp = state.top->landing_stack;
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

std::once_flag g_install_once;
PVOID g_handler = nullptr;

// Takes our handler out when the plug-in is unloaded, so that no fault lands in code
// that is gone.
struct HandlerRemover {
  ~HandlerRemover() {
    if (g_handler != nullptr) ::RemoveVectoredExceptionHandler(g_handler);
  }
} g_remover;

// Like __try, a function that sets the jump buffer holds no objects that need unwinding.
[[gnu::noinline]] DWORD guarded_call(detail::GuardedBody body, void* context) {
  TrapFrame frame;
  frame.outer = t_state.top;
  const auto here = reinterpret_cast<std::uintptr_t>(&frame);
  // 16-byte aligned as after a call, a page below this frame.
  frame.landing_stack = ((here - 4096) & ~std::uintptr_t{15}) - sizeof(void*);
  if (__builtin_setjmp(frame.env) != 0) {
    t_state.top = t_state.top->outer;
    return t_state.fault.code;
  }
  t_state.top = &frame;
  body(context);
  t_state.top = frame.outer;
  return 0;
}

void describe_cpp_exception(std::string& crash_report) {
  // All that is known at this point is the code: the throw's frames are gone. The report
  // therefore names no module and no stack, as on POSIX.
  FaultRecord fault;
  fault.code = seh_code::kCppException;
  ThreadState& state = t_state;
  state.report_length = windows::write_crash_report_of(fault, state.report, sizeof state.report);
  assign_quietly(crash_report, state.report, state.report_length);
}

}  // namespace

void install_fault_trap() {
  std::call_once(g_install_once, [] { g_handler = ::AddVectoredExceptionHandler(1, &on_exception); });
}

namespace detail {

std::uint32_t run_guarded(GuardedBody body, void* context, std::string& crash_report) {
  install_fault_trap();
  TrapFrame* const outer = t_state.top;
  fenv_t fp_environment;
  std::fegetenv(&fp_environment);
  const ExceptionHandlingMark handling = mark_exception_handling();
  DWORD code = 0;
  try {
    code = guarded_call(body, context);
  } catch (...) {
    t_state.top = outer;
    describe_cpp_exception(crash_report);
    throw;
  }
  if (code == 0) return 0;
  recover_after(code);
  // The fault's float status and masks stay with the abandoned frames, and so do the catch
  // handlers and the unwinding it interrupted.
  std::fesetenv(&fp_environment);
  end_abandoned_exception_handling(handling);
  crash_report.assign(t_state.report, t_state.report_length);
  return code;
}

}  // namespace detail

#endif

}  // namespace paravelle::diag
