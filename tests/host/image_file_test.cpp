#include "host/standalone/image_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "host/bitmap.h"
#include "host/file_size_limit.h"
#include "host/scratch_folder.h"

namespace {

using paravelle::host::standalone::ImagePixels;
using paravelle::host::standalone::read_image_file;
using paravelle::host::standalone::write_image_file;
using paravelle::testing::FileSizeLimit;
using paravelle::testing::ScratchFolder;

struct Image {
  int width = 0, height = 0;
  std::vector<float> rgba;
  ImagePixels view() const { return {width, height, rgba.data()}; }
  float* at(int x, int y) { return rgba.data() + (std::size_t(y) * width + x) * 4; }
};

Image filled(int width, int height, float r, float g, float b, float a) {
  Image image{width, height, {}};
  for (int i = 0; i < width * height; ++i) image.rgba.insert(image.rgba.end(), {r, g, b, a});
  return image;
}

// Every colour value is a multiple of 1/levels times `scale`, so an encoding with that
// many levels stores it exactly; neighbouring pixels differ to catch row or channel swaps.
Image quantised(int width, int height, int levels, float scale = 1.0f) {
  Image image = filled(width, height, 0, 0, 0, 1);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < 3; ++c) {
        const int step = (x * 977 + y * 331 + c * 12345) % (levels + 1);
        image.at(x, y)[c] = scale * float(step) / float(levels);
      }
    }
  }
  return image;
}

Image smooth_image() {
  Image image = filled(64, 48, 0, 0, 0, 1);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x)
      std::copy_n(std::begin({x / 64.0f, y / 48.0f, 0.25f + 0.5f * (x + y) / 112.0f}), 3, image.at(x, y));
  return image;
}

struct Stored {
  OIIO::TypeDesc format;
  int channels = 0;
};

Stored stored_as(const std::string& path) {
  auto input = OIIO::ImageInput::open(path);
  if (!input) return {};
  return {input->spec().format, input->spec().nchannels};
}

Image read_back(const std::string& path) {
  Image image;
  std::string error;
  EXPECT_TRUE(read_image_file(path, image.rgba, image.width, image.height, error)) << error;
  return image;
}

// The largest difference of one channel; `relative` scales it by the pixel's brightest
// colour channel, as shared-exponent encodings keep precision relative to it.
float worst_difference(const Image& expected, const Image& actual, bool relative = false) {
  float worst = 0;
  for (std::size_t i = 0; i < expected.rgba.size(); i += 4) {
    const float* e = expected.rgba.data() + i;
    const float brightest = std::max({e[0], e[1], e[2], 1e-6f});
    for (int c = 0; c < 4; ++c) {
      const float difference = std::fabs(e[c] - actual.rgba[i + c]);
      worst = std::max(worst, relative && c < 3 ? difference / brightest : difference);
    }
  }
  return worst;
}

struct FormatCase {
  const char* name;
  int type;
  Image (*pixels)();
  float tolerance;
  bool relative;
  OIIO::TypeDesc::BASETYPE stored;
  int channels;  // written with has_alpha set
};

Image sixteen_bit() { return quantised(61, 37, 65535); }
Image eight_bit() { return quantised(61, 37, 255); }
Image half_range() { return quantised(61, 37, 1024, 4.0f); }
Image wide_range() {
  Image image = quantised(61, 37, 1000003, 300.0f);
  image.at(0, 0)[0] = -2.5f;
  image.at(1, 0)[1] = 1e-7f;
  return image;
}

class ImageFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ImageFormatTest, WritesTheFormatOfItsExtensionAndReadsItBackWithinItsPrecision) {
  const FormatCase& format = GetParam();
  const ScratchFolder folder;
  const std::string path = folder.native(format.name);
  const Image image = format.pixels();

  ASSERT_EQ(write_image_file(path, image.view(), format.type, true, 1.0f).code, BMMRES_SUCCESS);

  const Stored stored = stored_as(path);
  EXPECT_EQ(stored.format.basetype, format.stored);
  EXPECT_EQ(stored.channels, format.channels);
  const Image back = read_back(path);
  ASSERT_EQ(back.width, image.width);
  ASSERT_EQ(back.height, image.height);
  EXPECT_LE(worst_difference(image, back, format.relative), format.tolerance);
  EXPECT_EQ(folder.names(), std::set<std::string>{format.name});
}

constexpr float exact = 1e-6f;
using B = OIIO::TypeDesc;

INSTANTIATE_TEST_SUITE_P(
    Formats, ImageFormatTest,
    ::testing::Values(FormatCase{"deep.png", BMM_TRUE_64, sixteen_bit, exact, false, B::UINT16, 4},
                      FormatCase{"float.png", BMM_FLOAT_RGBA_32, sixteen_bit, exact, false, B::UINT16, 4},
                      FormatCase{"deep.tif", BMM_TRUE_64, sixteen_bit, exact, false, B::UINT16, 4},
                      FormatCase{"deep.tiff", BMM_TRUE_64, sixteen_bit, exact, false, B::UINT16, 4},
                      FormatCase{"float.tif", BMM_FLOAT_RGBA_32, wide_range, 0, false, B::FLOAT, 4},
                      FormatCase{"half.exr", BMM_TRUE_64, half_range, 0, false, B::HALF, 4},
                      FormatCase{"float.exr", BMM_FLOAT_RGBA_32, wide_range, 0, false, B::FLOAT, 4},
                      FormatCase{"deep.hdr", BMM_TRUE_64, half_range, 1.0f / 128, true, B::FLOAT, 3},
                      FormatCase{"float.hdr", BMM_FLOAT_RGBA_32, half_range, 1.0f / 128, true, B::FLOAT, 3},
                      FormatCase{"photo.jpg", BMM_TRUE_64, smooth_image, 0.03f, false, B::UINT8, 3},
                      FormatCase{"photo.jpeg", BMM_FLOAT_RGBA_32, smooth_image, 0.03f, false, B::UINT8, 3},
                      FormatCase{"paint.tga", BMM_TRUE_64, eight_bit, exact, false, B::UINT8, 4},
                      FormatCase{"paint.bmp", BMM_FLOAT_RGBA_32, eight_bit, exact, false, B::UINT8, 3},
                      FormatCase{"UPPER.PNG", BMM_TRUE_64, sixteen_bit, exact, false, B::UINT16, 4},
                      FormatCase{"Mixed.JpEg", BMM_TRUE_64, smooth_image, 0.03f, false, B::UINT8, 3}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST(ImageFileAlpha, AssociatedFormatsKeepAlphaAndColourAsGiven) {
  const ScratchFolder folder;
  Image image = quantised(16, 8, 65535);
  for (int x = 0; x < 16; ++x) image.at(x, 0)[3] = float(x * 4000) / 65535.0f;
  image.at(3, 1)[0] = 0.9f;  // brighter than its alpha: glow over transparency
  image.at(3, 1)[3] = 0.25f;

  for (const char* name : {"a.exr", "a.tif"}) {
    const int type = std::string(name) == "a.exr" ? BMM_FLOAT_RGBA_32 : BMM_TRUE_64;
    ASSERT_EQ(write_image_file(folder.native(name), image.view(), type, true, 1.0f).code, BMMRES_SUCCESS);
    const Image back = read_back(folder.native(name));
    EXPECT_LE(worst_difference(image, back), 0.5f / 65535) << name;
  }
}

TEST(ImageFileAlpha, StraightFormatsStoreColourDividedByAlpha) {
  const ScratchFolder folder;
  const Image half_covered = filled(4, 4, 0.25f, 0.1f, 0.0f, 0.5f);
  ASSERT_EQ(write_image_file(folder.native("a.png"), half_covered.view(), BMM_TRUE_64, true, 1.0f).code,
            BMMRES_SUCCESS);

  // The raw file holds straight colour; our reader gives premultiplied colour back.
  OIIO::ImageSpec as_stored;
  as_stored.attribute("oiio:UnassociatedAlpha", 1);
  auto input = OIIO::ImageInput::open(folder.native("a.png"), &as_stored);
  ASSERT_TRUE(input);
  std::vector<std::uint16_t> raw(4 * 4 * 4);
  ASSERT_TRUE(input->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT16, raw.data()));
  EXPECT_EQ(raw[0], 32768);  // 0.5 straight
  EXPECT_EQ(raw[3], 32768);
  EXPECT_LE(worst_difference(half_covered, read_back(folder.native("a.png"))), 1.0f / 65535);
}

TEST(ImageFileAlpha, AlphaIsDroppedWhenNotWantedOrNotHeld) {
  const ScratchFolder folder;
  const Image image = filled(8, 8, 0.2f, 0.4f, 0.6f, 0.5f);
  for (const char* name : {"no.png", "no.exr", "no.tif", "no.tga"}) {
    ASSERT_EQ(write_image_file(folder.native(name), image.view(), BMM_TRUE_64, false, 1.0f).code, BMMRES_SUCCESS);
    EXPECT_EQ(stored_as(folder.native(name)).channels, 3) << name;
    const Image back = read_back(folder.native(name));
    EXPECT_NEAR(back.rgba[1], 0.4f, 1.0f / 255) << name;  // colour written as it is
    EXPECT_EQ(back.rgba[3], 1.0f) << name;
  }
}

// Gamma curves straight colour on integer encodings only, so a half-covered edge pixel keeps
// its coverage; formats without alpha are checked on the opaque pixel alone.
TEST(ImageFileGamma, AppliesToIntegerEncodingsOnlyAndCurvesStraightColour) {
  const ScratchFolder folder;
  Image image = filled(32, 16, 0.5f, 0.25f, 1.0f, 1.0f);  // the edge pixel's JPEG blocks are its own
  std::copy_n(std::begin({0.25f, 0.25f, 0.25f, 0.5f}), 4, image.at(31, 15));  // 0.5 straight, half covered
  const std::size_t edge = image.rgba.size() - 4;
  const auto curved = [](float value) { return std::pow(value, 1 / 2.2f); };
  struct Case {
    const char* name;
    int type;
    bool applied;
    bool alpha;
    float tolerance;
  };
  for (const Case& c :
       {Case{"g.png", BMM_TRUE_64, true, true, 2.0f / 65535}, Case{"g.tif", BMM_TRUE_64, true, true, 2.0f / 65535},
        Case{"g.jpg", BMM_TRUE_64, true, false, 0.01f}, Case{"g16.exr", BMM_TRUE_64, false, true, 0.001f},
        Case{"g.exr", BMM_FLOAT_RGBA_32, false, true, 0}, Case{"gf.tif", BMM_FLOAT_RGBA_32, false, true, 0},
        Case{"g.hdr", BMM_TRUE_64, false, false, 0.004f}}) {
    ASSERT_EQ(write_image_file(folder.native(c.name), image.view(), c.type, true, 2.2f).code, BMMRES_SUCCESS);
    const Image back = read_back(folder.native(c.name));
    EXPECT_NEAR(back.rgba[0], c.applied ? curved(0.5f) : 0.5f, c.tolerance) << c.name;
    EXPECT_NEAR(back.rgba[1], c.applied ? curved(0.25f) : 0.25f, c.tolerance) << c.name;
    EXPECT_NEAR(back.rgba[2], 1.0f, c.tolerance) << c.name;
    EXPECT_EQ(back.rgba[3], 1.0f) << c.name;
    if (!c.alpha) continue;
    EXPECT_NEAR(back.rgba[edge], c.applied ? curved(0.5f) * 0.5f : 0.25f, c.tolerance) << c.name;
    EXPECT_NEAR(back.rgba[edge + 3], 0.5f, c.tolerance) << c.name;
  }
}

TEST(ImageFileGamma, UnusableGammaAndUnrepresentableValuesAreContained) {
  const ScratchFolder folder;
  Image image = filled(4, 1, 0.5f, 0.5f, 0.5f, 1.0f);
  image.at(1, 0)[0] = std::numeric_limits<float>::quiet_NaN();
  image.at(2, 0)[0] = -3.0f;
  image.at(3, 0)[0] = 7.0f;
  for (const float gamma : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}) {
    ASSERT_EQ(write_image_file(folder.native("n.png"), image.view(), BMM_TRUE_64, true, gamma).code, BMMRES_SUCCESS);
    const Image back = read_back(folder.native("n.png"));
    EXPECT_NEAR(back.rgba[0], 0.5f, 1.0f / 65535) << gamma;
    EXPECT_EQ(back.rgba[4], 0.0f);
    EXPECT_EQ(back.rgba[8], 0.0f);
    EXPECT_EQ(back.rgba[12], 1.0f);
  }
}

TEST(ImageFileErrors, EachRefusalHasItsCodeAndCauseAndLeavesNothingBehind) {
  const ScratchFolder folder;
  const Image image = filled(4, 4, 0.5f, 0.5f, 0.5f, 1.0f);
  const Image too_wide = filled(70000, 1, 0.5f, 0.5f, 0.5f, 1.0f);
  folder.write("plain.txt", "x");
  std::filesystem::create_directory(folder.path() / "taken.png");
  const std::string no_such = std::strerror(ENOENT);
  const struct {
    const char* name;
    ImagePixels pixels;
    int code;
    std::string cause;  // after "cannot write <path>: "; "*" ends a prefix
  } cases[] = {
      {"a.xyz", image.view(), BMMRES_UNKNOWN_FORMAT, "no image format has that extension"},
      {"noextension", image.view(), BMMRES_UNKNOWN_FORMAT, "no image format has that extension"},
      {"dot.dir/name", image.view(), BMMRES_UNKNOWN_FORMAT, "no image format has that extension"},
      {"missing/a.png", image.view(), BMMRES_FOLDER_MISSING, "the folder " + folder.native("missing") + ": " + no_such},
      {"plain.txt/a.png", image.view(), BMMRES_FOLDER_MISSING, folder.native("plain.txt") + " is not a folder"},
      {"taken.png", image.view(), BMMRES_NOT_WRITABLE, "a folder has that name"},
      {"zero.png", {0, 4, image.rgba.data()}, BMMRES_INVALID_SIZE, "an image of 0x4 pixels"},
      {"zero.png", {4, -1, image.rgba.data()}, BMMRES_INVALID_SIZE, "an image of 4x-1 pixels"},
      {"null.png", {4, 4, nullptr}, BMMRES_INVALID_SIZE, "no pixels to write"},
      // The encoder's own refusal keeps its words (which name the limit it hit).
      {"wide.tga", too_wide.view(), BMMRES_NOT_WRITABLE, "*"},
  };
  for (const auto& c : cases) {
    const auto result = write_image_file(folder.native(c.name), c.pixels, BMM_TRUE_64, true, 1);
    EXPECT_EQ(result.code, c.code) << c.name;
    const std::string prefix = "cannot write " + folder.native(c.name) + ": ";
    if (c.cause == "*") {
      EXPECT_THAT(result.message, ::testing::StartsWith(prefix)) << c.name;
      EXPECT_GT(result.message.size(), prefix.size() + 10) << c.name << ": the library's message is kept";
    } else {
      EXPECT_EQ(result.message, prefix + c.cause) << c.name;
    }
  }
  EXPECT_EQ(folder.names(), (std::set<std::string>{"plain.txt", "taken.png"}));
  EXPECT_TRUE(std::filesystem::is_empty(folder.path() / "taken.png"));
}

TEST(ImageFileErrors, UnwritableFolderIsReportedAsSuch) {
  if (::geteuid() == 0)
    GTEST_SKIP() << "root writes into read-only folders; the directory-as-target case covers the code";
  const ScratchFolder folder;
  std::filesystem::create_directory(folder.path() / "locked");
  std::filesystem::permissions(folder.path() / "locked",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  const Image image = filled(4, 4, 0.5f, 0.5f, 0.5f, 1.0f);
  EXPECT_EQ(write_image_file(folder.native("locked/a.png"), image.view(), BMM_TRUE_64, true, 1).code,
            BMMRES_NOT_WRITABLE);
  std::filesystem::permissions(folder.path() / "locked", std::filesystem::perms::owner_all);
}

TEST(ImageFileErrors, AWriteThatFailsHalfwayKeepsTheEarlierFileWhole) {
  const ScratchFolder folder;
  const Image small = filled(4, 4, 0.5f, 0.5f, 0.5f, 1.0f);
  ASSERT_EQ(write_image_file(folder.native("frame.exr"), small.view(), BMM_FLOAT_RGBA_32, true, 1).code,
            BMMRES_SUCCESS);
  const std::string before = folder.read("frame.exr");

  const Image large = quantised(512, 512, 65535);
  {
    const FileSizeLimit limit(8192);
    for (const char* name : {"frame.exr", "o.png", "o.tif", "o.jpg", "o.hdr", "o.tga", "o.bmp"}) {
      const auto result = write_image_file(folder.native(name), large.view(), BMM_FLOAT_RGBA_32, true, 1);
      EXPECT_EQ(result.code, BMMRES_NOT_WRITABLE) << name;
      EXPECT_EQ(result.message, "cannot write " + folder.native(name) + ": " + std::strerror(EFBIG)) << name;
    }
  }
  EXPECT_EQ(folder.read("frame.exr"), before);
  EXPECT_EQ(folder.names(), std::set<std::string>{"frame.exr"});
}

// A name as long as the file system allows (255 bytes) is written like any other: the
// temporary name beside it does not grow with it.
TEST(ImageFileWrite, AFinalNameAtTheFileSystemsLimitIsWritten) {
  const ScratchFolder folder;
  const Image small = filled(3, 2, 1.0f, 0.0f, 0.0f, 1.0f);
  for (const std::size_t length : {244, 255}) {
    const std::string name = std::string(length - 4, 'n') + ".png";
    EXPECT_EQ(write_image_file(folder.native(name), small.view(), BMM_TRUE_64, true, 1).code, BMMRES_SUCCESS) << length;
    EXPECT_TRUE(folder.names().count(name)) << length;
  }
  EXPECT_EQ(folder.names().size(), 2u) << "no temporary file is left";
}

TEST(ImageFileWrite, ReplacesAnExistingFileEntirely) {
  const ScratchFolder folder;
  const Image large = quantised(64, 64, 65535);
  const Image small = filled(3, 2, 1.0f, 0.0f, 0.0f, 1.0f);
  ASSERT_EQ(write_image_file(folder.native("f.png"), large.view(), BMM_TRUE_64, true, 1).code, BMMRES_SUCCESS);
  ASSERT_EQ(write_image_file(folder.native("f.png"), small.view(), BMM_TRUE_64, true, 1).code, BMMRES_SUCCESS);
  const Image back = read_back(folder.native("f.png"));
  EXPECT_EQ(back.width, 3);
  EXPECT_EQ(back.height, 2);
  EXPECT_EQ(worst_difference(small, back), 0.0f);
  EXPECT_EQ(folder.names(), std::set<std::string>{"f.png"});
}

TEST(ImageFileRead, ExpandsGreyAndReportsUnreadableFiles) {
  const ScratchFolder folder;
  {
    auto output = OIIO::ImageOutput::create("grey.png");
    const OIIO::ImageSpec spec(2, 1, 1, OIIO::TypeDesc::UINT8);
    ASSERT_TRUE(output->open(folder.native("grey.png"), spec));
    const std::uint8_t pixels[] = {0, 255};
    ASSERT_TRUE(output->write_image(OIIO::TypeDesc::UINT8, pixels));
    output->close();
  }
  const Image back = read_back(folder.native("grey.png"));
  EXPECT_THAT(back.rgba, ::testing::ElementsAre(0, 0, 0, 1, 1, 1, 1, 1));

  folder.write("broken.png", "not an image");
  for (const char* name : {"broken.png", "absent.png"}) {
    std::vector<float> rgba;
    int width = -1, height = -1;
    std::string error;
    EXPECT_FALSE(read_image_file(folder.native(name), rgba, width, height, error)) << name;
    EXPECT_FALSE(error.empty()) << name;
    EXPECT_EQ(width, -1);
  }
}

}  // namespace
