#include "diag/trap.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "diag/faults.h"

namespace paravelle::diag {
namespace {

using namespace paravelle::diag::testing;

std::string executable_path() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

std::string hex8(std::uintptr_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

TEST(TrapWindows, WriteToAddress0x10IsAnAccessViolationWithTheReportOfLinux) {
  std::string trapText = "stale", report = "No message";
  EXPECT_FALSE(run_trapped("Trapped SEH Exception in LoadFromFile(): ", trapText, report, false,
                           [] { return fault_at_depth(5) == 0; }));
  EXPECT_EQ(trapText, "Trapped SEH Exception in LoadFromFile(): Access Violation");
  const std::string exe = executable_path();
  EXPECT_TRUE(report.starts_with("Process:  " + exe + "\nModule:  " + exe + "\nDate Modified:  ")) << report;
  EXPECT_THAT(report, ::testing::HasSubstr("\nException Code:  C0000005\nWrite Address:  00000010\nInstruction: "));

  // The first frame is the fault inside write_to, at its offset from the executable's base.
  const auto base = reinterpret_cast<std::uintptr_t>(::GetModuleHandleA(nullptr));
  const std::string first_frame = "\nCall Stack:\n" + hex8(base) + "  " + exe + "\n  +";
  const std::size_t at = report.find(first_frame);
  ASSERT_NE(at, std::string::npos) << report;
  const std::size_t offset_at = at + first_frame.size();
  EXPECT_EQ(report.substr(offset_at + 8, 18), "  Exception Offset") << report;
  const std::uintptr_t pc = base + std::stoul(report.substr(offset_at, 8), nullptr, 16);
  EXPECT_LT(pc - reinterpret_cast<std::uintptr_t>(&write_to), 64u) << report;
  std::string bytes;
  for (int i = 0; i < 16; ++i) bytes += " " + hex8(reinterpret_cast<const unsigned char*>(pc)[i]).substr(6);
  EXPECT_THAT(report, ::testing::HasSubstr("\nInstruction: " + bytes + "\nCall Stack:\n"));
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
    // Last: a jump to an address that is no code: no module, unreadable bytes, no frames.
    // Windows marks an execute fault with 8 in the first parameter, so it reads as a write.
    {[] { jump_to(0x1000); }, "Access Violation",
     "\nException Addr:  00001000\nException Code:  C0000005\nWrite Address:  00001000\n"
     "Instruction:  ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ??\nCall Stack:"},
};

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

TEST(TrapWindows, FaultsOfEachKindInARowWhileOtherThreadsTrapTheirOwn) {
  std::vector<int> trapped_on_thread(2, 0);
  std::vector<std::thread> threads;
  for (int& trapped : trapped_on_thread) {
    threads.emplace_back([&trapped] {
      std::string report;
      trapped = trapped_as_expected(60, report);
    });
  }
  std::string report;
  EXPECT_EQ(trapped_as_expected(1002, report), 1002);        // 167 rounds of the table
  EXPECT_TRUE(report.ends_with("\nCall Stack:")) << report;  // the jump to nowhere came last
  for (std::thread& thread : threads) thread.join();
  EXPECT_THAT(trapped_on_thread, ::testing::Each(60));
}

TEST(TrapWindows, StandardExceptionPassesThroughUnchangedAndRewritesTheReport) {
  std::string trapText = "stale", report = "No message";
  EXPECT_THAT([&] { run_trapped("X: ", trapText, report, [] { throw std::runtime_error("Scene file not found"); }); },
              ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("Scene file not found")));
  EXPECT_EQ(trapText, "");
  EXPECT_TRUE(report.starts_with("Process:  " + executable_path())) << report;
  EXPECT_THAT(report, ::testing::HasSubstr("\nException Addr:  00000000\nException Code:  E06D7363\n"));

  // An exception caught inside the operation is none of the trap's business.
  report = "No message";
  EXPECT_EQ(run_trapped("X: ", trapText, report, 0,
                        [] {
                          try {
                            throw std::logic_error("inner");
                          } catch (const std::logic_error&) {
                          }
                          return 7;
                        }),
            7);
  EXPECT_EQ(report, "No message");
}

TEST(TrapWindows, NestedTrapsEachTakeTheirOwnFaults) {
  std::string outerText = "stale", innerText, outerReport = "No message", innerReport;
  const int outer = run_trapped("outer: ", outerText, outerReport, -1, [&] {
    run_trapped("inner: ", innerText, innerReport, [] { divide(1, zero); });
    return divide(14, 2);
  });
  EXPECT_EQ(outer, 7);
  EXPECT_EQ(outerText, "");
  EXPECT_EQ(outerReport, "No message");
  EXPECT_EQ(innerText, "inner: Integer Divide By Zero");

  // After an exception left the inner trap, the outer one takes the fault.
  run_trapped("outer: ", outerText, outerReport, [&] {
    try {
      run_trapped("inner: ", innerText, innerReport, [] { throw std::logic_error("inner"); });
    } catch (const std::logic_error&) {
    }
    write_to(address_0x10);
  });
  EXPECT_EQ(outerText, "outer: Access Violation");
}

}  // namespace
}  // namespace paravelle::diag
