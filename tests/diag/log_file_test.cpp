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
  EXPECT_EQ(log_file_path(L"D:\\Temp"), L"D:\\Temp\\paravelle.log");
  EXPECT_EQ(log_file_path(L"D:\\Temp\\"), L"D:\\Temp\\paravelle.log");
  EXPECT_EQ(log_file_path(L""), L"paravelle.log");
}

// Without a log the node works as before, but says once on standard error why.
TEST(LogFile, AFolderThatCannotBeOpenedLeavesASilentStreamAndSaysSo) {
  Environment environment;
  environment.set("TMP", "/nonexistent/paravelle/folder");
  std::ofstream stream;
  ::testing::internal::CaptureStderr();
  log_lock claim = open_log_file(stream);
  EXPECT_TRUE(stream.fail());
  stream << "dropped" << std::endl;  // must not throw or crash

  Environment none;
  std::ofstream unopened;
  claim = open_log_file(unopened);
  EXPECT_FALSE(unopened.is_open());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "paravelle: cannot open the log file /nonexistent/paravelle/folder/paravelle.log: No such file or "
            "directory; the node runs without a log\n"
            "paravelle: no log file, because none of TMP, TMPDIR and USERPROFILE is set; the node runs without a "
            "log\n");
}

// Two nodes sharing one TMP: the second appends instead of truncating under the first,
// whose later entries then land after the second's, never over them.
TEST(LogFile, ANodeNeverTruncatesALogThatAnotherRunningNodeHolds) {
  Environment environment;
  paravelle::testing::TempFolder folder;
  const std::string path = folder.path() + "/paravelle.log";
  std::ofstream(path) << "the previous run's log\n";
  environment.set("TMP", folder.path());
  const auto contents = [&] {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  };

  std::ofstream first;
  log_lock first_claim = open_log_file(first);
  EXPECT_TRUE(first_claim.truncated());
  first << "first node, entry 1" << std::endl;
  std::ofstream second;
  log_lock second_claim = open_log_file(second);
  EXPECT_FALSE(second_claim.truncated());
  second << "second node, entry 1" << std::endl;
  first << "first node, entry 2" << std::endl;
  EXPECT_EQ(contents(), "first node, entry 1\nsecond node, entry 1\nfirst node, entry 2\n");

  // Once both have gone, the next node starts an empty log again.
  first.close();
  second.close();
  first_claim = log_lock();
  second_claim = log_lock();
  std::ofstream third;
  const log_lock third_claim = open_log_file(third);
  EXPECT_TRUE(third_claim.truncated());
  EXPECT_EQ(contents(), "");
}

}  // namespace
}  // namespace paravelle::diag
