// What the trap leaves alone: faults it does not handle and faults outside an armed trap
// end the process as they would without the plug-in, or reach the host's own handler.
// Each case runs in a child process.

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cfenv>
#include <cstdlib>
#include <string>
#include <thread>

#include "diag/faults.h"
#include "diag/trap.h"

namespace paravelle::diag {
namespace {

using namespace paravelle::diag::testing;

class TrapDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// The children die on purpose; they need not leave core files behind.
void no_core_dump() {
  rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
}

template <class Operation>
void trapped(Operation operation) {
  std::string trapText, report;
  run_trapped("", trapText, report, operation);
}

void arm_once() {
  std::string trapText, report;
  run_trapped("", trapText, report, [] { write_to(address_0x10); });
  if (trapText != "Access Violation") std::_Exit(3);
}

void real_underflow_in_trap() {
  no_core_dump();
  trapped([] {
    ::feenableexcept(FE_UNDERFLOW);
    volatile double tiny = 1e-300;
    volatile double result = tiny * tiny;
    (void)result;
  });
  std::_Exit(0);
}

void sent_underflow_in_trap() {
  no_core_dump();
  trapped([] { send_fault_to_self(SIGFPE, FPE_FLTUND); });
  std::_Exit(0);
}

void unknown_float_code_in_trap() {
  no_core_dump();
  trapped([] { send_fault_to_self(SIGFPE, 14 /* FPE_FLTUNK */); });
  std::_Exit(0);
}

TEST_F(TrapDeathTest, FloatUnderflowAndCodesOutsideTheTableAreNotTrapped) {
  EXPECT_EXIT(real_underflow_in_trap(), ::testing::KilledBySignal(SIGFPE), "");
  EXPECT_EXIT(sent_underflow_in_trap(), ::testing::KilledBySignal(SIGFPE), "");
  EXPECT_EXIT(unknown_float_code_in_trap(), ::testing::KilledBySignal(SIGFPE), "");
}

void fault_on_other_thread() {
  no_core_dump();
  arm_once();
  std::thread([] { write_to(address_0x10); }).join();
  std::_Exit(0);
}

void fault_after_trap_returned() {
  no_core_dump();
  arm_once();
  write_to(address_0x10);
  std::_Exit(0);
}

void overflow_on_other_thread() {
  no_core_dump();
  arm_once();
  std::thread([] { recurse_forever(0); }).join();
  std::_Exit(0);
}

TEST_F(TrapDeathTest, FaultWithoutAnArmedTrapKillsTheProcess) {
  EXPECT_EXIT(fault_on_other_thread(), ::testing::KilledBySignal(SIGSEGV), "");
  EXPECT_EXIT(fault_after_trap_returned(), ::testing::KilledBySignal(SIGSEGV), "");
  // That thread never armed a trap, so it has no signal stack of ours either.
  EXPECT_EXIT(overflow_on_other_thread(), ::testing::KilledBySignal(SIGSEGV), "");
}

void raise_in_trap() {
  no_core_dump();
  trapped([] { ::raise(SIGSEGV); });
  std::_Exit(0);
}

TEST_F(TrapDeathTest, FaultSignalSentByRaiseIsNotAFaultOfTheOperation) {
  EXPECT_EXIT(raise_in_trap(), ::testing::KilledBySignal(SIGSEGV), "");
}

void host_handler(int signal, siginfo_t* info, void*) {
  // Only async-signal-safe calls: the signal and the address's low byte, then exit.
  char text[] = "host handler: signal 00 at 00\n";
  text[21] = static_cast<char>('0' + signal / 10);
  text[22] = static_cast<char>('0' + signal % 10);
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  text[27] = "0123456789ABCDEF"[(address >> 4) & 0xF];
  text[28] = "0123456789ABCDEF"[address & 0xF];
  (void)!::write(2, text, sizeof text - 1);
  std::_Exit(42);
}

void install_host_handler(int signal) {
  struct sigaction action {};
  action.sa_sigaction = &host_handler;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
}

void host_handler_then_unarmed_fault() {
  install_host_handler(SIGSEGV);
  install_fault_trap();
  arm_once();  // an armed trap still takes its fault first
  write_to(0x20);
  std::_Exit(0);
}

void host_handler_then_unhandled_code_in_trap() {
  install_host_handler(SIGFPE);
  trapped([] { send_fault_to_self(SIGFPE, FPE_FLTUND, 0x5A); });
  std::_Exit(0);
}

TEST_F(TrapDeathTest, HostHandlerInstalledBeforeOursIsChained) {
  EXPECT_EXIT(host_handler_then_unarmed_fault(), ::testing::ExitedWithCode(42),
              "host handler: signal 11 at 20");
  // Under an armed trap, a code the trap does not handle goes on to the host as well.
  EXPECT_EXIT(host_handler_then_unhandled_code_in_trap(), ::testing::ExitedWithCode(42),
              "host handler: signal 08 at 5A");
}

void ignored_then_real_fault() {
  no_core_dump();
  ::signal(SIGSEGV, SIG_IGN);
  arm_once();
  write_to(address_0x10);
  std::_Exit(0);
}

TEST_F(TrapDeathTest, IgnoredFaultSignalStillKillsOnARealFault) {
  EXPECT_EXIT(ignored_then_real_fault(), ::testing::KilledBySignal(SIGSEGV), "");
}

}  // namespace
}  // namespace paravelle::diag
