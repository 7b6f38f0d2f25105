#include "diag/trap_signals_posix.h"

#include <csignal>

#include "diag/exception_names.h"

namespace paravelle::diag::posix {

std::uint32_t code_for_signal(int signal, int si_code) {
  switch (signal) {
    case SIGSEGV: return seh_code::kAccessViolation;
    case SIGBUS: return si_code == BUS_ADRALN ? seh_code::kDatatypeMisalignment : seh_code::kInPageError;
    case SIGILL:
      return si_code == ILL_PRVOPC || si_code == ILL_PRVREG ? seh_code::kPrivInstruction
                                                            : seh_code::kIllegalInstruction;
    case SIGFPE:
      switch (si_code) {
        case FPE_INTDIV: return seh_code::kIntDivideByZero;
        case FPE_INTOVF: return seh_code::kIntOverflow;
        case FPE_FLTDIV: return seh_code::kFltDivideByZero;
        case FPE_FLTOVF: return seh_code::kFltOverflow;
        case FPE_FLTRES: return seh_code::kFltInexactResult;
        case FPE_FLTINV: return seh_code::kFltInvalidOperation;
        case FPE_FLTSUB: return seh_code::kArrayBoundsExceeded;
        default: return 0;  // FPE_FLTUND and codes without a Windows counterpart
      }
    default: return 0;
  }
}

bool is_stack_overflow(std::uintptr_t fault_address, std::uintptr_t sp, const StackBounds& stack) {
  if (stack.high == 0) return false;
  // A frame larger than the guard area can step past it, so the margin below the stack is
  // at least 1 MiB (the kernel's own gap below a growing stack); the margin above covers
  // the probes of a frame that was allocated right at the limit.
  constexpr std::uintptr_t kMinGap = std::uintptr_t{1} << 20;
  constexpr std::uintptr_t kAbove = 64 * 1024;
  const std::uintptr_t gap = stack.guard > kMinGap ? stack.guard : kMinGap;
  const std::uintptr_t bottom = stack.low > gap ? stack.low - gap : 0;
  if (fault_address >= bottom && fault_address < stack.low + kAbove) return true;
  if (fault_address >= stack.low && fault_address < stack.high && fault_address < sp) return true;
  return sp < stack.low + kAbove && fault_address < stack.high && fault_address + kAbove >= sp;
}

}  // namespace paravelle::diag::posix
