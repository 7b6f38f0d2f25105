#include "diag/trap.h"

#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cfenv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "diag/crash_report.h"
#include "diag/faults.h"
#include "host/exceptions.h"

namespace paravelle::diag {
namespace {

using namespace paravelle::diag::testing;

constexpr const char* kPrefix = "Trapped SEH Exception in LoadFromFile(): ";

std::string executable_path() {
  char path[PATH_MAX] = {};
  EXPECT_GT(::readlink("/proc/self/exe", path, sizeof path - 1), 0);
  return path;
}

std::uintptr_t executable_base() {
  std::uintptr_t base = 0;
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* out) {
        std::uintptr_t lowest = UINTPTR_MAX;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_vaddr < lowest) lowest = info->dlpi_phdr[i].p_vaddr;
        }
        const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        *static_cast<std::uintptr_t*>(out) = (info->dlpi_addr + lowest) & ~(page - 1);
        return 1;  // the first entry is the program itself
      },
      &base);
  return base;
}

std::string hex8(std::uintptr_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value & 0xFFFFFFFF));
  return text;
}

std::string line_after(const std::string& report, const std::string& label) {
  const std::size_t at = report.find("\n" + label);
  if (at == std::string::npos) return {};
  const std::size_t start = at + 1 + label.size();
  return report.substr(start, report.find('\n', start) - start);
}

TEST(Trap, WriteToAddress0x10IsAnAccessViolationWithAFullReport) {
  std::string trapText = "stale";
  std::string report = "No message";
  const bool result = run_trapped(kPrefix, trapText, report, false, [] {
    write_to(address_0x10);
    return true;
  });
  EXPECT_FALSE(result);
  EXPECT_EQ(trapText, "Trapped SEH Exception in LoadFromFile(): Access Violation");

  const std::string exe = executable_path();
  EXPECT_TRUE(report.starts_with("Process:  " + exe + "\nModule:  " + exe + "\nDate Modified:  ")) << report;
  EXPECT_EQ(line_after(report, "Exception Code:  "), "C0000005");
  EXPECT_EQ(line_after(report, "Write Address:  "), "00000010");
  EXPECT_EQ(report.find("Exception Addr"), std::string::npos);
  EXPECT_LE(report.size(), crash_report_capacity - 1);

  // The first frame is the fault itself, inside write_to, named by its offset in this binary.
  const std::uintptr_t base = executable_base();
  const std::string first_frame = "\nCall Stack:\n" + hex8(base) + "  " + exe + "\n  +";
  const std::size_t frame_at = report.find(first_frame);
  ASSERT_NE(frame_at, std::string::npos) << report;
  const std::string offset_line = report.substr(frame_at + first_frame.size(), 8 + 18);
  EXPECT_EQ(offset_line.substr(8), "  Exception Offset") << report;
  const std::uintptr_t fault_pc = base + std::stoul(offset_line.substr(0, 8), nullptr, 16);
  const auto function = reinterpret_cast<std::uintptr_t>(&write_to);
  EXPECT_GE(fault_pc, function);
  EXPECT_LT(fault_pc, function + 64);

  // The instruction line shows the sixteen bytes at the faulting instruction.
  std::string bytes;
  for (int i = 0; i < 16; ++i) {
    char byte[8];
    std::snprintf(byte, sizeof byte, " %02X", reinterpret_cast<const unsigned char*>(fault_pc)[i]);
    bytes += byte;
  }
  EXPECT_EQ(line_after(report, "Instruction: "), bytes);

  // The frames above name this binary with offsets and the five words of each record.
  EXPECT_NE(report.find(")\n"), std::string::npos) << report;
}

TEST(Trap, ReadOfNullIsAReadAccessViolation) {
  std::string trapText, report;
  const int value = run_trapped(kPrefix, trapText, report, -7, [] { return read_from(address_null); });
  EXPECT_EQ(value, -7);
  EXPECT_EQ(trapText, std::string(kPrefix) + "Access Violation");
  EXPECT_EQ(line_after(report, "Read Address:  "), "00000000") << report;
}

TEST(Trap, IntegerDivisionByZeroReturnsThePresetResult) {
  std::string trapText, report;
  // The render wrapper's shape: a 16-bit result, 1 when trapped.
  const unsigned short result = run_trapped("Trapped SEH Exception in RenderFrame(): ", trapText, report, 1,
                                            []() -> unsigned short { return static_cast<unsigned short>(divide(10, zero)); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(trapText, "Trapped SEH Exception in RenderFrame(): Integer Divide By Zero");
  EXPECT_EQ(line_after(report, "Exception Code:  "), "C0000094");
  EXPECT_EQ(report.find("Address:  "), std::string::npos) << report;  // not an access violation
}

TEST(Trap, FinishedOperationReturnsItsResultAndLeavesTheReportAlone) {
  std::string trapText = "stale", report = "No message";
  EXPECT_EQ(run_trapped(kPrefix, trapText, report, 0, [] { return divide(10, 2); }), 5);
  EXPECT_EQ(trapText, "");
  EXPECT_EQ(report, "No message");

  int calls = 0;
  run_trapped("Trapped SEH Exception in EndJob(): ", trapText, report, [&] { ++calls; });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(trapText, "");

  run_trapped("Trapped SEH Exception in EndJob(): ", trapText, report, [] { write_to(address_0x10); });
  EXPECT_EQ(trapText, "Trapped SEH Exception in EndJob(): Access Violation");

  // Results that are not default-constructible come back too.
  struct only_from_int {
    explicit only_from_int(int v) : value(v) {}
    int value;
  };
  const only_from_int made = run_trapped(kPrefix, trapText, report, only_from_int(0), [] { return only_from_int(4); });
  EXPECT_EQ(made.value, 4);
}

TEST(Trap, UnboundedRecursionIsAStackOverflow) {
  std::string trapText, report;
  const bool result = run_trapped("SEH Exception trapped in 3ds max: ", trapText, report, false, [] {
    recurse_forever(0);
    return true;
  });
  EXPECT_FALSE(result);
  EXPECT_EQ(trapText, "SEH Exception trapped in 3ds max: Stack Overflow");
  EXPECT_EQ(line_after(report, "Exception Code:  "), "C00000FD");
  // The walk runs down the recursion and stops at twenty frames.
  std::size_t frames = 0;
  for (std::size_t at = report.find("\n  +"); at != std::string::npos; at = report.find("\n  +", at + 1)) ++frames;
  EXPECT_EQ(frames, 20u) << report;

  // The thread's stack is whole again: the same overflow is trapped a second time.
  run_trapped("", trapText, report, [] { recurse_forever(0); });
  EXPECT_EQ(trapText, "Stack Overflow");
}

TEST(Trap, StackOverflowOnAThreadWithASmallStack) {
  std::string trapText, report;
  pthread_attr_t attributes;
  ::pthread_attr_init(&attributes);
  ::pthread_attr_setstacksize(&attributes, 256 * 1024);
  struct context {
    std::string* trapText;
    std::string* report;
  } c{&trapText, &report};
  pthread_t thread;
  ASSERT_EQ(::pthread_create(
                &thread, &attributes,
                [](void* p) -> void* {
                  auto* c = static_cast<context*>(p);
                  for (int i = 0; i < 3; ++i) run_trapped("", *c->trapText, *c->report, [] { recurse_forever(0); });
                  return nullptr;
                },
                &c),
            0);
  ::pthread_join(thread, nullptr);
  ::pthread_attr_destroy(&attributes);
  EXPECT_EQ(trapText, "Stack Overflow");
  EXPECT_TRUE(report.starts_with("Process:  ")) << report;
}

TEST(Trap, CallStackIsCutAfterTheTwentiethFrame) {
  std::string trapText, report;
  run_trapped(kPrefix, trapText, report, [] { fault_at_depth(40); });
  ASSERT_EQ(trapText, std::string(kPrefix) + "Access Violation");
  const std::string stack = report.substr(report.find("\nCall Stack:"));
  std::size_t frames = 0, lines = 0;
  for (std::size_t at = stack.find("\n  +"); at != std::string::npos; at = stack.find("\n  +", at + 1)) ++frames;
  for (char c : stack) lines += c == '\n' ? 1 : 0;
  EXPECT_EQ(frames, 20u) << report;
  EXPECT_EQ(lines, 1u + 40u) << report;  // "Call Stack:" and two lines per frame
}

TEST(Trap, JumpToNowhereShowsUnreadableBytesAndNoModule) {
  std::string trapText, report;
  run_trapped(kPrefix, trapText, report, [] { jump_to(0x1000); });
  EXPECT_EQ(trapText, std::string(kPrefix) + "Access Violation");
  EXPECT_EQ(line_after(report, "Exception Addr:  "), "00001000") << report;
  EXPECT_EQ(line_after(report, "Read Address:  "), "00001000") << report;
  EXPECT_EQ(line_after(report, "Instruction: "), " ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ??");
  EXPECT_TRUE(report.ends_with("\nCall Stack:")) << report;
}

TEST(Trap, IllegalInstructionAndInPageError) {
  std::string trapText, report;
  run_trapped("", trapText, report, [] { illegal_instruction(); });
  EXPECT_EQ(trapText, "Illegal Instruction");
  EXPECT_EQ(line_after(report, "Exception Code:  "), "C000001D");

  // Reading a mapped page beyond the end of its file is SIGBUS.
  char name[] = "/tmp/paravelle-bus-XXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  ::unlink(name);
  void* page = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
  ASSERT_NE(page, MAP_FAILED);
  const auto address = reinterpret_cast<std::uintptr_t>(page);
  run_trapped("", trapText, report, [&] { read_from(address); });
  EXPECT_EQ(trapText, "In Page Error");
  EXPECT_EQ(line_after(report, "Exception Code:  "), "C0000006");
  ::munmap(page, 4096);
  ::close(fd);
}

TEST(Trap, EverySignalCodeOfTheTableIsTrappedUnderItsName) {
  const struct {
    int signal, code;
    const char* name;
  } cases[] = {
      {SIGFPE, FPE_INTDIV, "Integer Divide By Zero"}, {SIGFPE, FPE_INTOVF, "Integer Overflow"},
      {SIGFPE, FPE_FLTDIV, "Float Divide By Zero"},   {SIGFPE, FPE_FLTOVF, "Float Overflow"},
      {SIGFPE, FPE_FLTRES, "Float Inexact Result"},   {SIGFPE, FPE_FLTINV, "Float Invalid Operation"},
      {SIGFPE, FPE_FLTSUB, "Array Bounds Exceeded"},  {SIGBUS, BUS_ADRALN, "Datatype Misalignment"},
      {SIGBUS, BUS_ADRERR, "In Page Error"},          {SIGILL, ILL_PRVOPC, "Privileged Instruction"},
      {SIGILL, ILL_PRVREG, "Privileged Instruction"}, {SIGILL, ILL_ILLOPC, "Illegal Instruction"},
      {SIGSEGV, SEGV_ACCERR, "Access Violation"},
  };
  for (const auto& c : cases) {
    std::string trapText, report;
    run_trapped("X: ", trapText, report, [&] { send_fault_to_self(c.signal, c.code); });
    EXPECT_EQ(trapText, std::string("X: ") + c.name) << c.signal << "/" << c.code;
  }
}

TEST(Trap, RealFloatDivisionByZeroAndTheFloatEnvironmentComesBack) {
  ASSERT_EQ(std::fesetround(FE_UPWARD), 0);
  std::string trapText, report;
  run_trapped("", trapText, report, [] {
    ::feenableexcept(FE_DIVBYZERO);
    volatile double one = 1.0, nothing = 0.0;
    volatile double result = one / nothing;
    (void)result;
  });
  EXPECT_EQ(trapText, "Float Divide By Zero");
  EXPECT_EQ(line_after(report, "Exception Code:  "), "C000008E");
  // The environment is the one the trap was armed with: rounding kept, exceptions masked.
  EXPECT_EQ(std::fegetround(), FE_UPWARD);
  EXPECT_EQ(::fegetexcept(), 0);
  std::fesetround(FE_TONEAREST);
}

TEST(Trap, StandardExceptionPassesThroughUnchangedAndRewritesTheReport) {
  std::string trapText = "stale", report = "No message";
  try {
    run_trapped("Trapped SEH Exception in StartJob(): ", trapText, report,
                [] { throw std::runtime_error("Scene file not found"); });
    FAIL() << "the exception did not pass";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Scene file not found");
  }
  EXPECT_EQ(trapText, "");
  EXPECT_TRUE(report.starts_with("Process:  " + executable_path() + "\n")) << report;
  EXPECT_NE(report.find("\nException Addr:  00000000\nException Code:  E06D7363\n"), std::string::npos) << report;

  // The host's own exceptions pass the same way; the trap is disarmed after them.
  report.clear();
  EXPECT_THROW(run_trapped("", trapText, report, 0, []() -> int { throw MAXException(L"host says no", 3); }),
               MAXException);
  EXPECT_NE(report.find("E06D7363"), std::string::npos);
  run_trapped("", trapText, report, [] { write_to(address_0x10); });
  EXPECT_EQ(trapText, "Access Violation");
}

TEST(Trap, AThousandFaultsInARowAreEachTrapped) {
  const struct {
    void (*fault)();
    const char* name;
  } faults[] = {
      {[] { write_to(address_0x10); }, "Access Violation"},
      {[] { divide(1, zero); }, "Integer Divide By Zero"},
      {[] { illegal_instruction(); }, "Illegal Instruction"},
      {[] { (void)read_from(address_null); }, "Access Violation"},
  };
  std::string trapText, report;
  int trapped = 0;
  for (int i = 0; i < 1000; ++i) {
    const auto& f = faults[i % 4];
    run_trapped("", trapText, report, f.fault);
    if (trapText == f.name && report.starts_with("Process:  ")) ++trapped;
  }
  EXPECT_EQ(trapped, 1000);

  // Nothing is left blocked, and the signal stack is not in use.
  sigset_t mask;
  ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) EXPECT_FALSE(sigismember(&mask, s)) << s;
  stack_t alt{};
  ASSERT_EQ(::sigaltstack(nullptr, &alt), 0);
  EXPECT_EQ(alt.ss_flags & (SS_ONSTACK | SS_DISABLE), 0);
  EXPECT_GE(alt.ss_size, 32u * 1024);
}

TEST(Trap, NestedTrapsEachTakeTheirOwnFaults) {
  std::string outerText, innerText, outerReport, innerReport;
  std::vector<std::string> seen;

  // The inner trap takes its fault; the outer operation goes on and finishes.
  const int outer = run_trapped("outer: ", outerText, outerReport, -1, [&] {
    run_trapped("inner: ", innerText, innerReport, [] { divide(1, zero); });
    seen.push_back(innerText);
    return 7;
  });
  EXPECT_EQ(outer, 7);
  EXPECT_EQ(outerText, "");
  EXPECT_EQ(seen, std::vector<std::string>{"inner: Integer Divide By Zero"});
  EXPECT_TRUE(outerReport.empty());

  // After the inner trap finished, and after an exception left it, a fault in the outer
  // operation belongs to the outer trap.
  run_trapped("outer: ", outerText, outerReport, [&] {
    run_trapped("inner: ", innerText, innerReport, [] {});
    write_to(address_0x10);
  });
  EXPECT_EQ(outerText, "outer: Access Violation");
  run_trapped("outer: ", outerText, outerReport, [&] {
    try {
      run_trapped("inner: ", innerText, innerReport, [] { throw std::logic_error("inner"); });
    } catch (const std::logic_error&) {
    }
    divide(1, zero);
  });
  EXPECT_EQ(outerText, "outer: Integer Divide By Zero");
  EXPECT_NE(innerReport.find("E06D7363"), std::string::npos);
}

TEST(Trap, ThreadsTrapTheirOwnFaultsAtTheSameTime) {
  constexpr int kThreads = 4;
  std::vector<std::string> texts(kThreads), reports(kThreads);
  std::vector<int> trapped(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        if (t % 2 == 0) {
          run_trapped("", texts[t], reports[t], [] { write_to(address_0x10); });
          trapped[t] += texts[t] == "Access Violation" && reports[t].find("Write Address:  00000010") != std::string::npos;
        } else {
          run_trapped("", texts[t], reports[t], [] { divide(3, zero); });
          trapped[t] += texts[t] == "Integer Divide By Zero" && reports[t].find("C0000094") != std::string::npos;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(trapped[t], 200) << t;
}

}  // namespace
}  // namespace paravelle::diag
