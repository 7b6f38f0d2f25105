// The fault trap and what it reports: the crash report of each kind of fault, faults on
// several threads, the signals it maps and the faults it leaves alone.

#include "diag/trap.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <climits>
#include <cstdio>
#include <exception>
#include <sys/resource.h>
#include <thread>
#include <vector>
#include <stdexcept>
#include <string>

#include "diag/faults.h"
#include "diag/trap_signals_posix.h"
#include "diag/exception_names.h"
#include "support/sanitizers.h"

namespace paravelle::diag {
namespace {

using namespace paravelle::diag::testing;

constexpr const char* kPrefix = "Trapped SEH Exception in LoadFromFile(): ";

TEST(Trap, WriteToAddress0x10IsAnAccessViolationWithAFullReport) {
  std::string trapText = "stale", report = "No message";
  EXPECT_FALSE(run_trapped(kPrefix, trapText, report, false, [] { return fault_at_depth(40) == 0; }));
  EXPECT_EQ(trapText, "Trapped SEH Exception in LoadFromFile(): Access Violation");
  char exe[PATH_MAX] = {};
  ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  EXPECT_TRUE(report.starts_with("Process:  " + std::string(exe) + "\nModule:  " + exe + "\nDate Modified:  "))
      << report;

  // The first frame is the fault inside write_to, at its offset from this binary's base.
  Dl_info module{};
  ASSERT_NE(::dladdr(reinterpret_cast<void*>(&write_to), &module), 0);
  const auto base = reinterpret_cast<std::uintptr_t>(module.dli_fbase);
  char text[64];
  std::snprintf(text, sizeof text, "\nCall Stack:\n%08X  ", static_cast<unsigned>(base));
  const std::size_t frame_at = report.find(text + std::string(exe) + "\n  +");
  ASSERT_NE(frame_at, std::string::npos) << report;
  const std::string stack = report.substr(frame_at);
  const std::size_t offset_at = stack.find("\n  +") + 4;
  EXPECT_EQ(stack.substr(offset_at + 8, 19), "  Exception Offset\n") << report;
  const std::uintptr_t pc = base + std::stoul(stack.substr(offset_at, 8), nullptr, 16);
  EXPECT_LT(pc - reinterpret_cast<std::uintptr_t>(&write_to), 64u) << report;

  // Forty frames deep, the walk is cut after twenty, each in this binary (two lines each),
  // those above the fault with their five words.
  std::size_t frames = 0;
  for (std::size_t at = stack.find("\n  +"); at != std::string::npos; at = stack.find("\n  +", at + 1)) ++frames;
  EXPECT_EQ(frames, 20u) << report;
  EXPECT_EQ(std::count(stack.begin(), stack.end(), '\n'), 1 + 40) << report;
  EXPECT_NE(stack.find(")\n"), std::string::npos) << report;
}

// Reading a page mapped beyond the end of its (empty) file is SIGBUS.
std::uintptr_t page_beyond_file() {
  static const auto page = [] {
    char name[] = "/tmp/paravelle-bus-XXXXXX";
    const int fd = ::mkstemp(name);
    ::unlink(name);
    return reinterpret_cast<std::uintptr_t>(::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
  }();
  return page;
}

const struct {
  void (*fault)();
  const char* name;
  const char* report;  // part of the report
} kFaults[] = {
    {[] { write_to(address_0x10); }, "Access Violation",
     "\nException Code:  C0000005\nWrite Address:  00000010\nInstruction: "},
    {[] { (void)read_from(address_null); }, "Access Violation",
     "\nException Code:  C0000005\nRead Address:  00000000\nInstruction: "},
    {[] { divide(10, zero); }, "Integer Divide By Zero", "\nException Code:  C0000094\nInstruction: "},
    {[] { recurse_forever(); }, "Stack Overflow", "\nException Code:  C00000FD\nInstruction: "},
    {[] { illegal_instruction(); }, "Illegal Instruction", "\nException Code:  C000001D\nInstruction: "},
    {[] { (void)read_from(page_beyond_file()); }, "In Page Error", "\nException Code:  C0000006\nInstruction: "},
    {[] {
       ::feenableexcept(FE_DIVBYZERO);
       multiply(1.0, 1.0 / zero);
     },
     "Float Divide By Zero", "\nException Code:  C000008E\nInstruction: "},
    // Last: a jump to an address that is no code: no module, unreadable bytes, no frames.
    {[] { jump_to(0x1000); }, "Access Violation",
     "\nException Addr:  00001000\nException Code:  C0000005\nRead Address:  00001000\n"
     "Instruction:  ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ??\nCall Stack:"},
};

// Runs `count` faults of the table in turn; returns how many were trapped as expected.
int trapped_as_expected(int count, std::string& report) {
  std::string trapText;
  int trapped = 0;
  for (int i = 0; i < count; ++i) {
    const auto& f = kFaults[i % std::size(kFaults)];
    run_trapped("X: ", trapText, report, f.fault);
    const bool as_expected = trapText == std::string("X: ") + f.name && report.starts_with("Process:  ") &&
                             report.find(f.report) != std::string::npos;
    if (!as_expected) ADD_FAILURE() << f.name << ": " << trapText << "\n" << report;
    trapped += as_expected;
  }
  return trapped;
}

TEST(Trap, AThousandFaultsOfEachKindInARowWhileThreadsWithSmallStacksTrapTheirOwn) {
  pthread_attr_t attributes;
  ::pthread_attr_init(&attributes);
  ::pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t threads[3];
  for (pthread_t& thread : threads) {
    const auto body = [](void*) -> void* {
      std::string report;
      return reinterpret_cast<void*>(std::intptr_t{trapped_as_expected(200, report)});
    };
    ASSERT_EQ(::pthread_create(&thread, &attributes, body, nullptr), 0);
  }
  ASSERT_EQ(std::fesetround(FE_UPWARD), 0);
  std::string report;
  EXPECT_EQ(trapped_as_expected(1000, report), 1000);
  // The float environment is the one the trap was armed with: rounding kept, exceptions masked.
  EXPECT_EQ(std::fegetround(), FE_UPWARD);
  EXPECT_EQ(::fegetexcept(), 0);
  std::fesetround(FE_TONEAREST);
  EXPECT_TRUE(report.ends_with("\nCall Stack:")) << report;  // the jump to nowhere came last
  for (pthread_t thread : threads) {
    void* trapped = nullptr;
    ::pthread_join(thread, &trapped);
    EXPECT_EQ(reinterpret_cast<std::intptr_t>(trapped), 200);
  }
  ::pthread_attr_destroy(&attributes);

  // Nothing is left blocked, and the signal stack is not in use.
  sigset_t mask;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) EXPECT_FALSE(sigismember(&mask, s)) << s;
  stack_t alt{};
  ASSERT_EQ(::sigaltstack(nullptr, &alt), 0);
  EXPECT_EQ(alt.ss_flags & (SS_ONSTACK | SS_DISABLE), 0);
  EXPECT_GE(alt.ss_size, 32u * 1024);
}

TEST(TrapSignals, FaultSignalsMapToTheTrappedCodesAndTheirNames) {
  const struct {
    int signal, si_code;  // signal 0: a code no signal maps to
    std::uint32_t code;
    const char* name;
  } table[] = {
      {SIGSEGV, SEGV_MAPERR, 0xC0000005, "Access Violation"},
      {SIGBUS, BUS_ADRALN, 0x80000002, "Datatype Misalignment"},
      {SIGBUS, BUS_ADRERR, 0xC0000006, "In Page Error"},
      {SIGFPE, FPE_INTDIV, 0xC0000094, "Integer Divide By Zero"},
      {SIGFPE, FPE_INTOVF, 0xC0000095, "Integer Overflow"},
      {SIGFPE, FPE_FLTDIV, 0xC000008E, "Float Divide By Zero"},

      {SIGFPE, FPE_FLTRES, 0xC000008F, "Float Inexact Result"},
      {SIGFPE, FPE_FLTINV, 0xC0000090, "Float Invalid Operation"},
      {SIGFPE, FPE_FLTSUB, 0xC000008C, "Array Bounds Exceeded"},
      {SIGILL, ILL_PRVOPC, 0xC0000096, "Privileged Instruction"},
      {SIGILL, ILL_ILLOPC, 0xC000001D, "Illegal Instruction"},
      {0, 0, 0xC000008D, "Float Denormal Operand"},

      {0, 0, 0xC00000FD, "Stack Overflow"},
  };
  for (const auto& row : table) {
    if (row.signal != 0) {
      EXPECT_EQ(posix::code_for_signal(row.signal, row.si_code), row.code) << row.name;
    }
    EXPECT_STREQ(exception_name(row.code), row.name);
    EXPECT_TRUE(is_trapped_code(row.code)) << row.name;
  }
  for (int code : {int{FPE_FLTUND}, 14, 0}) EXPECT_EQ(posix::code_for_signal(SIGFPE, code), 0u) << code;
  EXPECT_EQ(posix::code_for_signal(SIGABRT, 1), 0u);
  for (std::uint32_t code : {0xC0000093u, 0xE06D7363u, 0x80000003u, 0u}) {
    EXPECT_STREQ(exception_name(code), "Unknown SEH Exception Code") << std::hex << code;
    EXPECT_FALSE(is_trapped_code(code)) << std::hex << code;
  }
}

// The guard area and the gap below it, or an address below the stack pointer, is the stack
// running out; anything else, and any address while the bounds are unknown, is not.
TEST(TrapSignals, StackOverflowIsTheGuardAreaOrBelowTheStackPointer) {
  constexpr std::uintptr_t MiB = 1 << 20, low = 100 * MiB, sp = 104 * MiB;
  const posix::StackBounds stack{low, 108 * MiB, 4096};
  const struct {
    std::uintptr_t address, sp;
    bool overflow;
  } cases[] = {
      {low - 8, sp, true},  {low - MiB + 16, sp, true}, {low + 4096, sp, true},  // guard, gap below
      {sp - 8, sp, true},   {low + 8, low + 16, true},                           // below sp
      {0x10, sp, false},    {50 * MiB, sp, false},      {low - 2 * MiB, sp, false},
      {sp + 64, sp, false}, {200 * MiB, sp, false},
  };
  for (const auto& c : cases) EXPECT_EQ(posix::is_stack_overflow(c.address, c.sp, stack), c.overflow) << c.address;
  EXPECT_FALSE(posix::is_stack_overflow(low - 8, sp, posix::StackBounds{}));  // unknown bounds
}

void trapped(void (*operation)()) {
  std::string trapText, report;
  run_trapped("", trapText, report, operation);
}

// Arms and leaves one trap, so that our handlers are in place.
void arm_once() {
  std::string trapText, report;
  run_trapped("", trapText, report, [] { write_to(address_0x10); });
  if (trapText != "Access Violation") std::_Exit(3);
}

// The child must die inside body; if it survives it exits with 0.
void child(void (*body)()) {
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  body();
  std::_Exit(0);
}

// The host's handler exits with the signal and the low bits of the fault address.
void install_host_handler(int signal) {
  struct sigaction action {};
  action.sa_sigaction = [](int signal, siginfo_t* info, void*) {
    std::_Exit(signal * 16 + static_cast<int>(reinterpret_cast<std::uintptr_t>(info->si_addr) & 0xF));
  };
  action.sa_flags = SA_SIGINFO;
  ::sigaction(signal, &action, nullptr);
}

// What the trap leaves alone ends the process as it would without the plug-in, or reaches
// the host's own handler installed before ours.
TEST(TrapDeathTest, FaultsTheTrapDoesNotTakeKillTheProcessOrReachTheHost) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<void (*)(), int> cases[] = {
      // Float underflow is no trapped code; a signal sent by raise() is no fault of the operation.
      {[] { trapped([] { ::feenableexcept(FE_UNDERFLOW), multiply(1e-300, 1e-300); }); }, SIGFPE},
      {[] { trapped([] { ::raise(SIGSEGV); }); }, SIGSEGV},
      // A thread that never armed a trap: a fault, and a stack overflow without our signal stack.
      {[] { arm_once(), std::thread([] { write_to(address_0x10); }).join(); }, SIGSEGV},
      {[] { arm_once(), std::thread([] { recurse_forever(); }).join(); }, SIGSEGV},
      // After the trap returned; and with the signal ignored, a real fault still kills.
      {[] { arm_once(), write_to(address_0x10); }, SIGSEGV},
      {[] { ::signal(SIGSEGV, SIG_IGN), arm_once(), write_to(address_0x10); }, SIGSEGV},
  };
  for (const auto& [body, signal] : cases) EXPECT_EXIT(child(body), paravelle::testing::killed_by_fault(signal), "");
  EXPECT_EXIT(child([] { install_host_handler(SIGSEGV), install_fault_trap(), arm_once(), write_to(0x23); }),
              ::testing::ExitedWithCode(SIGSEGV * 16 + 3), "");
  EXPECT_EXIT(child([] {
                install_host_handler(SIGFPE);
                trapped([] { send_fault_to_self(SIGFPE, FPE_FLTUND, 0x5A); });
              }),
              ::testing::ExitedWithCode(SIGFPE * 16 + 0xA), "")
      << "under an armed trap, a code it does not handle goes on to the host";
}

}  // namespace
}  // namespace paravelle::diag
