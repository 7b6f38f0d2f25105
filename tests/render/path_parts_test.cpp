#include "render/path_parts.h"

#include <gtest/gtest.h>

namespace paravelle::render {
namespace {

TEST(PathParts, SplitsAsWindowsDoes) {
  struct Case {
    const wchar_t* path;
    const wchar_t* parent;
    const wchar_t* file_name;
  };
  const Case cases[] = {
      {L"C:\\s\\a.max", L"C:\\s", L"a.max"},
      {L"C:\\a.max", L"C:\\", L"a.max"},
      {L"C:a.max", L"C:", L"a.max"},
      {L"C:\\s\\", L"C:\\s", L"."},
      {L"C:\\", L"C:", L"\\"},
      {L"\\a.max", L"\\", L"a.max"},
      {L"a.max", L"", L"a.max"},
      {L"renders\\shot\\beauty.exr", L"renders\\shot", L"beauty.exr"},
      {L"a\\\\b", L"a", L"b"},
      {L"\\\\server\\share\\x.exr", L"\\\\server\\share", L"x.exr"},
      {L"\\\\server\\x", L"\\\\server\\", L"x"},
      {L"D:/out/beauty.exr", L"D:/out", L"beauty.exr"},
      {L"", L"", L""},
  };
  for (const Case& c : cases) {
    const PathParts parts = split_path(c.path);
    EXPECT_EQ(parts.parent, c.parent) << "path " << testing::PrintToString(std::wstring(c.path));
    EXPECT_EQ(parts.file_name, c.file_name) << "path " << testing::PrintToString(std::wstring(c.path));
  }
}

TEST(PathParts, StemExtensionAndSeparator) {
  EXPECT_EQ(stem_of(L"b.c.exr"), L"b.c");
  EXPECT_EQ(extension_of(L"b.c.exr"), L".exr");
  EXPECT_EQ(stem_of(L"shot"), L"shot");
  EXPECT_EQ(extension_of(L"shot"), L"");
  EXPECT_EQ(stem_of(L".hidden"), L"");
  EXPECT_EQ(extension_of(L".hidden"), L".hidden");
  EXPECT_EQ(stem_of(L"."), L".");
  EXPECT_EQ(extension_of(L".."), L"");
  EXPECT_EQ(with_separator(L""), L"");
  EXPECT_EQ(with_separator(L"C:\\"), L"C:\\");
  EXPECT_EQ(with_separator(L"D:\\out"), L"D:\\out\\");
}

}  // namespace
}  // namespace paravelle::render
