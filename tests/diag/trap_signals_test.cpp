#include "diag/trap_signals_posix.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>

#include "diag/exception_names.h"

namespace paravelle::diag::posix {
namespace {

TEST(TrapSignals, FaultSignalsMapToTheTrappedCodesAndTheirNames) {
  const struct {
    int signal, si_code;  // signal 0: a code no signal maps to
    std::uint32_t code;
    const char* name;
  } table[] = {
      {SIGSEGV, SEGV_MAPERR, 0xC0000005, "Access Violation"},
      {SIGSEGV, SEGV_ACCERR, 0xC0000005, "Access Violation"},
      {SIGSEGV, SI_KERNEL, 0xC0000005, "Access Violation"},
      {SIGBUS, BUS_ADRALN, 0x80000002, "Datatype Misalignment"},
      {SIGBUS, BUS_ADRERR, 0xC0000006, "In Page Error"},
      {SIGBUS, BUS_OBJERR, 0xC0000006, "In Page Error"},
      {SIGFPE, FPE_INTDIV, 0xC0000094, "Integer Divide By Zero"},
      {SIGFPE, FPE_INTOVF, 0xC0000095, "Integer Overflow"},
      {SIGFPE, FPE_FLTDIV, 0xC000008E, "Float Divide By Zero"},
      {SIGFPE, FPE_FLTOVF, 0xC0000091, "Float Overflow"},
      {SIGFPE, FPE_FLTRES, 0xC000008F, "Float Inexact Result"},
      {SIGFPE, FPE_FLTINV, 0xC0000090, "Float Invalid Operation"},
      {SIGFPE, FPE_FLTSUB, 0xC000008C, "Array Bounds Exceeded"},
      {SIGILL, ILL_PRVOPC, 0xC0000096, "Privileged Instruction"},
      {SIGILL, ILL_PRVREG, 0xC0000096, "Privileged Instruction"},
      {SIGILL, ILL_ILLOPC, 0xC000001D, "Illegal Instruction"},
      {SIGILL, ILL_ILLOPN, 0xC000001D, "Illegal Instruction"},
      {SIGILL, ILL_BADSTK, 0xC000001D, "Illegal Instruction"},
      {0, 0, 0xC000008D, "Float Denormal Operand"},
      {0, 0, 0xC0000092, "Float Stack Check"},
      {0, 0, 0xC00000FD, "Stack Overflow"},
  };
  for (const auto& row : table) {
    if (row.signal != 0) {
      EXPECT_EQ(code_for_signal(row.signal, row.si_code), row.code) << row.name;
    }
    EXPECT_STREQ(exception_name(row.code), row.name);
    EXPECT_TRUE(is_trapped_code(row.code)) << row.name;
  }
  // Float underflow, an unknown float code, other signals: not handled.
  for (int code : {int{FPE_FLTUND}, 14, 0}) EXPECT_EQ(code_for_signal(SIGFPE, code), 0u) << code;
  EXPECT_EQ(code_for_signal(SIGABRT, 1), 0u);
  EXPECT_EQ(code_for_signal(SIGTRAP, 1), 0u);
  // Float underflow (between two trapped codes), the thrown C++ exception, breakpoint, zero.
  for (std::uint32_t code : {0xC0000093u, 0xE06D7363u, 0x80000003u, 0u}) {
    EXPECT_STREQ(exception_name(code), "Unknown SEH Exception Code") << std::hex << code;
    EXPECT_FALSE(is_trapped_code(code)) << std::hex << code;
  }
}

TEST(TrapSignals, StackOverflowIsTheGuardAreaOrBelowTheStackPointer) {
  constexpr std::uintptr_t MiB = 1 << 20, low = 100 * MiB, sp = 104 * MiB;
  const StackBounds stack{low, 108 * MiB, 4096};
  const struct {
    std::uintptr_t address, sp;
    bool overflow;
  } cases[] = {
      {low - 8, sp, true},  {low - MiB + 16, sp, true}, {low + 4096, sp, true},  // guard, gap below
      {sp - 8, sp, true},   {low + 8, low + 16, true},                           // below sp
      {0x10, sp, false},    {50 * MiB, sp, false},      {low - 2 * MiB, sp, false},
      {sp + 64, sp, false}, {200 * MiB, sp, false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_stack_overflow(c.address, c.sp, stack), c.overflow) << c.address;
  EXPECT_FALSE(is_stack_overflow(low - 8, sp, StackBounds{}));  // unknown bounds
}

}  // namespace
}  // namespace paravelle::diag::posix
