// Each format's encoder has a largest image of its own. One side more is refused with the
// limit named before any encoder sees it (libjpeg would end the process; the TGA writer
// would close, and write a footer into, an output whose open failed); the largest is
// written whole.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "host/bitmap.h"
#include "host/host_fixture.h"
#include "host/standalone/image_file.h"

namespace {

using paravelle::host::standalone::read_image_file;
using paravelle::host::standalone::write_image_file;

TEST(ImageFormatLimits, TheLargestImageOfEachFormatIsWrittenAndOneSideMoreIsRefused) {
  const paravelle::host_test::Folder folder;
  const struct {
    const char* name;
    int width, height;
    const char* refusal;  // nullptr: written
  } cases[] = {
      {"at.tga", 65535, 1, nullptr},
      {"wide.tga", 65536, 1, "the tga format holds images of at most 65535 pixels a side, not 65536x1"},
      {"tall.TGA", 2, 65536, "the tga format holds images of at most 65535 pixels a side, not 2x65536"},
      {"at.jpg", 65500, 1, nullptr},
      {"wide.jpg", 65501, 1, "the jpg format holds images of at most 65500 pixels a side, not 65501x1"},
      {"tall.jpeg", 1, 65501, "the jpeg format holds images of at most 65500 pixels a side, not 1x65501"},
      {"at.png", 1000000, 1, nullptr},
      {"wide.png", 1000001, 1, "the png format holds images of at most 1000000 pixels a side, not 1000001x1"},
      {"tall.png", 1, 1000001, "the png format holds images of at most 1000000 pixels a side, not 1x1000001"},
      {"wide.exr", 1000001, 1, nullptr},
      {"wide.tif", 1000001, 1, nullptr},
      {"wide.hdr", 1000001, 1, nullptr},
      {"wide.bmp", 1000001, 1, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<float> rgba(std::size_t(c.width) * std::size_t(c.height) * 4, 0.25f);
    const std::string path = folder.native(c.name);
    const auto result = write_image_file(path, {c.width, c.height, rgba.data()}, BMM_TRUE_64, true, 1);
    if (c.refusal) {
      EXPECT_EQ(result.code, BMMRES_NOT_WRITABLE);
      EXPECT_EQ(result.message, "cannot write " + path + ": " + c.refusal);
      continue;
    }
    ASSERT_EQ(result.code, BMMRES_SUCCESS) << result.message;
    std::vector<float> back;
    int width = 0, height = 0;
    std::string error;
    ASSERT_TRUE(read_image_file(path, back, width, height, error)) << error;
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(height, c.height);
  }
  // Only the written images are there: a refusal leaves nothing behind.
  EXPECT_EQ(folder.names(),
            (std::set<std::string>{"at.tga", "at.jpg", "at.png", "wide.exr", "wide.tif", "wide.hdr", "wide.bmp"}));
}

}  // namespace
