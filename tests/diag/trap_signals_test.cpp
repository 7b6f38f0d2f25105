#include "diag/trap_signals_posix.h"

#include <gtest/gtest.h>

#include <csignal>

#include "diag/exception_names.h"

namespace paravelle::diag::posix {
namespace {

TEST(TrapSignals, EachSignalAndCodeMapsToItsWindowsCode) {
  EXPECT_EQ(code_for_signal(SIGSEGV, SEGV_MAPERR), 0xC0000005u);
  EXPECT_EQ(code_for_signal(SIGSEGV, SEGV_ACCERR), 0xC0000005u);
  EXPECT_EQ(code_for_signal(SIGSEGV, SI_KERNEL), 0xC0000005u);
  EXPECT_EQ(code_for_signal(SIGBUS, BUS_ADRALN), 0x80000002u);
  EXPECT_EQ(code_for_signal(SIGBUS, BUS_ADRERR), 0xC0000006u);
  EXPECT_EQ(code_for_signal(SIGBUS, BUS_OBJERR), 0xC0000006u);
  EXPECT_EQ(code_for_signal(SIGFPE, FPE_INTDIV), 0xC0000094u);
  EXPECT_EQ(code_for_signal(SIGFPE, FPE_INTOVF), 0xC0000095u);
  EXPECT_EQ(code_for_signal(SIGFPE, FPE_FLTDIV), 0xC000008Eu);
  EXPECT_EQ(code_for_signal(SIGFPE, FPE_FLTOVF), 0xC0000091u);
  EXPECT_EQ(code_for_signal(SIGFPE, FPE_FLTRES), 0xC000008Fu);
  EXPECT_EQ(code_for_signal(SIGFPE, FPE_FLTINV), 0xC0000090u);
  EXPECT_EQ(code_for_signal(SIGFPE, FPE_FLTSUB), 0xC000008Cu);
  EXPECT_EQ(code_for_signal(SIGILL, ILL_PRVOPC), 0xC0000096u);
  EXPECT_EQ(code_for_signal(SIGILL, ILL_PRVREG), 0xC0000096u);
  EXPECT_EQ(code_for_signal(SIGILL, ILL_ILLOPC), 0xC000001Du);
  EXPECT_EQ(code_for_signal(SIGILL, ILL_ILLOPN), 0xC000001Du);
  EXPECT_EQ(code_for_signal(SIGILL, ILL_BADSTK), 0xC000001Du);
}

TEST(TrapSignals, UnderflowUnknownFloatCodesAndOtherSignalsAreNotHandled) {
  EXPECT_EQ(code_for_signal(SIGFPE, FPE_FLTUND), 0u);
  EXPECT_EQ(code_for_signal(SIGFPE, 14), 0u);  // FPE_FLTUNK
  EXPECT_EQ(code_for_signal(SIGFPE, 0), 0u);
  EXPECT_EQ(code_for_signal(SIGABRT, 1), 0u);
  EXPECT_EQ(code_for_signal(SIGTRAP, 1), 0u);
}

TEST(TrapSignals, StackOverflowIsTheGuardAreaOrBelowTheStackPointer) {
  constexpr std::uintptr_t MiB = 1 << 20;
  const stack_bounds stack{100 * MiB, 108 * MiB, 4096};
  const std::uintptr_t sp_mid = 104 * MiB;
  // In the guard page and the gap below the stack, and just above its limit.
  EXPECT_TRUE(is_stack_overflow(100 * MiB - 8, sp_mid, stack));
  EXPECT_TRUE(is_stack_overflow(100 * MiB - MiB + 16, sp_mid, stack));
  EXPECT_TRUE(is_stack_overflow(100 * MiB + 4096, sp_mid, stack));
  // Inside the stack but below the stack pointer.
  EXPECT_TRUE(is_stack_overflow(sp_mid - 8, sp_mid, stack));
  // The stack pointer at the limit, a large frame probed above it.
  EXPECT_TRUE(is_stack_overflow(100 * MiB + 8, 100 * MiB + 16, stack));
  // Ordinary access violations: null page, heap far away, inside the stack above sp.
  EXPECT_FALSE(is_stack_overflow(0x10, sp_mid, stack));
  EXPECT_FALSE(is_stack_overflow(50 * MiB, sp_mid, stack));
  EXPECT_FALSE(is_stack_overflow(100 * MiB - 2 * MiB, sp_mid, stack));
  EXPECT_FALSE(is_stack_overflow(sp_mid + 64, sp_mid, stack));
  EXPECT_FALSE(is_stack_overflow(200 * MiB, sp_mid, stack));
  // Unknown bounds: never an overflow.
  EXPECT_FALSE(is_stack_overflow(100 * MiB - 8, sp_mid, stack_bounds{}));
}

}  // namespace
}  // namespace paravelle::diag::posix
