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
#include <sys/resource.h>
#include <thread>
#include <vector>
#include <stdexcept>
#include <string>

#include "diag/faults.h"
#include "diag/host_call_trap.h"
#include "diag/trap_signals_posix.h"
#include "diag/exception_names.h"
#include "host/maxscript_runtime.h"
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
  // After the inner trap finished, and after an exception left it, the outer trap takes the fault.
  run_trapped("outer: ", outerText, outerReport, [&] {
    run_trapped("inner: ", innerText, innerReport, [] {});
    write_to(address_0x10);
  });
  EXPECT_EQ(outerText, "outer: Access Violation");
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


TEST(TrapSignals, FaultSignalsMapToTheTrappedCodesAndTheirNames) {
  const struct {
    int signal, si_code;  // signal 0: a code no signal maps to
    std::uint32_t code;
    const char* name;
  } table[] = {
      {SIGSEGV, SEGV_MAPERR, 0xC0000005, "Access Violation"},    {SIGSEGV, SI_KERNEL, 0xC0000005, "Access Violation"},
      {SIGBUS, BUS_ADRALN, 0x80000002, "Datatype Misalignment"}, {SIGBUS, BUS_ADRERR, 0xC0000006, "In Page Error"},
      {SIGBUS, BUS_OBJERR, 0xC0000006, "In Page Error"},         {SIGFPE, FPE_INTDIV, 0xC0000094, "Integer Divide By Zero"},
      {SIGFPE, FPE_INTOVF, 0xC0000095, "Integer Overflow"},      {SIGFPE, FPE_FLTDIV, 0xC000008E, "Float Divide By Zero"},
      {SIGFPE, FPE_FLTOVF, 0xC0000091, "Float Overflow"},        {SIGFPE, FPE_FLTRES, 0xC000008F, "Float Inexact Result"},
      {SIGFPE, FPE_FLTINV, 0xC0000090, "Float Invalid Operation"},
      {SIGFPE, FPE_FLTSUB, 0xC000008C, "Array Bounds Exceeded"},
      {SIGILL, ILL_PRVOPC, 0xC0000096, "Privileged Instruction"}, {SIGILL, ILL_PRVREG, 0xC0000096, "Privileged Instruction"},
      {SIGILL, ILL_ILLOPC, 0xC000001D, "Illegal Instruction"},   {SIGILL, ILL_BADSTK, 0xC000001D, "Illegal Instruction"},
      {0, 0, 0xC000008D, "Float Denormal Operand"},              {0, 0, 0xC0000092, "Float Stack Check"},
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
  // A stack overflow is a fault in the guard area or below the stack pointer.
  constexpr std::uintptr_t MiB = 1 << 20, low = 100 * MiB, sp = 104 * MiB;
  const posix::stack_bounds stack{low, 108 * MiB, 4096};
  for (const auto& [address, pointer, overflow] :
       {std::tuple{low - 8, sp, true}, {low - MiB + 16, sp, true}, {low + 4096, sp, true}, {sp - 8, sp, true},
        {low + 8, low + 16, true}, {std::uintptr_t{0x10}, sp, false}, {low - 2 * MiB, sp, false}, {sp + 64, sp, false},
        {200 * MiB, sp, false}})
    EXPECT_EQ(posix::is_stack_overflow(address, pointer, stack), overflow) << address;
  EXPECT_FALSE(posix::is_stack_overflow(low - 8, sp, posix::stack_bounds{}));  // unknown bounds
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
  for (const auto& [body, signal] : cases)
    EXPECT_EXIT(child(body), paravelle::testing::killed_by_fault(signal), "");
  EXPECT_EXIT(child([] { install_host_handler(SIGSEGV), install_fault_trap(), arm_once(), write_to(0x23); }),
              ::testing::ExitedWithCode(SIGSEGV * 16 + 3), "");
  EXPECT_EXIT(child([] {
                install_host_handler(SIGFPE);
                trapped([] { send_fault_to_self(SIGFPE, FPE_FLTUND, 0x5A); });
              }),
              ::testing::ExitedWithCode(SIGFPE * 16 + 0xA), "")
      << "under an armed trap, a code it does not handle goes on to the host";
}

// Overwrites the stack below the caller, where trapped operations had their frames.
PARAVELLE_OPAQUE void scribble_below() {
  volatile char junk[256 * 1024];
  for (volatile char& c : junk) c = 0x5A;
}

// A fault in the middle of a script abandons its scopes, rooted temporaries, value and
// allocation frames and its output stream; none of them may outlive the trap, or the next
// collection reads the dead stack and the next print writes to it.
TEST(HostCallTrap, AFaultInsideAScriptLeavesNothingOfItsFramesToTheScriptRuntime) {
  static Primitive fault_now(L"faultNow", [](const std::vector<Value*>&) -> Value* { return write_to(address_0x10), &ok; });
  globals->set(L"faultNow", &fault_now);
  host::script::collect_garbage();
  const std::size_t baseline = host::script::live_value_count();
  CharStream* const output = thread_local_current_stdout();
  std::string trapText, report;
  std::optional<paravelle::testing::AbandonedByAFault> abandoned(std::in_place);  // the texts the frames held
  run_trapped_host_call("X: ", trapText, report, [] {
    ScopedValueTempArray frame(1);
    frame[0] = new String(L"held by an abandoned frame");
    push_alloc_frame();
    StringStream redirected;
    thread_local_current_stdout() = &redirected;
    host::script::run_text(
        L"(local a = \"x\"; for i = 1 to 3 do (local b = #(i); try (throw \"e\") catch (a + faultNow())))");
  });
  abandoned.reset();
  EXPECT_EQ(trapText, "X: Access Violation");
  scribble_below();
  EXPECT_EQ(thread_local_current_stdout(), output);
  new String(L"made after the trap");
  host::script::collect_garbage();
  EXPECT_LE(host::script::live_value_count(), baseline) << "nothing of the abandoned frames keeps values alive";
  EXPECT_STREQ(host::script::evaluate_text(L"(local c = 0; for i = 1 to 20000 do c = c + 1; c) as string")->to_string(),
               L"20000");
  EXPECT_STREQ(host::script::evaluate_text(L"getCurrentException()")->to_string(), L"undefined");
  globals->remove(Name::intern(L"faultNow"));
}

}  // namespace
}  // namespace paravelle::diag
