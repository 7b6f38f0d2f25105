#pragma once
// The machine-fault trap: runs one operation so that a machine fault inside it (an access
// violation, a division by zero, a stack overflow, ...) ends the operation instead of the
// process. Every risky call into the host goes through it, each as one line:
//
//   bool CallLoadFromFile(JobState& s, const std::wstring& f, std::string& trapText) {
//     return paravelle::diag::run_trapped("Trapped SEH Exception in LoadFromFile(): ",
//         trapText, s.lastCrashReport, false,
//         [&] { return s.coreInterface->LoadFromFile(f.c_str(), 14); });
//   }
//
// On a trapped fault trapText becomes the prefix followed by the exception's name
// ("Access Violation", ...), the crash report replaces crash_report, and the preset result
// is returned. When the operation finishes, trapText is empty and its result is returned.
// A C++ exception thrown through the trap is not trapped: crash_report is rewritten to
// describe it (code E06D7363), then the exception continues unchanged to the caller.
//
// What is trapped: the fifteen codes of exception_names.h. On Windows that is structured
// exception handling. On POSIX, faults raised by the processor (SIGSEGV, SIGBUS, SIGFPE,
// SIGILL) on the thread that armed the trap are mapped onto those codes; a stack overflow
// is trapped too, because the handler runs on an alternate signal stack. A fault with
// another code (float underflow among them), a fault on a thread without an armed trap,
// and a fault signal sent by kill() or raise() go to the handler that was installed
// before ours, or get the default action (the process dies as it would without us).
//
// Like an SEH handler without unwinding semantics, a trapped fault abandons the frames
// between the fault and the trap: their destructors do not run and any lock they held
// stays held. Calls into the host that may run scripts go through diag/host_call_trap.h,
// which also makes the script runtime forget what those frames left with it. Traps nest;
// the innermost armed trap of the thread takes the fault.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "diag/exception_names.h"

namespace paravelle::diag {

// Installs the process's fault handlers (POSIX; nothing to do on Windows). The first trap
// does this itself; calling it early puts our handlers in place before anyone else's that
// should chain to ours. Idempotent and thread-safe.
void install_fault_trap();

namespace detail {

using GuardedBody = void (*)(void* context);

// Calls body(context) under the guard. Returns 0 when the body returned, otherwise the
// trapped exception code, with crash_report set to its report. A C++ exception leaving the
// body rewrites crash_report and is rethrown. Throws std::bad_alloc, before calling the
// body, when the thread's trap state (report buffer, signal stack) cannot be allocated.
std::uint32_t run_guarded(GuardedBody body, void* context, std::string& crash_report);

inline void set_trap_text(std::string& trapText, std::string_view prefix, std::uint32_t code) {
  trapText.assign(prefix);
  trapText += exception_name(code);
}

}  // namespace detail

// Runs operation under the trap and returns its result, or trapped_result (converted to the
// operation's result type) after a trapped fault.
template <class Operation, class Preset>
requires(!std::is_void_v<std::invoke_result_t<Operation&>>) std::invoke_result_t<Operation&> run_trapped(
    std::string_view prefix, std::string& trapText, std::string& crash_report, Preset&& trapped_result,
    Operation&& operation) {
  using result_type = std::invoke_result_t<Operation&>;
  struct Call {
    std::remove_reference_t<Operation>* operation;
    std::optional<result_type>* result;
    static void run(void* self) {
      Call& c = *static_cast<Call*>(self);
      c.result->emplace((*c.operation)());
    }
  };
  trapText.clear();
  std::optional<result_type> result;
  Call c{std::addressof(operation), &result};
  const std::uint32_t code = detail::run_guarded(&Call::run, &c, crash_report);
  if (code == 0) return std::move(*result);
  detail::set_trap_text(trapText, prefix, code);
  return static_cast<result_type>(std::forward<Preset>(trapped_result));
}

// The same for an operation without a result.
template <class Operation>
requires std::is_void_v<std::invoke_result_t<Operation&>>
void run_trapped(std::string_view prefix, std::string& trapText, std::string& crash_report, Operation&& operation) {
  struct Call {
    static void run(void* self) { (*static_cast<std::remove_reference_t<Operation>*>(self))(); }
  };
  trapText.clear();
  // The operation's own address makes the trip through void*; run() gives its const back.
  void* context = const_cast<void*>(static_cast<const void*>(std::addressof(operation)));
  const std::uint32_t code = detail::run_guarded(&Call::run, context, crash_report);
  if (code != 0) detail::set_trap_text(trapText, prefix, code);
}

}  // namespace paravelle::diag
