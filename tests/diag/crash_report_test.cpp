#include "diag/crash_report.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace paravelle::diag {
namespace {

// A made-up process: its modules, its readable memory and its code ranges.
class fake_probe final : public crash_probe {
 public:
  struct module {
    std::uintptr_t base, size;
    std::string path;
    bool dated;
    civil_date date;
  };

  std::string executable = "/opt/host/bin/host-app";
  std::vector<module> modules;
  std::map<std::uintptr_t, unsigned char> memory;
  std::vector<std::pair<std::uintptr_t, std::uintptr_t>> code;

  void store(std::uintptr_t address, const void* data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) memory[address + i] = static_cast<const unsigned char*>(data)[i];
  }
  void frame(std::uintptr_t at, std::uintptr_t next, std::uintptr_t return_address) {
    const std::uintptr_t record[2] = {next, return_address};
    store(at, record, sizeof record);
  }

  std::size_t executable_path(char* out, std::size_t capacity) override {
    const std::size_t n = std::min(capacity, executable.size());
    std::memcpy(out, executable.data(), n);
    return n;
  }
  bool find_module(std::uintptr_t address, module_info& info) override {
    for (const module& m : modules) {
      if (address >= m.base && address < m.base + m.size) {
        info.base = m.base;
        info.path = m.path.c_str();
        return true;
      }
    }
    return false;
  }
  bool modified_date(const module_info& info, civil_date& date) override {
    for (const module& m : modules) {
      if (m.path == info.path && m.dated) {
        date = m.date;
        return true;
      }
    }
    return false;
  }
  bool read_memory(std::uintptr_t address, void* out, std::size_t n) override {
    for (std::size_t i = 0; i < n; ++i) {
      auto it = memory.find(address + i);
      if (it == memory.end()) return false;
      static_cast<unsigned char*>(out)[i] = it->second;
    }
    return true;
  }
  bool is_code(std::uintptr_t address) override {
    for (const auto& [low, high] : code) {
      if (address >= low && address < high) return true;
    }
    return false;
  }
};

std::string report(const fault_record& fault, crash_probe& probe) {
  char buffer[crash_report_capacity];
  const std::size_t length = write_crash_report(fault, probe, buffer, sizeof buffer);
  EXPECT_EQ(std::strlen(buffer), length);
  return std::string(buffer, length);
}

TEST(CrashReport, AccessViolationInAModuleWithItsWholeCallStack) {
  fake_probe probe;
  probe.modules = {{0x7F0000400000, 0x10000, "/opt/renderer/librender.so", true, {3, 7, 2024}},
                   {0x555500000000, 0x8000, "/opt/host/bin/host-app", false, {}}};
  probe.code = {{0x7F0000401000, 0x7F0000403000}, {0x555500001000, 0x555500002000},
                {0x7F1000000000, 0x7F1000001000}};
  const std::uintptr_t at = 0x7F0000401234;
  for (int i = 0; i < 13; ++i) probe.memory[at + i] = static_cast<unsigned char>(0xC0 + i);

  probe.frame(0x10000, 0x10100, 0x7F0000402000);
  const std::uint32_t words[5] = {1, 2, 0xABC, 0, 0xFFFFFFFF};
  probe.store(0x10010, words, sizeof words);
  probe.frame(0x10100, 0x10200, 0x555500001000);  // its five words are not readable
  probe.frame(0x10200, 0x10300, 0x7F1000000010);  // code outside any module
  probe.frame(0x10300, 0, 0x99);                  // not code: the walk ends

  fault_record fault{0xC0000005, at, 0x10000, true, 0x10};
  EXPECT_EQ(report(fault, probe),
            "Process:  /opt/host/bin/host-app\n"
            "Module:  /opt/renderer/librender.so\n"
            "Date Modified:  03/07/2024\n"
            "Exception Code:  C0000005\n"
            "Write Address:  00000010\n"
            "Instruction:  C0 C1 C2 C3 C4 C5 C6 C7 C8 C9 CA CB CC ?? ?? ??\n"
            "Call Stack:\n"
            "00400000  /opt/renderer/librender.so\n"
            "  +00001234  Exception Offset\n"
            "00400000  /opt/renderer/librender.so\n"
            "  +00002000  (1, 2, ABC, 0, FFFFFFFF)\n"
            "00000000  /opt/host/bin/host-app\n"
            "  +00001000\n"
            "00000010");
}

TEST(CrashReport, WithoutAModuleTheAddressIsShownAndOnlyAccessViolationsHaveTheAccessLine) {
  fake_probe probe;
  probe.modules = {{0x400000, 0x1000, "/undated.so", false, {}}};
  probe.code = {{0x400000, 0x401000}};
  fault_record divide{0xC0000094, 0x12345678ABCDEF01, 0, true, 0x10};
  EXPECT_EQ(report(divide, probe),
            "Process:  /opt/host/bin/host-app\n"
            "Exception Addr:  ABCDEF01\n"
            "Exception Code:  C0000094\n"
            "Instruction:  ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ??\n"
            "Call Stack:");

  fault_record read{0xC0000005, 0x400010, 0, false, 0};
  const std::string text = report(read, probe);
  EXPECT_NE(text.find("\nModule:  /undated.so\nException Code:  C0000005\nRead Address:  00000000\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("Date Modified"), std::string::npos);
  EXPECT_NE(text.find("\nCall Stack:\n00400000  /undated.so\n  +00000010  Exception Offset"),
            std::string::npos)
      << text;
}

TEST(CrashReport, ThrownExceptionReportHasNoAddressNoBytesNoStack) {
  fake_probe probe;
  probe.code = {{0x400000, 0x401000}};
  EXPECT_EQ(report(fault_record{0xE06D7363}, probe),
            "Process:  /opt/host/bin/host-app\n"
            "Exception Addr:  00000000\n"
            "Exception Code:  E06D7363\n"
            "Instruction:  ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ??\n"
            "Call Stack:");
}

TEST(CrashReport, CallStackIsCutAfterTheTwentiethFrame) {
  fake_probe probe;
  probe.modules = {{0x400000, 0x1000, "/m.so", false, {}}};
  probe.code = {{0x400000, 0x401000}};
  // A chain of 30 records, then a loop back onto itself: either way 20 frames at most.
  for (std::uintptr_t i = 0; i < 30; ++i) probe.frame(0x9000 + i * 0x100, 0x9000 + (i + 1) * 0x100, 0x400100 + i);
  probe.frame(0x9000 + 30 * 0x100, 0x9000 + 30 * 0x100, 0x400500);
  const std::string text = report(fault_record{0xC0000094, 0x400050, 0x9000}, probe);
  const std::string stack = text.substr(text.find("Call Stack:"));
  std::size_t frames = 0;
  for (std::size_t at = stack.find("\n  +"); at != std::string::npos; at = stack.find("\n  +", at + 1)) ++frames;
  EXPECT_EQ(frames, 20u) << text;
  // The last frame shown is the 19th record's (frame 0 is the fault); its words are not
  // readable, so its line ends after the offset.
  EXPECT_TRUE(stack.ends_with("\n00400000  /m.so\n  +00000112")) << text;
  EXPECT_EQ(stack.find("+00000113"), std::string::npos) << text;
}

TEST(CrashReport, PathsAreCutTo259Characters) {
  fake_probe probe;
  probe.executable = "/" + std::string(400, 'e');
  probe.modules = {{0x400000, 0x1000, "/" + std::string(400, 'm'), false, {}}};
  const std::string text = report(fault_record{0xC0000094, 0x400000}, probe);
  EXPECT_EQ(text.substr(0, text.find('\n')), "Process:  /" + std::string(258, 'e'));
  EXPECT_NE(text.find("\nModule:  /" + std::string(258, 'm') + "\n"), std::string::npos);
}

TEST(CrashReport, WriterCutsAtItsCapacityAndKeepsTheTerminator) {
  char buffer[10];
  std::memset(buffer, 'x', sizeof buffer);
  report_writer out(buffer, sizeof buffer);
  out.text("Process:  ").hex(0xDEADBEEF, 8);
  EXPECT_EQ(out.length(), 9u);
  EXPECT_STREQ(buffer, "Process: ");

  char number[64];
  report_writer digits(number, sizeof number);
  digits.hex(0x1234567890ABCDEFull, 8).text(" ").hex(0xA).text(" ").hex(7, 2).text(" ");
  digits.decimal(5, 2).text(" ").decimal(2024).text(" ").decimal(-3).text(" ").decimal(0);
  EXPECT_STREQ(number, "90ABCDEF A 07 05 2024 -3 0");
}

TEST(CrashReport, CivilDateFromSeconds) {
  auto text = [](std::int64_t seconds) {
    const civil_date d = civil_date_from_seconds(seconds);
    return std::to_string(d.month) + "/" + std::to_string(d.day) + "/" + std::to_string(d.year);
  };
  EXPECT_EQ(text(0), "1/1/1970");
  EXPECT_EQ(text(-1), "12/31/1969");
  EXPECT_EQ(text(951782400), "2/29/2000");
  EXPECT_EQ(text(951868799), "2/29/2000");
  EXPECT_EQ(text(951868800), "3/1/2000");
  EXPECT_EQ(text(1709769600 + 86399), "3/7/2024");
  EXPECT_EQ(text(4102444800), "1/1/2100");
}

}  // namespace
}  // namespace paravelle::diag
