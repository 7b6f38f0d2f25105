// What the trap leaves alone: faults it does not take end the process as they would without
// the plug-in, or reach the host's own handler. Each case runs in a child process.

#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <cfenv>
#include <cstdlib>
#include <string>
#include <thread>

#include "diag/faults.h"
#include "diag/trap.h"
#include "support/sanitizers.h"

namespace paravelle::diag {
namespace {

using namespace paravelle::diag::testing;

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

TEST(TrapDeathTest, FaultsTheTrapDoesNotTakeKillTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct {
    void (*body)();
    int signal;
  } cases[] = {
      // Float underflow is no trapped code; a signal sent by raise() is no fault of the operation.
      {[] {
         trapped([] {
           ::feenableexcept(FE_UNDERFLOW);
           multiply(1e-300, 1e-300);
         });
       },
       SIGFPE},
      {[] { trapped([] { ::raise(SIGSEGV); }); }, SIGSEGV},
      // A thread that never armed a trap: a fault, and a stack overflow without our signal stack.
      {[] {
         arm_once();
         std::thread([] { write_to(address_0x10); }).join();
       },
       SIGSEGV},
      {[] {
         arm_once();
         std::thread([] { recurse_forever(); }).join();
       },
       SIGSEGV},
      // After the trap returned; and with the signal ignored, a real fault still kills.
      {[] {
         arm_once();
         write_to(address_0x10);
       },
       SIGSEGV},
      {[] {
         ::signal(SIGSEGV, SIG_IGN);
         arm_once();
         write_to(address_0x10);
       },
       SIGSEGV},
  };
  for (const auto& c : cases) {
    EXPECT_EXIT(child(c.body), paravelle::testing::killed_by_fault(c.signal), "");
  }
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

TEST(TrapDeathTest, HostHandlerInstalledBeforeOursIsChained) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // An armed trap still takes its own fault first; the fault after it goes to the host.
  const auto unarmed_fault = [] {
    install_host_handler(SIGSEGV);
    install_fault_trap();
    arm_once();
    write_to(0x23);
  };
  EXPECT_EXIT(child(unarmed_fault), ::testing::ExitedWithCode(SIGSEGV * 16 + 3), "");
  // Under an armed trap, a code the trap does not handle goes on to the host as well.
  const auto unhandled_code = [] {
    install_host_handler(SIGFPE);
    trapped([] { send_fault_to_self(SIGFPE, FPE_FLTUND, 0x5A); });
  };
  EXPECT_EXIT(child(unhandled_code), ::testing::ExitedWithCode(SIGFPE * 16 + 0xA), "");
}

}  // namespace
}  // namespace paravelle::diag
