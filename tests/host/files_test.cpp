// The host's file calls as the plug-in makes them: backslash paths, the system's error
// numbers for every way a call fails, copies that readers never see half done.

#include "host/files.h"

#include <gmock/gmock.h>

#include <sys/stat.h>

#include <utf8.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <thread>

#include "host_fixture.h"

namespace paravelle::host {
namespace {

using host_test::FileSizeLimit;
using host_test::Folder;

// The backslash path the plug-in would hold for a native path.
std::wstring wide(const std::string& native) {
  std::wstring path;
  utf8::utf8to16(native.begin(), native.end(), std::back_inserter(path));
  for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
  return path;
}

// The error a failing call leaves, or nullopt when it succeeded.
template <typename Call>
std::optional<std::uint32_t> error_of(Call call) {
  files::set_last_error(0);
  if (call()) return std::nullopt;
  return files::last_error();
}

TEST(Files, NativePathsKeepNetworkPrefixesAndRefuseWhatNoFileNameHolds) {
  EXPECT_EQ(files::native_path(L"D:\\out\\beauty0001.exr"), "D:/out/beauty0001.exr");
  EXPECT_EQ(files::native_path(L"\\\\server\\share\\x.exr"), "//server/share/x.exr");
  EXPECT_EQ(files::native_path(std::wstring{L'\\', L'r', 0xE9, 0xD83D, 0xDE00}), "/r\xC3\xA9\xF0\x9F\x98\x80");
  for (const std::wstring& bad : {std::wstring{L'a', 0xD800, L'b'}, std::wstring{L'a', 0xDC00},
                                  std::wstring{L'a', L'\0', L'b'}, std::wstring{L'a', wchar_t(0x1F600)}})
    EXPECT_THROW(files::native_path(bad), std::invalid_argument);
}

TEST(Files, EachFailureHasTheSystemsNumber) {
  const Folder folder;
  folder.write("plain.txt", "x");
  folder.write("source", std::string(100000, 's'));
  std::filesystem::create_directory(folder.native("dir"));
  const std::string share = folder.path().substr(1);  // "tmp/paravelle-..." seen as a server and a share
  const std::string server = share.substr(0, share.find('/'));
  const auto at = [&](const std::string& name) { return wide(folder.native(name)); };
  const auto attributes = [](const std::wstring& path) {
    std::uint32_t value = 0;
    return error_of([&] { return files::file_attributes(path, value); });
  };
  const auto copy = [](const std::wstring& from, const std::wstring& to, bool overwrite = true) {
    return error_of([&] { return files::copy_file(from, to, overwrite); });
  };
  const auto mkdir = [](const std::wstring& path) { return error_of([&] { return files::create_directory(path); }); };
  const auto remove = [](const std::wstring& path) { return error_of([&] { return files::delete_file(path); }); };
  const auto move = [&](const std::string& from, const std::string& to) {
    return error_of([&] { return files::move_file(at(from), at(to)); });
  };
  const struct {
    const char* what;
    std::optional<std::uint32_t> error, expected;
  } cases[] = {
      {"absent file", attributes(at("absent.exr")), files::ERROR_FILE_NOT_FOUND},
      {"absent folder", attributes(at("no/such/absent.exr")), files::ERROR_PATH_NOT_FOUND},
      {"a file as a folder", attributes(at("plain.txt\\inside")), files::ERROR_PATH_NOT_FOUND},
      {"empty", attributes(L""), files::ERROR_PATH_NOT_FOUND},
      {"no server", attributes(L"\\\\no-such-server-here\\share\\x.exr"), files::ERROR_BAD_NETPATH},
      {"no share", attributes(wide("//" + server + "/no-such-share/x.exr")), files::ERROR_BAD_NET_NAME},
      {"a share", attributes(wide("//" + share + "/plain.txt")), std::nullopt},
      {"a drive", attributes(L"Q:\\no\\such.exr"), files::ERROR_PATH_NOT_FOUND},
      {"a long name", attributes(at(std::string(300, 'n'))), files::ERROR_INVALID_NAME},
      {"a bad character", attributes(at("a|b")), files::ERROR_INVALID_NAME},
      {"a lone surrogate", attributes(at("") + std::wstring{L'a', 0xD800}), files::ERROR_INVALID_NAME},
      {"a device path", attributes(L"\\\\?\\x"), files::ERROR_INVALID_NAME},
      {"delete absent", remove(at("absent")), files::ERROR_FILE_NOT_FOUND},
      {"delete a folder", remove(at("dir")), files::ERROR_ACCESS_DENIED},
      {"mkdir under absent", mkdir(at("a/b")), files::ERROR_PATH_NOT_FOUND},
      {"mkdir existing", mkdir(at("dir")), files::ERROR_ALREADY_EXISTS},
      {"mkdir over a file", mkdir(at("plain.txt")), files::ERROR_ALREADY_EXISTS},
      {"mkdir a bad name", mkdir(at("a*b")), files::ERROR_INVALID_NAME},
      {"mkdir with separator", mkdir(at("new\\")), std::nullopt},
      {"copy absent", copy(at("absent"), at("d")), files::ERROR_FILE_NOT_FOUND},
      {"copy from absent folder", copy(at("no/absent"), at("d")), files::ERROR_PATH_NOT_FOUND},
      {"copy into absent folder", copy(at("source"), at("no/d")), files::ERROR_PATH_NOT_FOUND},
      {"copy to no server", copy(at("source"), L"\\\\no-such-server-here\\s\\d"), files::ERROR_BAD_NETPATH},
      {"copy a folder", copy(at("dir"), at("c")), files::ERROR_ACCESS_DENIED},
      {"copy onto a folder", copy(at("plain.txt"), at("dir")), files::ERROR_ACCESS_DENIED},
      {"copy over a file", copy(at("source"), at("plain.txt"), false), 80},
      {"copy a bad name", copy(at("a?b"), at("copy")), files::ERROR_INVALID_NAME},
      {"move onto a folder", move("plain.txt", "dir"), files::ERROR_ACCESS_DENIED},
      {"move a folder", move("dir", "moved-dir"), files::ERROR_ACCESS_DENIED},
      {"move absent", move("absent", "b"), files::ERROR_FILE_NOT_FOUND},
      {"move into absent folder", move("plain.txt", "no/b"), files::ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error, c.expected) << c.what;
  {
    const FileSizeLimit limit(4096);
    EXPECT_EQ(copy(at("source"), at("d")), 223u) << "a full disk";
  }
  EXPECT_EQ(folder.read("plain.txt"), "x");
  EXPECT_EQ(folder.names(), (std::set<std::string>{"plain.txt", "source", "dir", "new"}));
  EXPECT_EQ(files::error_text(2), L"The system cannot find the file specified.\r\n");
  EXPECT_EQ(files::error_text(223), L"The file size exceeds the limit allowed and cannot be saved.\r\n");
  EXPECT_EQ(files::error_text(99999), L"");
}

TEST(Files, CopiesKeepTimeAndModeReplaceInOneStepAndAttributesTellFoldersFromFiles) {
  const Folder folder;
  folder.write("source", "new content");
  folder.write("old", "old");
  ::chmod(folder.native("source").c_str(), 0640);
  const auto when = std::filesystem::file_time_type::clock::now() - std::chrono::hours(30);
  std::filesystem::last_write_time(folder.native("source"), when);
  ASSERT_TRUE(files::copy_file(wide(folder.native("source")), wide(folder.native("old")), true));
  EXPECT_EQ(folder.read("old"), "new content");
  EXPECT_EQ(std::filesystem::last_write_time(folder.native("old")), when);
  struct stat status {};
  ::stat(folder.native("old").c_str(), &status);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
  ASSERT_TRUE(files::move_file(wide(folder.native("source")), wide(folder.native("old"))));
  EXPECT_EQ(folder.names(), std::set<std::string>{"old"});
  std::uint32_t attributes = 0;
  ASSERT_TRUE(files::file_attributes(wide(folder.path()), attributes));
  EXPECT_EQ(attributes, files::FILE_ATTRIBUTE_DIRECTORY);
  ASSERT_TRUE(files::file_attributes(wide(folder.native("old")), attributes));
  EXPECT_EQ(attributes, 0x80u);

  // Readers never see a half-copied file, however many copies race.
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
  for (int w = 0; w < 3; ++w)
    writers.emplace_back([&, w] {
      for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(files::copy_file(wide(folder.native((i + w) % 2 ? "a" : "b")), wide(folder.native("target")), true));
    });
  for (std::thread& writer : writers) writer.join();
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(folder.names(), (std::set<std::string>{"a", "b", "old", "target"}));

  // The last error belongs to the calling thread.
  files::set_last_error(123);
  std::uint32_t seen_elsewhere = 1;
  std::thread([&] { seen_elsewhere = files::last_error(); }).join();
  EXPECT_EQ(seen_elsewhere, 0u);
  EXPECT_EQ(files::last_error(), 123u);
}

TEST(Files, TheCommonDataFolderFollowsTheVariablesInOrderAndIsCreated) {
  const Folder folder;
  const auto with = [](const char* own, const char* xdg, const char* home) {
    for (const auto& [name, value] : {std::pair{"PARAVELLE_DATA_DIR", own}, {"XDG_DATA_HOME", xdg}, {"HOME", home}})
      value ? ::setenv(name, value, 1) : ::unsetenv(name);
    return files::common_app_data_folder();
  };
  const std::string saved_home = std::getenv("HOME") ? std::getenv("HOME") : "/root";
  const std::string home = folder.native("home");
  EXPECT_EQ(with(folder.native("own/data/").c_str(), "/x", home.c_str()), wide(folder.native("own/data")));
  EXPECT_TRUE(std::filesystem::is_directory(folder.native("own/data")));
  EXPECT_EQ(with("", folder.native("xdg").c_str(), home.c_str()), wide(folder.native("xdg/paravelle")));
  EXPECT_EQ(with(nullptr, "relative/ignored", home.c_str()), wide(folder.native("home/.local/share/paravelle")));
  EXPECT_TRUE(std::filesystem::is_directory(folder.native("home/.local/share/paravelle")));
  folder.write("file", "x");
  EXPECT_EQ(with(folder.native("file/data").c_str(), nullptr, home.c_str()), L"");
  EXPECT_NE(files::last_error(), 0u);
  with(nullptr, nullptr, saved_home.c_str());
}

}  // namespace
}  // namespace paravelle::host
