// Image files through OpenImageIO: each format at its precision, alpha straight or
// associated, gamma on integer encodings only, refusals with their codes and causes, and a
// file that appears whole or not at all.

#include "host/standalone/image_file.h"

#include <gmock/gmock.h>

#include <OpenImageIO/imageio.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "host/bitmap.h"
#include "host_fixture.h"

namespace paravelle::host::standalone {
namespace {

using host_test::FileSizeLimit;
using host_test::Folder;
using B = OIIO::TypeDesc;

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

// Every colour value is a multiple of 1/levels times `scale`, so an encoding with that many
// levels stores it exactly; neighbouring pixels differ to catch row or channel swaps.
Image quantised(int levels, float scale = 1.0f, int width = 61, int height = 37) {
  Image image = filled(width, height, 0, 0, 0, 1);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c) image.at(x, y)[c] = scale * float((x * 977 + y * 331 + c * 12345) % (levels + 1)) / float(levels);
  return image;
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

TEST(ImageFile, EachExtensionWritesItsFormatAndReadsBackWithinItsPrecision) {
  Image wide_range = quantised(1000003, 300.0f);
  wide_range.at(0, 0)[0] = -2.5f;
  wide_range.at(1, 0)[1] = 1e-7f;
  Image smooth = filled(64, 48, 0, 0, 0, 1);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) std::copy_n(std::begin({x / 64.0f, y / 48.0f, 0.25f + 0.5f * (x + y) / 112.0f}), 3, smooth.at(x, y));
  const Image sixteen = quantised(65535), eight = quantised(255), half = quantised(1024, 4.0f);
  const struct {
    const char* name;
    int type;
    const Image& pixels;
    float tolerance;
    bool relative;
    B::BASETYPE stored;
    int channels;  // written with alpha wanted
  } formats[] = {
      {"deep.png", BMM_TRUE_64, sixteen, 1e-6f, false, B::UINT16, 4},
      {"float.png", BMM_FLOAT_RGBA_32, sixteen, 1e-6f, false, B::UINT16, 4},
      {"deep.tiff", BMM_TRUE_64, sixteen, 1e-6f, false, B::UINT16, 4},
      {"float.tif", BMM_FLOAT_RGBA_32, wide_range, 0, false, B::FLOAT, 4},
      {"half.exr", BMM_TRUE_64, half, 0, false, B::HALF, 4},
      {"float.exr", BMM_FLOAT_RGBA_32, wide_range, 0, false, B::FLOAT, 4},
      {"deep.hdr", BMM_TRUE_64, half, 1.0f / 128, true, B::FLOAT, 3},
      {"photo.jpg", BMM_TRUE_64, smooth, 0.03f, false, B::UINT8, 3},
      {"paint.tga", BMM_TRUE_64, eight, 1e-6f, false, B::UINT8, 4},
      {"paint.bmp", BMM_FLOAT_RGBA_32, eight, 1e-6f, false, B::UINT8, 3},
      {"UPPER.PNG", BMM_TRUE_64, sixteen, 1e-6f, false, B::UINT16, 4},
      {"Mixed.JpEg", BMM_TRUE_64, smooth, 0.03f, false, B::UINT8, 3},
  };
  for (const auto& f : formats) {
    const Folder folder;
    ASSERT_EQ(write_image_file(folder.native(f.name), f.pixels.view(), f.type, true, 1.0f).code, BMMRES_SUCCESS) << f.name;
    const auto input = OIIO::ImageInput::open(folder.native(f.name));
    ASSERT_TRUE(input) << f.name;
    EXPECT_EQ(input->spec().format.basetype, f.stored) << f.name;
    EXPECT_EQ(input->spec().nchannels, f.channels) << f.name;
    const Image back = read_back(folder.native(f.name));
    ASSERT_EQ(std::pair(back.width, back.height), std::pair(f.pixels.width, f.pixels.height)) << f.name;
    EXPECT_LE(worst_difference(f.pixels, back, f.relative), f.tolerance) << f.name;
    EXPECT_EQ(folder.names(), std::set<std::string>{f.name}) << "no temporary file is left";
  }
}

// Memory holds associated alpha; PNG stores straight colour, EXR and TIFF as given.
TEST(ImageFile, AlphaIsStoredAsEachFormatHoldsItOrDroppedWhenNotWanted) {
  const Folder folder;
  Image image = quantised(65535, 1.0f, 16, 8);
  for (int x = 0; x < 16; ++x) image.at(x, 0)[3] = float(x * 4000) / 65535.0f;
  std::copy_n(std::begin({0.9f, 0.1f, 0.1f, 0.25f}), 4, image.at(3, 1));  // glow over transparency
  for (const auto& [name, type] : {std::pair{"a.exr", BMM_FLOAT_RGBA_32}, {"a.tif", BMM_TRUE_64}}) {
    ASSERT_EQ(write_image_file(folder.native(name), image.view(), type, true, 1.0f).code, BMMRES_SUCCESS);
    EXPECT_LE(worst_difference(image, read_back(folder.native(name))), 0.5f / 65535) << name;
  }
  const Image half_covered = filled(4, 4, 0.25f, 0.1f, 0.0f, 0.5f);
  ASSERT_EQ(write_image_file(folder.native("a.png"), half_covered.view(), BMM_TRUE_64, true, 1.0f).code, BMMRES_SUCCESS);
  OIIO::ImageSpec as_stored;
  as_stored.attribute("oiio:UnassociatedAlpha", 1);
  auto input = OIIO::ImageInput::open(folder.native("a.png"), &as_stored);
  std::vector<std::uint16_t> raw(4 * 4 * 4);
  ASSERT_TRUE(input && input->read_image(0, 0, 0, 4, OIIO::TypeDesc::UINT16, raw.data()));
  EXPECT_EQ(raw[0], 32768) << "0.5 straight";
  EXPECT_EQ(raw[3], 32768);
  EXPECT_LE(worst_difference(half_covered, read_back(folder.native("a.png"))), 1.0f / 65535);

  const Image translucent = filled(8, 8, 0.2f, 0.4f, 0.6f, 0.5f);
  for (const char* name : {"no.png", "no.exr", "no.tif", "no.tga"}) {
    ASSERT_EQ(write_image_file(folder.native(name), translucent.view(), BMM_TRUE_64, false, 1.0f).code, BMMRES_SUCCESS);
    EXPECT_EQ(OIIO::ImageInput::open(folder.native(name))->spec().nchannels, 3) << name;
    const Image back = read_back(folder.native(name));
    EXPECT_NEAR(back.rgba[1], 0.4f, 1.0f / 255) << name << ": colour written as it is";
    EXPECT_EQ(back.rgba[3], 1.0f) << name;
  }
}

// Gamma curves straight colour on integer encodings only, so a half-covered edge pixel keeps
// its coverage; an unusable gamma and unrepresentable values are contained.
TEST(ImageFile, GammaAppliesToIntegerEncodingsOnlyAndNonsenseIsContained) {
  const Folder folder;
  Image image = filled(32, 16, 0.5f, 0.25f, 1.0f, 1.0f);  // the edge pixel's JPEG blocks are its own
  std::copy_n(std::begin({0.25f, 0.25f, 0.25f, 0.5f}), 4, image.at(31, 15));  // 0.5 straight, half covered
  const std::size_t edge = image.rgba.size() - 4;
  const auto curved = [](float value) { return std::pow(value, 1 / 2.2f); };
  const struct {
    const char* name;
    int type;
    bool applied, alpha;
    float tolerance;
  } cases[] = {{"g.png", BMM_TRUE_64, true, true, 2.0f / 65535}, {"g.jpg", BMM_TRUE_64, true, false, 0.01f},
               {"g16.exr", BMM_TRUE_64, false, true, 0.001f},    {"gf.tif", BMM_FLOAT_RGBA_32, false, true, 0},
               {"g.hdr", BMM_TRUE_64, false, false, 0.004f}};
  for (const auto& c : cases) {
    ASSERT_EQ(write_image_file(folder.native(c.name), image.view(), c.type, true, 2.2f).code, BMMRES_SUCCESS);
    const Image back = read_back(folder.native(c.name));
    EXPECT_NEAR(back.rgba[0], c.applied ? curved(0.5f) : 0.5f, c.tolerance) << c.name;
    EXPECT_NEAR(back.rgba[1], c.applied ? curved(0.25f) : 0.25f, c.tolerance) << c.name;
    EXPECT_NEAR(back.rgba[2], 1.0f, c.tolerance) << c.name;
    if (!c.alpha) continue;
    EXPECT_NEAR(back.rgba[edge], c.applied ? curved(0.5f) * 0.5f : 0.25f, c.tolerance) << c.name;
    EXPECT_NEAR(back.rgba[edge + 3], 0.5f, c.tolerance) << c.name;
  }
  Image odd = filled(4, 1, 0.5f, 0.5f, 0.5f, 1.0f);
  odd.at(1, 0)[0] = std::numeric_limits<float>::quiet_NaN();
  odd.at(2, 0)[0] = -3.0f;
  odd.at(3, 0)[0] = 7.0f;
  for (const float gamma : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}) {
    ASSERT_EQ(write_image_file(folder.native("n.png"), odd.view(), BMM_TRUE_64, true, gamma).code, BMMRES_SUCCESS);
    const Image back = read_back(folder.native("n.png"));
    EXPECT_EQ(std::vector<float>({back.rgba[4], back.rgba[8], back.rgba[12]}), std::vector<float>({0, 0, 1})) << gamma;
    EXPECT_NEAR(back.rgba[0], 0.5f, 1.0f / 65535) << gamma;
  }
}

TEST(ImageFile, EachRefusalHasItsCodeAndCauseAndLeavesTheEarlierFileWhole) {
  const Folder folder;
  const Image image = filled(4, 4, 0.5f, 0.5f, 0.5f, 1.0f);
  const Image too_wide = filled(70000, 1, 0.5f, 0.5f, 0.5f, 1.0f);
  ASSERT_EQ(write_image_file(folder.native("frame.exr"), image.view(), BMM_FLOAT_RGBA_32, true, 1).code, BMMRES_SUCCESS);
  const std::string before = folder.read("frame.exr");
  folder.write("plain.txt", "x");
  std::filesystem::create_directory(folder.native("taken.png"));
  const struct {
    const char* name;
    ImagePixels pixels;
    int code;
    std::string cause;  // after "cannot write <path>: "; "*" ends a prefix
  } cases[] = {
      {"a.xyz", image.view(), BMMRES_UNKNOWN_FORMAT, "no image format has that extension"},
      {"dot.dir/name", image.view(), BMMRES_UNKNOWN_FORMAT, "no image format has that extension"},
      {"missing/a.png", image.view(), BMMRES_FOLDER_MISSING,
       "the folder " + folder.native("missing") + ": " + std::strerror(ENOENT)},
      {"plain.txt/a.png", image.view(), BMMRES_FOLDER_MISSING, folder.native("plain.txt") + " is not a folder"},
      {"taken.png", image.view(), BMMRES_NOT_WRITABLE, "a folder has that name"},
      {"zero.png", {0, 4, image.rgba.data()}, BMMRES_INVALID_SIZE, "an image of 0x4 pixels"},
      {"zero.png", {4, -1, image.rgba.data()}, BMMRES_INVALID_SIZE, "an image of 4x-1 pixels"},
      {"null.png", {4, 4, nullptr}, BMMRES_INVALID_SIZE, "no pixels to write"},
      {"wide.tga", too_wide.view(), BMMRES_NOT_WRITABLE, "*"},  // the encoder's own words are kept
  };
  for (const auto& c : cases) {
    const auto result = write_image_file(folder.native(c.name), c.pixels, BMM_TRUE_64, true, 1);
    EXPECT_EQ(result.code, c.code) << c.name;
    const std::string prefix = "cannot write " + folder.native(c.name) + ": ";
    EXPECT_EQ(result.message.substr(0, c.cause == "*" ? prefix.size() : std::string::npos),
              c.cause == "*" ? prefix : prefix + c.cause);
    EXPECT_GT(result.message.size(), prefix.size() + 10) << c.name;
  }
  // A write that fails halfway, as on a full disk, keeps the earlier file and leaves nothing.
  const Image large = quantised(65535, 1.0f, 512, 512);
  {
    const FileSizeLimit limit(8192);
    for (const char* name : {"frame.exr", "o.png", "o.tif", "o.jpg", "o.hdr", "o.tga", "o.bmp"}) {
      const auto result = write_image_file(folder.native(name), large.view(), BMM_FLOAT_RGBA_32, true, 1);
      EXPECT_EQ(result.code, BMMRES_NOT_WRITABLE) << name;
      EXPECT_EQ(result.message, "cannot write " + folder.native(name) + ": " + std::strerror(EFBIG)) << name;
    }
  }
  EXPECT_EQ(folder.read("frame.exr"), before);
  EXPECT_EQ(folder.names(), (std::set<std::string>{"frame.exr", "plain.txt", "taken.png"}));
  EXPECT_TRUE(std::filesystem::is_empty(folder.native("taken.png")));
  // A replaced file is replaced entirely; a name at the file system's limit is written too.
  const Image small = filled(3, 2, 1.0f, 0.0f, 0.0f, 1.0f);
  const std::string longest = std::string(251, 'n') + ".exr";
  for (const std::string& name : {std::string("frame.exr"), longest}) {
    ASSERT_EQ(write_image_file(folder.native(name), small.view(), BMM_FLOAT_RGBA_32, true, 1).code, BMMRES_SUCCESS);
    EXPECT_EQ(worst_difference(small, read_back(folder.native(name))), 0.0f);
  }
  EXPECT_EQ(folder.names().size(), 4u) << "no temporary file is left";
}

TEST(ImageFile, ReadingExpandsGreyAndReportsUnreadableFiles) {
  const Folder folder;
  auto output = OIIO::ImageOutput::create("grey.png");
  ASSERT_TRUE(output->open(folder.native("grey.png"), OIIO::ImageSpec(2, 1, 1, OIIO::TypeDesc::UINT8)));
  const std::uint8_t pixels[] = {0, 255};
  ASSERT_TRUE(output->write_image(OIIO::TypeDesc::UINT8, pixels));
  output->close();
  EXPECT_THAT(read_back(folder.native("grey.png")).rgba, ::testing::ElementsAre(0, 0, 0, 1, 1, 1, 1, 1));
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
}  // namespace paravelle::host::standalone
