#pragma once
// What the C++ runtime of GCC and Clang (the Itanium C++ ABI, on Linux and mingw alike)
// knows of the exceptions a thread is handling, for the traps that jump out of the frames
// a fault interrupted: such a jump ends no catch handler and finishes no unwinding.

namespace paravelle::diag::detail {

struct ExceptionHandlingMark {
  void* caught;           // the innermost exception being handled, or null
  unsigned int uncaught;  // exceptions thrown and not yet caught
};

// The state when a trap is armed.
ExceptionHandlingMark mark_exception_handling() noexcept;

// Back to the state of `mark` after the jump. A fault inside a catch handler abandons the
// handler without ending it: the runtime would go on thinking its exception is being
// handled (std::current_exception() returns it, and it is never freed), one more for each
// such fault. The handlers the jump left are ended here, innermost first, down to those
// that were open at the mark. A fault during unwinding leaves an exception in flight
// forever; its count is put back so that std::uncaught_exceptions() tells the truth again
// (the object itself cannot be reached).
void end_abandoned_exception_handling(const ExceptionHandlingMark& mark) noexcept;

}  // namespace paravelle::diag::detail
