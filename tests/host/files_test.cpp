#include "host/files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <utf8.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <thread>

#include "host/file_size_limit.h"
#include "host/scratch_folder.h"

namespace {

namespace files = paravelle::host::files;
using paravelle::testing::FileSizeLimit;
using paravelle::testing::ScratchFolder;

// The backslash path the plug-in would hold for a native path.
std::wstring wide(const std::string& native) {
  std::wstring path;
  utf8::utf8to16(native.begin(), native.end(), std::back_inserter(path));
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

std::wstring wide(const ScratchFolder& folder, const std::string& name) { return wide(folder.native(name)); }

// The error a failing call leaves, or nullopt when it succeeded.
template <typename Call>
std::optional<std::uint32_t> error_of(Call call) {
  files::set_last_error(0);
  if (call()) return std::nullopt;
  return files::last_error();
}

std::optional<std::uint32_t> attributes_error(const std::wstring& path) {
  std::uint32_t attributes = 0;
  return error_of([&] { return files::file_attributes(path, attributes); });
}
std::optional<std::uint32_t> copy_error(const std::wstring& from, const std::wstring& to, bool overwrite = true) {
  return error_of([&] { return files::copy_file(from, to, overwrite); });
}
std::optional<std::uint32_t> mkdir_error(const std::wstring& path) {
  return error_of([&] { return files::create_directory(path); });
}
std::optional<std::uint32_t> delete_error(const std::wstring& path) {
  return error_of([&] { return files::delete_file(path); });
}

TEST(NativePath, TurnsBackslashesIntoSlashesAndKeepsNetworkPrefixes) {
  EXPECT_EQ(files::native_path(L"D:\\out\\beauty0001.exr"), "D:/out/beauty0001.exr");
  EXPECT_EQ(files::native_path(L"\\\\server\\share\\x.exr"), "//server/share/x.exr");
  EXPECT_EQ(files::native_path(L"/already/native"), "/already/native");
  EXPECT_EQ(files::native_path(L""), "");
  // é and a surrogate pair (U+1F600) as UTF-16 code units.
  EXPECT_EQ(files::native_path(std::wstring{L'\\', L'r', 0xE9, 0xD83D, 0xDE00}), "/r\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(NativePath, RefusesTextNoFileNameCanHold) {
  EXPECT_THROW(files::native_path(std::wstring{L'a', 0xD800, L'b'}), std::invalid_argument);
  EXPECT_THROW(files::native_path(std::wstring{L'a', 0xDC00}), std::invalid_argument);
  EXPECT_THROW(files::native_path(std::wstring{L'a', L'\0', L'b'}), std::invalid_argument);
  EXPECT_THROW(files::native_path(std::wstring{L'a', wchar_t(0x1F600)}), std::invalid_argument);
}

TEST(FileErrors, MissingThingsTellFileFromPathFromNetwork) {
  const ScratchFolder folder;
  folder.write("plain.txt", "x");
  const std::string relative_to_root = folder.path().relative_path().string();  // "tmp/paravelle-host-..."
  const std::string server = relative_to_root.substr(0, relative_to_root.find('/'));

  EXPECT_EQ(attributes_error(wide(folder, "absent.exr")), files::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(attributes_error(wide(folder, "no/such/absent.exr")), files::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(attributes_error(wide(folder, "plain.txt\\inside")), files::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(attributes_error(L""), files::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(attributes_error(L"\\\\no-such-server-here\\share\\x.exr"), files::ERROR_BAD_NETPATH);
  EXPECT_EQ(attributes_error(wide("//" + server + "/no-such-share/x.exr")), files::ERROR_BAD_NET_NAME);
  // A share that exists here (the scratch folder seen as //tmp/paravelle-host-...) is a folder.
  EXPECT_EQ(attributes_error(wide("//" + relative_to_root + "/plain.txt")), std::nullopt);
  EXPECT_EQ(attributes_error(wide("//" + relative_to_root + "/absent")), files::ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(delete_error(wide(folder, "absent")), files::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(delete_error(L"\\\\no-such-server-here\\s\\x"), files::ERROR_BAD_NETPATH);
  EXPECT_EQ(mkdir_error(wide(folder, "a/b")), files::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(mkdir_error(L"\\\\no-such-server-here\\s\\x"), files::ERROR_BAD_NETPATH);
}

TEST(FileErrors, BadNamesAreInvalidBeforeAnythingIsTouched) {
  const ScratchFolder folder;
  const std::wstring base = wide(folder.native(""));
  for (const std::wstring& name :
       {base + L"a<b", base + L"a>b", base + L"a:b", base + L"a\"b", base + L"a|b", base + L"a?b", base + L"a*b",
        base + L"a\tb", base + std::wstring{L'a', 0xD800}, base + std::wstring{L'a', L'\0', L'b'},
        std::wstring{L'\\', L'\\', L'?', L'\\', L'x'}}) {
    EXPECT_EQ(attributes_error(name), files::ERROR_INVALID_NAME);
    EXPECT_EQ(mkdir_error(name), files::ERROR_INVALID_NAME);
    EXPECT_EQ(copy_error(name, base + L"copy"), files::ERROR_INVALID_NAME);
  }
  EXPECT_TRUE(folder.names().empty());
  // A drive prefix is a name, not a bad character: it is merely absent here.
  EXPECT_EQ(attributes_error(L"Q:\\no\\such.exr"), files::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(attributes_error(wide(folder, std::string(300, 'n'))), files::ERROR_INVALID_NAME);
}

TEST(FileErrors, DirectoriesAreNotFilesAndExistingOnesAreReported) {
  const ScratchFolder folder;
  std::filesystem::create_directory(folder.path() / "dir");
  folder.write("plain.txt", "x");

  EXPECT_EQ(mkdir_error(wide(folder, "dir")), files::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(mkdir_error(wide(folder, "plain.txt")), files::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(mkdir_error(wide(folder, "new\\")), std::nullopt);
  EXPECT_TRUE(std::filesystem::is_directory(folder.path() / "new"));
  EXPECT_EQ(delete_error(wide(folder, "dir")), files::ERROR_ACCESS_DENIED);
  EXPECT_EQ(copy_error(wide(folder, "dir"), wide(folder, "c")), files::ERROR_ACCESS_DENIED);
  EXPECT_EQ(copy_error(wide(folder, "plain.txt"), wide(folder, "dir")), files::ERROR_ACCESS_DENIED);
  EXPECT_TRUE(std::filesystem::is_directory(folder.path() / "dir"));
  EXPECT_EQ(delete_error(wide(folder, "plain.txt")), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "plain.txt"));
}

TEST(FileErrors, PermissionDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root is never refused by file permissions";
  const ScratchFolder folder;
  folder.write("source", "x");
  std::filesystem::create_directory(folder.path() / "locked");
  std::filesystem::permissions(folder.path() / "locked",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  EXPECT_EQ(copy_error(wide(folder, "source"), wide(folder, "locked/c")), files::ERROR_ACCESS_DENIED);
  EXPECT_EQ(mkdir_error(wide(folder, "locked/d")), files::ERROR_ACCESS_DENIED);
  std::filesystem::permissions(folder.path() / "locked", std::filesystem::perms::owner_all);
}

TEST(FileAttributes, DirectoryOrNormalFile) {
  const ScratchFolder folder;
  folder.write("plain.txt", "x");
  std::uint32_t attributes = 0;
  ASSERT_TRUE(files::file_attributes(wide(folder.native("")), attributes));
  EXPECT_EQ(attributes, files::FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_TRUE(files::file_attributes(wide(folder, "plain.txt"), attributes));
  EXPECT_EQ(attributes, 0x80u);
  if (::geteuid() != 0) {
    ::chmod(folder.native("plain.txt").c_str(), 0444);
    ASSERT_TRUE(files::file_attributes(wide(folder, "plain.txt"), attributes));
    EXPECT_EQ(attributes, 0x01u);
  }
}

TEST(CopyFile, OverwriteOnlyWhenAllowed) {
  const ScratchFolder folder;
  folder.write("new", "new content");
  folder.write("old", "old");

  EXPECT_EQ(copy_error(wide(folder, "new"), wide(folder, "old"), false), 80u);
  EXPECT_EQ(folder.read("old"), "old");
  EXPECT_EQ(copy_error(wide(folder, "new"), wide(folder, "old")), std::nullopt);
  EXPECT_EQ(folder.read("old"), "new content");
  EXPECT_EQ(copy_error(wide(folder, "new"), wide(folder, "fresh"), false), std::nullopt);
  EXPECT_EQ(folder.read("fresh"), "new content");
  EXPECT_EQ(folder.read("new"), "new content");
  EXPECT_EQ(folder.names(), (std::set<std::string>{"new", "old", "fresh"}));
}

TEST(CopyFile, FailuresNameTheMissingSideAndLeaveNoTrace) {
  const ScratchFolder folder;
  folder.write("source", std::string(100000, 's'));

  EXPECT_EQ(copy_error(wide(folder, "absent"), wide(folder, "d")), files::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(copy_error(wide(folder, "no/absent"), wide(folder, "d")), files::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(copy_error(wide(folder, "source"), wide(folder, "no/d")), files::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(copy_error(wide(folder, "source"), L"\\\\no-such-server-here\\s\\d"), files::ERROR_BAD_NETPATH);
  {
    const FileSizeLimit limit(4096);
    EXPECT_EQ(copy_error(wide(folder, "source"), wide(folder, "d")), 223u);
  }
  EXPECT_EQ(folder.names(), std::set<std::string>{"source"});
}

TEST(CopyFile, KeepsModificationTimeAndMode) {
  const ScratchFolder folder;
  folder.write("source", "x");
  ::chmod(folder.native("source").c_str(), 0640);
  const auto when = std::filesystem::file_time_type::clock::now() - std::chrono::hours(30);
  std::filesystem::last_write_time(folder.path() / "source", when);
  ASSERT_TRUE(files::copy_file(wide(folder, "source"), wide(folder, "copy"), true));
  EXPECT_EQ(std::filesystem::last_write_time(folder.path() / "copy"), when);
  struct stat status {};
  ::stat(folder.native("copy").c_str(), &status);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
}

TEST(CopyFile, ReadersNeverSeeAHalfCopiedFile) {
  const ScratchFolder folder;
  const std::size_t size = 1 << 20;
  folder.write("a", std::string(size, 'a'));
  folder.write("b", std::string(size, 'b'));
  folder.write("target", std::string(size, 'a'));

  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      const std::string seen = folder.read("target");
      if (seen.size() != size || seen.find_first_not_of(seen.front()) != std::string::npos) ++torn;
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(files::copy_file(wide(folder, (i + w) % 2 ? "a" : "b"), wide(folder, "target"), true));
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(folder.names(), (std::set<std::string>{"a", "b", "target"}));
}

TEST(MoveFile, ReplacesAFileInOneStepButNeverAFolder) {
  const ScratchFolder folder;
  folder.write("a", "new");
  folder.write("old", "old");
  std::filesystem::create_directory(folder.path() / "dir");
  const auto move_error = [&](const std::string& from, const std::string& to) {
    return error_of([&] { return files::move_file(wide(folder, from), wide(folder, to)); });
  };

  EXPECT_EQ(move_error("a", "dir"), files::ERROR_ACCESS_DENIED);
  EXPECT_EQ(move_error("dir", "moved-dir"), files::ERROR_ACCESS_DENIED);
  EXPECT_EQ(move_error("absent", "b"), files::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(move_error("a", "no/b"), files::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(move_error("a", "old"), std::nullopt);
  EXPECT_EQ(folder.read("old"), "new");
  EXPECT_EQ(folder.names(), (std::set<std::string>{"old", "dir"}));
}

TEST(LastError, BelongsToTheCallingThread) {
  files::set_last_error(123);
  std::uint32_t seen_elsewhere = 1;
  std::thread([&] {
    seen_elsewhere = files::last_error();
    files::set_last_error(5);
  }).join();
  EXPECT_EQ(seen_elsewhere, 0u);
  EXPECT_EQ(files::last_error(), 123u);
}

TEST(ErrorText, SystemWordingEndingWithCrLf) {
  const std::pair<std::uint32_t, const wchar_t*> texts[] = {
      {2, L"The system cannot find the file specified.\r\n"},
      {223, L"The file size exceeds the limit allowed and cannot be saved.\r\n"},
  };
  for (const auto& [number, text] : texts) EXPECT_EQ(files::error_text(number), text) << number;
  EXPECT_EQ(files::error_text(99999), L"");
}

// Sets an environment variable for one scope, restoring the earlier value.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnvironment() { saved_ ? ::setenv(name_, saved_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST(CommonAppDataFolder, FollowsTheVariablesInOrderAndCreatesTheFolder) {
  const ScratchFolder folder;
  const ScopedEnvironment home("HOME", folder.native("home").c_str());
  {
    const ScopedEnvironment own("PARAVELLE_DATA_DIR", folder.native("own/data/").c_str());
    const ScopedEnvironment xdg("XDG_DATA_HOME", folder.native("xdg").c_str());
    EXPECT_EQ(files::common_app_data_folder(), wide(folder, "own/data"));
    EXPECT_TRUE(std::filesystem::is_directory(folder.path() / "own/data"));
  }
  {
    const ScopedEnvironment own("PARAVELLE_DATA_DIR", "");
    const ScopedEnvironment xdg("XDG_DATA_HOME", folder.native("xdg").c_str());
    EXPECT_EQ(files::common_app_data_folder(), wide(folder, "xdg/paravelle"));
  }
  {
    const ScopedEnvironment own("PARAVELLE_DATA_DIR", nullptr);
    const ScopedEnvironment xdg("XDG_DATA_HOME", "relative/ignored");
    const std::wstring data = files::common_app_data_folder();
    EXPECT_EQ(data, wide(folder, "home/.local/share/paravelle"));
    EXPECT_TRUE(std::filesystem::is_directory(files::native_path(data)));
  }
  {
    folder.write("file", "x");
    const ScopedEnvironment own("PARAVELLE_DATA_DIR", folder.native("file/data").c_str());
    EXPECT_EQ(files::common_app_data_folder(), L"");
    EXPECT_NE(files::last_error(), 0u);
  }
}

}  // namespace
