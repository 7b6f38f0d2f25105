#include "diag/crash_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace paravelle::diag {
namespace {

// A made-up process: its modules, its readable bytes and its code ranges.
struct fake_probe final : crash_probe {
  struct module {
    std::uintptr_t base, size;
    std::string path;
    civil_date date{};  // year 0: the file's time cannot be read
  };
  std::string executable = "/opt/host/bin/host-app";
  std::vector<module> modules;
  std::map<std::uintptr_t, unsigned char> memory;
  std::vector<std::pair<std::uintptr_t, std::uintptr_t>> code;

  void store(std::uintptr_t at, const void* data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) memory[at + i] = static_cast<const unsigned char*>(data)[i];
  }
  void frame(std::uintptr_t at, std::uintptr_t next, std::uintptr_t return_address) {
    const std::uintptr_t record[2] = {next, return_address};
    store(at, record, sizeof record);
  }
  const module* module_at(std::uintptr_t address) const {
    for (const module& m : modules)
      if (address >= m.base && address < m.base + m.size) return &m;
    return nullptr;
  }
  std::size_t executable_path(char* out, std::size_t capacity) override { return executable.copy(out, capacity); }
  bool find_module(std::uintptr_t address, module_info& info) override {
    const module* m = module_at(address);
    if (m) info = {m->base, m->path.c_str()};
    return m != nullptr;
  }
  bool modified_date(const module_info& info, civil_date& date) override {
    const module* m = module_at(info.base);
    if (m) date = m->date;
    return m && m->date.year != 0;
  }
  bool read_memory(std::uintptr_t address, void* out, std::size_t n) override {
    for (std::size_t i = 0; i < n; ++i) {
      if (!memory.contains(address + i)) return false;
      static_cast<unsigned char*>(out)[i] = memory[address + i];
    }
    return true;
  }
  bool is_code(std::uintptr_t address) override {
    return std::any_of(code.begin(), code.end(), [&](auto r) { return address >= r.first && address < r.second; });
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
  probe.modules = {{0x7F0000400000, 0x10000, "/opt/renderer/librender.so", {3, 7, 2024}},
                   {0x555500000000, 0x8000, "/opt/host/bin/host-app"}};
  probe.code = {{0x7F0000401000, 0x7F0000403000}, {0x555500001000, 0x555500002000}, {0x7F1000000000, 0x7F1000001000}};
  const std::uintptr_t at = 0x7F0000401234;
  for (int i = 0; i < 13; ++i) probe.memory[at + i] = static_cast<unsigned char>(0xC0 + i);
  probe.frame(0x10000, 0x10100, 0x7F0000402000);
  const std::uint32_t words[5] = {1, 2, 0xABC, 0, 0xFFFFFFFF};
  probe.store(0x10010, words, sizeof words);
  probe.frame(0x10100, 0x10200, 0x555500001000);  // its five words are not readable
  probe.frame(0x10200, 0x10300, 0x7F1000000010);  // code outside any module
  probe.frame(0x10300, 0, 0x99);                  // not code: the walk ends

  EXPECT_EQ(report(fault_record{0xC0000005, at, 0x10000, true, 0x10}, probe),
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

}  // namespace
}  // namespace paravelle::diag
