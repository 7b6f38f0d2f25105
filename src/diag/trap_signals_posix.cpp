#include "diag/trap_signals_posix.h"

#include <csignal>

#include "diag/exception_names.h"

namespace paravelle::diag::posix {

std::uint32_t code_for_signal(int signal, int si_code) {
  switch (signal) {
    case SIGSEGV: return seh_code::access_violation;
    case SIGBUS: return si_code == BUS_ADRALN ? seh_code::datatype_misalignment : seh_code::in_page_error;
    case SIGILL:
      return si_code == ILL_PRVOPC || si_code == ILL_PRVREG ? seh_code::priv_instruction
                                                            : seh_code::illegal_instruction;
    case SIGFPE:
      switch (si_code) {
        case FPE_INTDIV: return seh_code::int_divide_by_zero;
        case FPE_INTOVF: return seh_code::int_overflow;
        case FPE_FLTDIV: return seh_code::flt_divide_by_zero;
        case FPE_FLTOVF: return seh_code::flt_overflow;
        case FPE_FLTRES: return seh_code::flt_inexact_result;
        case FPE_FLTINV: return seh_code::flt_invalid_operation;
        case FPE_FLTSUB: return seh_code::array_bounds_exceeded;
        default: return 0;  // FPE_FLTUND and codes without a Windows counterpart
      }
    default: return 0;
  }
}

bool is_stack_overflow(std::uintptr_t fault_address, std::uintptr_t sp, const stack_bounds& stack) {
  if (stack.high == 0) return false;
  // A frame larger than the guard area can step past it, so the margin below the stack is
  // at least 1 MiB (the kernel's own gap below a growing stack); the margin above covers
  // the probes of a frame that was allocated right at the limit.
  constexpr std::uintptr_t min_gap = std::uintptr_t{1} << 20;
  constexpr std::uintptr_t above = 64 * 1024;
  const std::uintptr_t gap = stack.guard > min_gap ? stack.guard : min_gap;
  const std::uintptr_t bottom = stack.low > gap ? stack.low - gap : 0;
  if (fault_address >= bottom && fault_address < stack.low + above) return true;
  if (fault_address >= stack.low && fault_address < stack.high && fault_address < sp) return true;
  return sp < stack.low + above && fault_address < stack.high && fault_address + above >= sp;
}

}  // namespace paravelle::diag::posix
