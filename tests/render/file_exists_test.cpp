#include "render/file_exists.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "render/output_files.h"
#include "support/log_capture.h"

namespace paravelle::render {
namespace {

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

TEST(FileExists, TrueOnlyForFilesThatAreNotFolders) {
  const testing::TempFolder folder;
  const std::string file = folder.path() + "/frame_0001.exr";
  std::ofstream(file) << "x";
  EXPECT_TRUE(file_exists(wide(file)));
  std::string backslashed = file;
  for (char& c : backslashed) c = c == '/' ? '\\' : c;
  EXPECT_TRUE(file_exists(wide(backslashed))) << "host paths keep backslashes";
  EXPECT_FALSE(file_exists(wide(folder.path())));
  EXPECT_FALSE(file_exists(wide(folder.path() + "/frame_0002.exr")));
  EXPECT_FALSE(file_exists(wide(folder.path() + "/no/such/folder/f.exr")));
  EXPECT_FALSE(file_exists(wide(file + "/inside")));  // a file used as a folder
  EXPECT_FALSE(file_exists(L""));
  EXPECT_FALSE(file_exists(wide(folder.path() + "/bad|name.exr")));
}

TEST(FileExists, AnyOtherFailureIsAnError) {
  const testing::TempFolder folder;
  const std::string loop = folder.path() + "/loop";
  std::filesystem::create_symlink(folder.path() + "/loop2", loop);
  std::filesystem::create_symlink(loop, folder.path() + "/loop2");
  try {
    file_exists(wide(loop));
    ADD_FAILURE() << "no error";
  } catch (const FileError& e) {
    EXPECT_EQ(std::string(e.what()), "file_exists: Could not get the file attributes of \"" + loop + "\"");
    EXPECT_EQ(e.code(), std::error_code(1921, host_file_category())) << "the host's number is kept";
  }
}

}  // namespace
}  // namespace paravelle::render
