// A file of its own: the one reach into the C++ runtime's records, which both platforms' traps use.

#include "diag/exception_handling.h"

#include <cxxabi.h>

namespace paravelle::diag::detail {
namespace {

// The runtime's per-thread record (__cxa_eh_globals; <cxxabi.h> declares it without its
// fields).
struct eh_globals {
  void* caughtExceptions;
  unsigned int uncaughtExceptions;
};

eh_globals& exception_handling_of_this_thread() noexcept {
  return *reinterpret_cast<eh_globals*>(abi::__cxa_get_globals());
}

}  // namespace

ExceptionHandlingMark mark_exception_handling() noexcept {
  const eh_globals& globals = exception_handling_of_this_thread();
  return {globals.caughtExceptions, globals.uncaughtExceptions};
}

void end_abandoned_exception_handling(const ExceptionHandlingMark& mark) noexcept {
  eh_globals& globals = exception_handling_of_this_thread();
  while (globals.caughtExceptions != nullptr && globals.caughtExceptions != mark.caught) abi::__cxa_end_catch();
  globals.uncaughtExceptions = mark.uncaught;
}

}  // namespace paravelle::diag::detail
