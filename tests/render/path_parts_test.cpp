// Paths split as Windows splits them: the node's output folders and names come from here.

#include "render/path_parts.h"

#include <gtest/gtest.h>

namespace paravelle::render {
namespace {

TEST(PathParts, SplitsAsWindowsDoes) {
  const struct {
    const wchar_t *path, *parent, *file_name;
  } cases[] = {
      {L"C:\\s\\a.max", L"C:\\s", L"a.max"},
      {L"C:\\a.max", L"C:\\", L"a.max"},
      {L"C:a.max", L"C:", L"a.max"},
      {L"C:\\s\\", L"C:\\s", L"."},
      {L"C:\\", L"C:", L"\\"},
      {L"\\a.max", L"\\", L"a.max"},
      {L"a.max", L"", L"a.max"},
      {L"a\\\\b", L"a", L"b"},
      {L"\\\\server\\share\\x.exr", L"\\\\server\\share", L"x.exr"},
      {L"\\\\server\\x", L"\\\\server\\", L"x"},
      {L"D:/out/beauty.exr", L"D:/out", L"beauty.exr"},
      {L"", L"", L""},
  };
  for (const auto& c : cases) {
    const PathParts parts = split_path(c.path);
    EXPECT_EQ(parts.parent, c.parent) << ::testing::PrintToString(std::wstring(c.path));
    EXPECT_EQ(parts.file_name, c.file_name) << ::testing::PrintToString(std::wstring(c.path));
  }
}

}  // namespace
}  // namespace paravelle::render
