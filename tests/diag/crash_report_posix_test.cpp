#include "diag/crash_report_posix.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <tuple>

namespace paravelle::diag::posix {
namespace {

TEST(CrashReportPosix, MapsListingGivesModulesTheirBaseAndTellsCodeFromData) {
  const std::string long_path = "/" + std::string(6000, 'x');
  const std::string text = "555555554000-555555556000 r--p 00000000 08:01 1234     /usr/bin/host\n"
                           "555555556000-555555558000 r-xp 00002000 08:01 1234     /usr/bin/host\n"
                           "555555558000-555555559000 rw-p 00004000 08:01 1234     /usr/bin/host\n"
                           "555555559000-55555557a000 rw-p 00000000 00:00 0        [heap]\n"
                           "7f0000000000-7f0000001000 r--p 00000000 fd:0a 99       /lib/libfoo.so (deleted)\n"
                           "7f0000001000-7f0000002000 ---p 00001000 fd:0a 99       /lib/libfoo.so (deleted)\n"
                           "7f0000002000-7f0000003000 r-xp 00002000 fd:0a 99       /lib/libfoo.so (deleted)\n"
                           "7f0000003000-7f0000004000 rw-p 00000000 00:00 0 \n"
                           "7f0000004000-7f0000005000 r-xp 00000000 00:00 0\n"
                           "7f0000005000-7f0000006000 r--p 00000000 08:01 77       /data/file with spaces.bin\n"
                           "7f0000006000-7f0000007000 r--p 00000000 08:01 77       /data/file with spaces.bin\n"
                           "7f0000007000-7f0000008000 r-xp 00001000 08:01 78       " +
                           long_path +
                           "\n"
                           "7f0000008000-7f0000009000 r-xp 00000000 08:01 79       /lib/after-long-line.so\n"
                           "7ffd00000000-7ffd00001000 r-xp 00000000 00:00 0        [vdso]\n";
  char name[] = "/tmp/paravelle-maps-XXXXXX";
  const int fd = ::mkstemp(name);
  ::unlink(name);
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  auto scratch = std::make_unique<maps_scratch>();
  const struct {
    std::uintptr_t address;
    bool mapped, executable, in_module;
    std::uintptr_t base;  // 0: not checked
    std::string path;
  } cases[] = {
      {0x555555557123, true, true, true, 0x555555554000, "/usr/bin/host"},
      // A gap mapped from the file keeps the module together; the anonymous .bss after it does not.
      {0x7F0000002FFF, true, true, true, 0x7F0000000000, "/lib/libfoo.so (deleted)"},
      {0x7F0000003000, true, false, false, 0, ""},
      // A second mapping of a file at offset 0 is another module; names may hold blanks.
      {0x7F0000006010, true, false, true, 0x7F0000006000, "/data/file with spaces.bin"},
      // A line longer than the line buffer is cut; the lines after it still count.
      {0x7F0000007000, true, true, true, 0, long_path.substr(0, 4095)},
      {0x7F0000008800, true, true, true, 0x7F0000008000, "/lib/after-long-line.so"},
      {0x7FFD00000000, true, true, false, 0, ""},  // [vdso]
      {0x1000, false, false, false, 0, ""},
  };
  for (const auto& c : cases) {
    ::lseek(fd, 0, SEEK_SET);
    mapping_hit hit;
    char path[4096];
    EXPECT_EQ(find_mapping(fd, c.address, hit, path, sizeof path, *scratch), c.mapped) << std::hex << c.address;
    EXPECT_EQ(std::make_tuple(hit.mapped, hit.executable, hit.in_module),
              std::make_tuple(c.mapped, c.executable, c.in_module))
        << std::hex << c.address;
    EXPECT_TRUE(c.base == 0 || hit.module_base == c.base) << std::hex << c.address << " " << hit.module_base;
    EXPECT_TRUE(!c.in_module || path == c.path) << std::hex << c.address << " " << path;
  }
  ::close(fd);
}

TEST(CrashReportPosix, MemoryReaderReadsWhatIsReadableAndRefusesTheRestWithoutFaulting) {
  const long page = ::sysconf(_SC_PAGESIZE);
  char* area =
      static_cast<char*>(::mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(area, MAP_FAILED);
  for (long i = 0; i < page; ++i) area[i] = static_cast<char>(i * 7);
  ASSERT_EQ(::mprotect(area + page, page, PROT_NONE), 0);
  const auto base = reinterpret_cast<std::uintptr_t>(area);
  prepare_memory_reader();
  for (bool pipe : {false, true}) {
    SCOPED_TRACE(pipe ? "through the pipe" : "process_vm_readv");
    use_pipe_memory_reader(pipe);
    char out[64] = {};
    EXPECT_TRUE(read_own_memory(base + 100, out, sizeof out) && std::memcmp(out, area + 100, sizeof out) == 0);
    EXPECT_FALSE(read_own_memory(base + page - 8, out, 16));  // runs into the locked page
    EXPECT_FALSE(read_own_memory(base + page, out, 1));
    EXPECT_FALSE(read_own_memory(0x10, out, 1));
    // The refusals leave nothing behind that a later read would pick up.
    EXPECT_TRUE(read_own_memory(base + page - 4, out, 4) && std::memcmp(out, area + page - 4, 4) == 0);
  }
  use_pipe_memory_reader(false);
  ::munmap(area, 2 * page);
}

TEST(CrashReportPosix, ProbeDatesModulesInLocalTimeAndKnowsDataIsNoCode) {
  auto memory = std::make_unique<posix_crash_probe::scratch>();
  posix_crash_probe probe(*memory, current_utc_offset());
  char exe[PATH_MAX] = {};
  ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  civil_date date;
  ASSERT_TRUE(probe.modified_date(module_info{0, exe}, date));
  struct stat info;
  ASSERT_EQ(::stat(exe, &info), 0);
  std::tm local{};
  ::localtime_r(&info.st_mtime, &local);
  EXPECT_EQ(std::make_tuple(date.month, date.day, date.year),
            std::make_tuple(local.tm_mon + 1, local.tm_mday, local.tm_year + 1900));
  EXPECT_FALSE(probe.modified_date(module_info{0, "/nonexistent/paravelle/module.so"}, date));
  static int data = 0;
  EXPECT_FALSE(probe.is_code(reinterpret_cast<std::uintptr_t>(&data)));
  EXPECT_TRUE(probe.is_code(reinterpret_cast<std::uintptr_t>(&current_utc_offset)));
}

}  // namespace
}  // namespace paravelle::diag::posix
