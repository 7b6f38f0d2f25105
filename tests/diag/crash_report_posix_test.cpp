#include "diag/crash_report_posix.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "faults.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

namespace paravelle::diag::posix {
namespace {

class maps_file {
 public:
  explicit maps_file(const std::string& text) {
    char name[] = "/tmp/paravelle-maps-XXXXXX";
    fd_ = ::mkstemp(name);
    ::unlink(name);
    EXPECT_EQ(::write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  ~maps_file() { ::close(fd_); }

  bool find(std::uintptr_t address, mapping_hit& hit, std::string& path) {
    ::lseek(fd_, 0, SEEK_SET);
    auto scratch = std::make_unique<maps_scratch>();
    char buffer[4096];
    const bool found = find_mapping(fd_, address, hit, buffer, sizeof buffer, *scratch);
    path = buffer;
    return found;
  }

 private:
  int fd_ = -1;
};

TEST(CrashReportPosix, MapsListingGivesModulesTheirBaseAndTellsCodeFromData) {
  const std::string long_path = "/" + std::string(6000, 'x');
  maps_file maps(
      "555555554000-555555556000 r--p 00000000 08:01 1234                       /usr/bin/host\n"
      "555555556000-555555558000 r-xp 00002000 08:01 1234                       /usr/bin/host\n"
      "555555558000-555555559000 rw-p 00004000 08:01 1234                       /usr/bin/host\n"
      "555555559000-55555557a000 rw-p 00000000 00:00 0                          [heap]\n"
      "7f0000000000-7f0000001000 r--p 00000000 fd:0a 99                         /lib/libfoo.so (deleted)\n"
      "7f0000001000-7f0000002000 ---p 00001000 fd:0a 99                         /lib/libfoo.so (deleted)\n"
      "7f0000002000-7f0000003000 r-xp 00002000 fd:0a 99                         /lib/libfoo.so (deleted)\n"
      "7f0000003000-7f0000004000 rw-p 00000000 00:00 0 \n"
      "7f0000004000-7f0000005000 r-xp 00000000 00:00 0\n"
      "7f0000005000-7f0000006000 r--p 00000000 08:01 77                         /data/file with spaces.bin\n"
      "7f0000006000-7f0000007000 r--p 00000000 08:01 77                         /data/file with spaces.bin\n"
      "7f0000007000-7f0000008000 r-xp 00001000 08:01 78                         " + long_path + "\n"
      "7f0000008000-7f0000009000 r-xp 00000000 08:01 79                         /lib/after-long-line.so\n"
      "7ffd00000000-7ffd00001000 r-xp 00000000 00:00 0                          [vdso]\n");
  mapping_hit hit;
  std::string path;

  ASSERT_TRUE(maps.find(0x555555557123, hit, path));
  EXPECT_TRUE(hit.executable);
  EXPECT_TRUE(hit.in_module);
  EXPECT_EQ(hit.module_base, 0x555555554000u);
  EXPECT_EQ(path, "/usr/bin/host");

  ASSERT_TRUE(maps.find(0x555555560000, hit, path));
  EXPECT_FALSE(hit.executable);
  EXPECT_FALSE(hit.in_module);

  // A gap mapped from the file keeps the module together; the anonymous .bss after it is
  // nobody's module.
  ASSERT_TRUE(maps.find(0x7F0000002FFF, hit, path));
  EXPECT_EQ(hit.module_base, 0x7F0000000000u);
  EXPECT_EQ(path, "/lib/libfoo.so (deleted)");
  ASSERT_TRUE(maps.find(0x7F0000003000, hit, path));
  EXPECT_FALSE(hit.in_module);
  EXPECT_FALSE(hit.executable);
  ASSERT_TRUE(maps.find(0x7F0000004800, hit, path));
  EXPECT_TRUE(hit.executable);
  EXPECT_FALSE(hit.in_module);

  // A second mapping of a file at offset 0 is another module; names may hold blanks.
  ASSERT_TRUE(maps.find(0x7F0000006010, hit, path));
  EXPECT_EQ(hit.module_base, 0x7F0000006000u);
  EXPECT_EQ(path, "/data/file with spaces.bin");

  // A line longer than the line buffer is cut, and the lines after it still count.
  ASSERT_TRUE(maps.find(0x7F0000007000, hit, path));
  EXPECT_EQ(path.substr(0, 100), long_path.substr(0, 100));
  EXPECT_EQ(path.size(), 4095u);
  ASSERT_TRUE(maps.find(0x7F0000008800, hit, path));
  EXPECT_EQ(path, "/lib/after-long-line.so");
  EXPECT_EQ(hit.module_base, 0x7F0000008000u);

  ASSERT_TRUE(maps.find(0x7FFD00000000, hit, path));
  EXPECT_TRUE(hit.executable);
  EXPECT_FALSE(hit.in_module);

  EXPECT_FALSE(maps.find(0x1000, hit, path));
  EXPECT_FALSE(hit.mapped);
  EXPECT_FALSE(maps.find(0x7F0000009000, hit, path));
  EXPECT_FALSE(maps.find(0xFFFFFFFFFFFF0000, hit, path));
}

class memory_reader : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    prepare_memory_reader();
    use_pipe_memory_reader(GetParam());
  }
  void TearDown() override { use_pipe_memory_reader(false); }
};

TEST_P(memory_reader, ReadsWhatIsReadableAndRefusesTheRestWithoutFaulting) {
  const long page = ::sysconf(_SC_PAGESIZE);
  char* area = static_cast<char*>(::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(area, MAP_FAILED);
  for (long i = 0; i < page; ++i) area[i] = static_cast<char>(i * 7);
  ASSERT_EQ(::mprotect(area + page, page, PROT_NONE), 0);
  const auto base = reinterpret_cast<std::uintptr_t>(area);

  char out[64] = {};
  ASSERT_TRUE(read_own_memory(base + 100, out, sizeof out));
  EXPECT_EQ(std::memcmp(out, area + 100, sizeof out), 0);
  EXPECT_FALSE(read_own_memory(base + page - 8, out, 16));  // runs into the locked page
  EXPECT_FALSE(read_own_memory(base + page, out, 1));
  EXPECT_FALSE(read_own_memory(0, out, 8));
  EXPECT_FALSE(read_own_memory(0x10, out, 1));
  // The refusals leave nothing behind that a later read would pick up.
  ASSERT_TRUE(read_own_memory(base + page - 4, out, 4));
  EXPECT_EQ(std::memcmp(out, area + page - 4, 4), 0);
  ::munmap(area, 2 * page);
}

INSTANTIATE_TEST_SUITE_P(Reader, memory_reader, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pipe" : "ProcessVmReadv"; });

PARAVELLE_OPAQUE int function_in_this_binary(int x) { return x * 3 + 1; }

TEST(CrashReportPosix, ProbeNamesThisBinaryWithItsDateAndKnowsItsCode) {
  auto memory = std::make_unique<posix_crash_probe::scratch>();
  const long offset = current_utc_offset();
  posix_crash_probe probe(*memory, offset);

  char exe[PATH_MAX] = {};
  ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  char path[PATH_MAX];
  const std::size_t length = probe.executable_path(path, sizeof path);
  EXPECT_EQ(std::string(path, length), exe);

  const auto code = reinterpret_cast<std::uintptr_t>(&function_in_this_binary);
  EXPECT_TRUE(probe.is_code(code));
  module_info module;
  ASSERT_TRUE(probe.find_module(code, module));
  EXPECT_STREQ(module.path, exe);
  EXPECT_LE(module.base, code);

  civil_date date;
  ASSERT_TRUE(probe.modified_date(module, date));
  struct stat info;
  ASSERT_EQ(::stat(exe, &info), 0);
  std::tm local{};
  ::localtime_r(&info.st_mtime, &local);
  EXPECT_EQ(date.month, local.tm_mon + 1);
  EXPECT_EQ(date.day, local.tm_mday);
  EXPECT_EQ(date.year, local.tm_year + 1900);

  // Data and the stack are not code; a file that is gone has no date.
  static int data = 0;
  EXPECT_FALSE(probe.is_code(reinterpret_cast<std::uintptr_t>(&data)));
  int local_variable = 0;
  EXPECT_FALSE(probe.is_code(reinterpret_cast<std::uintptr_t>(&local_variable)));
  EXPECT_FALSE(probe.is_code(0));
  module_info gone{0, "/nonexistent/paravelle/module.so"};
  EXPECT_FALSE(probe.modified_date(gone, date));
}

}  // namespace
}  // namespace paravelle::diag::posix
