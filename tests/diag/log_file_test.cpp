#include "diag/log_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/log_capture.h"

namespace paravelle::diag {
namespace {

// Sets the log-folder variables for one test and puts the old values back afterwards.
class Environment {
 public:
  Environment() {
    for (const char* name : names)
      if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
    for (const char* name : names) ::unsetenv(name);
  }
  ~Environment() {
    for (const char* name : names) ::unsetenv(name);
    for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
  }
  void set(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

 private:
  static constexpr const char* names[] = {"TMP", "TMPDIR", "USERPROFILE", "PATH"};
  std::vector<std::pair<std::string, std::string>> saved_;
};

TEST(LogFolder, TmpThenTmpdirThenUserProfileButNeverPath) {
  Environment environment;
  environment.set("PATH", "/usr/bin:/bin");
  EXPECT_EQ(log_folder_from_environment(), std::nullopt);
  environment.set("USERPROFILE", "/home/farm");
  EXPECT_EQ(log_folder_from_environment(), L"/home/farm");
  environment.set("TMPDIR", "/var/tmp");
  EXPECT_EQ(log_folder_from_environment(), L"/var/tmp");
  environment.set("TMP", "");
  EXPECT_EQ(log_folder_from_environment(), L"");
}

TEST(LogFolder, OneBackslashBeforeTheFileName) {
  EXPECT_EQ(log_file_path(L"D:\\Temp"), L"D:\\Temp\\paravelle.log");
  EXPECT_EQ(log_file_path(L"D:\\Temp\\"), L"D:\\Temp\\paravelle.log");
  EXPECT_EQ(log_file_path(L""), L"paravelle.log");
}

TEST(LogFile, OpensTruncatedInTheFolderAndFlushesEveryEntry) {
  Environment environment;
  testing::TempFolder folder;
  const std::string path = folder.path() + "/paravelle.log";
  std::ofstream(path) << "the previous run's log\n";
  environment.set("TMP", folder.path());

  std::ofstream stream;
  open_log_file(stream);
  ASSERT_TRUE(stream.good());
  stream << "Thread: 42" << std::endl;
  std::ifstream written(path);
  std::string line;
  std::getline(written, line);
  EXPECT_EQ(line, "Thread: 42");
  EXPECT_FALSE(std::getline(written, line));
}

TEST(LogFile, AFolderThatCannotBeOpenedLeavesASilentStream) {
  Environment environment;
  environment.set("TMP", "/nonexistent/paravelle/folder");
  std::ofstream stream;
  open_log_file(stream);
  EXPECT_TRUE(stream.fail());
  stream << "dropped" << std::endl;  // must not throw or crash

  Environment none;
  std::ofstream unopened;
  open_log_file(unopened);
  EXPECT_FALSE(unopened.is_open());
}

}  // namespace
}  // namespace paravelle::diag
