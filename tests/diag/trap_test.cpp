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
#include <optional>
#include <stdexcept>
#include <string>

#include "diag/faults.h"
#include "host/exceptions.h"
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

  // The first frame is the fault inside write_to, at its offset from this binary's base; the
  // instruction line shows the sixteen bytes there.
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
  char* end = text;
  for (int i = 0; i < 16; ++i) end += std::snprintf(end, 4, " %02X", reinterpret_cast<const unsigned char*>(pc)[i]);
  EXPECT_NE(report.find("\nInstruction: " + std::string(text) + "\nCall Stack:\n"), std::string::npos) << report;

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

TEST(Trap, StandardExceptionPassesThroughUnchangedAndRewritesTheReport) {
  std::string trapText = "stale", report = "No message";
  EXPECT_THAT([&] { run_trapped(kPrefix, trapText, report, [] { throw std::runtime_error("Scene file not found"); }); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("Scene file not found")));
  EXPECT_EQ(trapText, "");
  EXPECT_TRUE(report.starts_with("Process:  /")) << report;
  EXPECT_NE(report.find("\nException Addr:  00000000\nException Code:  E06D7363\n"), std::string::npos) << report;
  // The host's own exceptions pass the same way.
  report.clear();
  EXPECT_THROW(run_trapped("", trapText, report, 0, []() -> int { throw MAXException(L"host says no", 3); }),
               MAXException);
  EXPECT_NE(report.find("E06D7363"), std::string::npos);
}

TEST(Trap, NestedTrapsEachTakeTheirOwnFaultsAndFinishedOnesLeaveTheirReportAlone) {
  struct not_default_constructible {
    explicit not_default_constructible(int v) : value(v) {}
    int value;
  };
  std::string outerText = "stale", innerText, outerReport = "No message", innerReport;
  const auto outer = run_trapped("outer: ", outerText, outerReport, not_default_constructible(-1), [&] {
    run_trapped("inner: ", innerText, innerReport, [] { divide(1, zero); });
    return not_default_constructible(divide(14, 2));
  });
  EXPECT_EQ(outer.value, 7);
  EXPECT_EQ(outerText, "");
  EXPECT_EQ(outerReport, "No message");
  EXPECT_EQ(innerText, "inner: Integer Divide By Zero");
  int calls = 0;  // an operation without a result runs once
  run_trapped("inner: ", innerText, innerReport, [&] { ++calls; });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(innerText, "");

  // After the inner trap finished, and after an exception left it, the outer trap takes the fault.
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
}

// What the C++ runtime knows of exceptions being handled or in flight comes back as it was
// when the trap was armed: a fault inside a catch handler ends that handler (its exception
// is no longer current, and is freed), and one during unwinding is no longer counted.
TEST(Trap, AFaultWhileHandlingAnExceptionLeavesTheRuntimeAsTheTrapFoundIt) {
  struct FaultsWhenDestroyed {
    ~FaultsWhenDestroyed() { write_to(address_0x10); }
  };
  const struct {
    const char* name;
    bool loses_its_exception;  // in flight: after the jump nothing can reach it
    void (*operation)();
  } cases[] = {
      {"fault in a handler", false,
       [] {
         try {
           throw std::runtime_error("being handled");
         } catch (const std::runtime_error&) {
           write_to(address_0x10);
         }
       }},
      {"fault in a nested handler", false,
       [] {
         try {
           throw std::runtime_error("outer");
         } catch (const std::runtime_error&) {
           try {
             throw std::logic_error("inner");
           } catch (const std::logic_error&) {
             divide(1, zero);
           }
         }
       }},
      {"fault in a handler after a rethrow", false,
       [] {
         try {
           try {
             throw std::runtime_error("rethrown");
           } catch (...) {
             throw;
           }
         } catch (const std::runtime_error&) {
           write_to(address_0x10);
         }
       }},
      {"fault while unwinding", true,
       [] {
         FaultsWhenDestroyed in_the_way;
         throw std::runtime_error("in flight");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string trapText, report;
    for (int round = 0; round < 3; ++round) {
      std::optional<paravelle::testing::AbandonedByAFault> abandoned;
      if (c.loses_its_exception) abandoned.emplace();
      run_trapped("", trapText, report, c.operation);
      EXPECT_NE(trapText, "");
      EXPECT_EQ(std::current_exception(), nullptr);
      EXPECT_EQ(std::uncaught_exceptions(), 0);
    }
    // Exceptions still work as before on this thread.
    EXPECT_THROW(run_trapped("", trapText, report, [] { throw std::out_of_range("after"); }), std::out_of_range);
  }

  // A handler that was open when the trap was armed stays open, with its exception.
  try {
    throw std::invalid_argument("handled around the trap");
  } catch (const std::invalid_argument&) {
    std::string trapText, report;
    run_trapped("", trapText, report, cases[0].operation);
    EXPECT_EQ(trapText, "Access Violation");
    EXPECT_THROW(std::rethrow_exception(std::current_exception()), std::invalid_argument);
  }
  EXPECT_EQ(std::current_exception(), nullptr);
}

}  // namespace
}  // namespace paravelle::diag
