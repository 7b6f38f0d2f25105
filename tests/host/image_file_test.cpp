// The host's files: images through OpenImageIO, each format at its precision, refusals with
// their codes and causes, a file that appears whole or not at all; and the file calls as the
// plug-in makes them, with the system's error number for every way a call fails.

#include <gmock/gmock.h>

#include <OpenImageIO/imageio.h>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <utf8.h>
#include <optional>
#include <stdexcept>

#include "host/standalone/image_file.h"
#include "host/bitmap.h"
#include "host_fixture.h"
#include "host/files.h"

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
      for (int c = 0; c < 3; ++c)
        image.at(x, y)[c] = scale * float((x * 977 + y * 331 + c * 12345) % (levels + 1)) / float(levels);
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
    for (int x = 0; x < 64; ++x)
      std::copy_n(std::begin({x / 64.0f, y / 48.0f, 0.25f + 0.5f * (x + y) / 112.0f}), 3, smooth.at(x, y));
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
      {"float.tif", BMM_FLOAT_RGBA_32, wide_range, 0, false, B::FLOAT, 4},
      {"half.exr", BMM_TRUE_64, half, 0, false, B::HALF, 4},
      {"float.exr", BMM_FLOAT_RGBA_32, wide_range, 0, false, B::FLOAT, 4},
      {"deep.hdr", BMM_TRUE_64, half, 1.0f / 128, true, B::FLOAT, 3},
      {"photo.jpg", BMM_TRUE_64, smooth, 0.03f, false, B::UINT8, 3},
      {"paint.tga", BMM_TRUE_64, eight, 1e-6f, false, B::UINT8, 4},
      {"paint.bmp", BMM_FLOAT_RGBA_32, eight, 1e-6f, false, B::UINT8, 3},
      {"Mixed.JpEg", BMM_TRUE_64, smooth, 0.03f, false, B::UINT8, 3},
  };
  for (const auto& f : formats) {
    const Folder folder;
    ASSERT_EQ(write_image_file(folder.native(f.name), f.pixels.view(), f.type, true, 1.0f).code, BMMRES_SUCCESS)
        << f.name;
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

TEST(ImageFile, EachRefusalHasItsCodeAndCauseAndLeavesTheEarlierFileWhole) {
  const Folder folder;
  const Image image = filled(4, 4, 0.5f, 0.5f, 0.5f, 1.0f);
  const Image too_wide = filled(70000, 1, 0.5f, 0.5f, 0.5f, 1.0f);
  ASSERT_EQ(write_image_file(folder.native("frame.exr"), image.view(), BMM_FLOAT_RGBA_32, true, 1).code,
            BMMRES_SUCCESS);
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
      {"missing/a.png", image.view(), BMMRES_FOLDER_MISSING,
       "the folder " + folder.native("missing") + ": " + std::strerror(ENOENT)},
      {"plain.txt/a.png", image.view(), BMMRES_FOLDER_MISSING, folder.native("plain.txt") + " is not a folder"},
      {"taken.png", image.view(), BMMRES_NOT_WRITABLE, "a folder has that name"},
      {"zero.png", {0, 4, image.rgba.data()}, BMMRES_INVALID_SIZE, "an image of 0x4 pixels"},
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
    for (const char* name : {"frame.exr", "o.png", "o.jpg"}) {
      const auto result = write_image_file(folder.native(name), large.view(), BMM_FLOAT_RGBA_32, true, 1);
      EXPECT_EQ(result.code, BMMRES_NOT_WRITABLE) << name;
      EXPECT_EQ(result.message, "cannot write " + folder.native(name) + ": " + std::strerror(EFBIG)) << name;
    }
  }
  EXPECT_EQ(folder.read("frame.exr"), before);
  EXPECT_EQ(folder.names(), (std::set<std::string>{"frame.exr", "plain.txt", "taken.png"}));
  EXPECT_TRUE(std::filesystem::is_empty(folder.native("taken.png")));
  // A name at the file system's limit is written too: the temporary name beside it does not grow.
  const std::string longest = std::string(251, 'n') + ".exr";
  ASSERT_EQ(write_image_file(folder.native(longest), image.view(), BMM_FLOAT_RGBA_32, true, 1).code, BMMRES_SUCCESS);
  EXPECT_EQ(folder.names().size(), 4u) << "no temporary file is left";
}

// A row is read from where it is asked; a copy lands at its placement, scaled to it, with
// the fill everywhere else (a crop of a region render is made this way).
TEST(Bitmaps, RowsReadFromTheirStartAndCopiesLandAtTheirPlacement) {
  const auto source = host_test::make_bitmap(2, 2);
  const auto target = host_test::make_bitmap(4, 3);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 2; ++x) source->Storage()->PutPixel(x, y, {float(x), float(y), 0.5f, 1});
  BMM_Color_fl line[2];
  ASSERT_EQ(source->Storage()->GetLinearPixels(1, 1, 1, line), 1);
  EXPECT_EQ(std::vector<float>({line[0].r, line[0].g}), std::vector<float>({1, 1}));

  BitmapInfo placement;
  placement.SetCustomX(1);
  placement.SetCustWidth(2);
  placement.SetCustHeight(2);
  ASSERT_EQ(target->Storage()->CopyImage(source.get(), COPY_IMAGE_CUSTOM_POSITION, {9, 9, 9, 9}, &placement), 1);
  std::vector<float> reds;
  for (int y = 0; y < 3; ++y) {
    BMM_Color_fl row[4];
    target->Storage()->GetLinearPixels(0, y, 4, row);
    for (const BMM_Color_fl& pixel : row) reds.push_back(pixel.r);
  }
  EXPECT_EQ(reds, std::vector<float>({9, 0, 1, 9, 9, 0, 1, 9, 9, 9, 9, 9}));
}

}  // namespace
}  // namespace paravelle::host::standalone

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

TEST(Files, EachFailureHasTheSystemsNumber) {
  const Folder folder;
  folder.write("plain.txt", "x");
  folder.write("source", std::string(100000, 's'));
  std::filesystem::create_directory(folder.native("dir"));
  const std::string share = folder.path().substr(1);  // "tmp/paravelle-..." seen as a server and a share
  const auto at = [&](const std::string& name) { return wide(folder.native(name)); };
  const auto attributes = [](const std::wstring& path) {
    std::uint32_t value = 0;
    return error_of([&] { return files::file_attributes(path, value); });
  };
  const auto copy = [](const std::wstring& from, const std::wstring& to, bool overwrite = true) {
    return error_of([&] { return files::copy_file(from, to, overwrite); });
  };
  const std::pair<std::optional<std::uint32_t>, std::optional<std::uint32_t>> cases[] = {
      {attributes(at("absent.exr")), files::ERROR_FILE_NOT_FOUND},
      {attributes(at("no/such/absent.exr")), files::ERROR_PATH_NOT_FOUND},
      {attributes(L"\\\\no-such-server-here\\share\\x.exr"), files::ERROR_BAD_NETPATH},
      {attributes(wide("//" + share.substr(0, share.find('/')) + "/no-such-share/x")), files::ERROR_BAD_NET_NAME},
      {attributes(wide("//" + share + "/plain.txt")), std::nullopt},
      {attributes(at("a|b")), files::ERROR_INVALID_NAME},
      {error_of([&] { return files::delete_file(at("dir")); }), files::ERROR_ACCESS_DENIED},
      {error_of([&] { return files::create_directory(at("dir")); }), files::ERROR_ALREADY_EXISTS},
      {copy(at("absent"), at("d")), files::ERROR_FILE_NOT_FOUND},
      {copy(at("plain.txt"), at("dir")), files::ERROR_ACCESS_DENIED},
      {copy(at("source"), at("plain.txt"), false), 80},
      {error_of([&] { return files::move_file(at("dir"), at("moved")); }), files::ERROR_ACCESS_DENIED},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
  {
    const FileSizeLimit limit(4096);
    EXPECT_EQ(copy(at("source"), at("d")), 223u) << "a full disk";
  }
  EXPECT_EQ(folder.names(), (std::set<std::string>{"plain.txt", "source", "dir"}));
  EXPECT_EQ(files::error_text(223), L"The file size exceeds the limit allowed and cannot be saved.\r\n");
}

}  // namespace
}  // namespace paravelle::host
