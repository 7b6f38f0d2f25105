// The output files of a frame: names as the host takes them, folders made on the way,
// writing through the host with its failure texts, local rendering's copy with retries and
// alternate names, region and JPEG outputs, and the black-frame test before a write.

#include "render/output_files.h"

#include <gmock/gmock.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>

#include "render/black_frame.h"
#include "render/path_parts.h"
#include "render/render_fixture.h"

namespace paravelle::render {
namespace {

using ::testing::ElementsAre;
using testing::narrow;
using testing::read_image;
using testing::RecordedSleeps;
namespace fs = std::filesystem;

std::set<std::string> names_in(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}
void write_text(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
std::string read_text(const std::string& path) { return paravelle::testing::read_file(path); }

TEST(OutputNames, SplitNormaliseAndNumberAsTheHostDoes) {
  const struct {
    const wchar_t *path, *parent, *file_name;
  } splits[] = {
      {L"C:\\s\\a.max", L"C:\\s", L"a.max"}, {L"C:\\a.max", L"C:\\", L"a.max"},   {L"C:a.max", L"C:", L"a.max"},
      {L"C:\\s\\", L"C:\\s", L"."},          {L"C:\\", L"C:", L"\\"},             {L"\\a.max", L"\\", L"a.max"},
      {L"a.max", L"", L"a.max"},             {L"a\\\\b", L"a", L"b"},             {L"\\\\server\\x", L"\\\\server\\", L"x"},
      {L"D:/out/b.exr", L"D:/out", L"b.exr"}, {L"\\\\srv\\share\\x", L"\\\\srv\\share", L"x"}, {L"", L"", L""},
  };
  for (const auto& c : splits) {
    EXPECT_EQ(split_path(c.path).parent, c.parent) << narrow(c.path);
    EXPECT_EQ(split_path(c.path).file_name, c.file_name) << narrow(c.path);
  }
  for (const auto& [name, stem, extension] : {std::tuple{L"b.c.exr", L"b.c", L".exr"}, {L"shot", L"shot", L""},
                                               {L".hidden", L"", L".hidden"}, {L".", L".", L""}, {L"..", L"..", L""}}) {
    EXPECT_EQ(stem_of(name), stem);
    EXPECT_EQ(extension_of(name), extension);
  }
  EXPECT_EQ(with_separator(L""), L"");
  EXPECT_EQ(with_separator(L"C:\\"), L"C:\\");
  EXPECT_EQ(with_separator(L"D:\\out"), L"D:\\out\\");

  // A run of n backslashes keeps n/2 rounded up; a leading pair stays a network prefix.
  for (const auto& [path, normalised] :
       {std::pair{L"D:/out//beauty.exr", L"D:\\out\\beauty.exr"}, {L"//server/share/x", L"\\\\server\\share\\x"},
        {L"a\\\\\\b", L"a\\\\b"}, {L"a\\\\\\\\b", L"a\\\\b"}, {L"\\\\\\x", L"\\\\x"}, {L"/", L"\\"}, {L"", L""}})
    EXPECT_EQ(NormalizePath(path), normalised) << narrow(path);

  const struct {
    const wchar_t* name;
    std::int32_t number;
    const wchar_t* framed;
  } numbered[] = {
      {L"shot", 3, L"shot0003"},
      {L"D:/a/b.c.exr", 12, L"D:\\a\\b.c0012.exr"},
      {L"b.exr", 12345, L"b12345.exr"},
      {L"b.exr", 0, L"b0000.exr"},
      {L"b.exr", -7, L"b-007.exr"},
      {L"b.exr", -1234, L"b-1234.exr"},
      {L"b.exr", std::numeric_limits<std::int32_t>::max(), L"b2147483647.exr"},
      {L"b.exr", std::numeric_limits<std::int32_t>::min(), L"b-2147483648.exr"},
      {L"\\\\srv\\share//f.png", 5, L"\\\\srv\\share\\f0005.png"},
      {L"\\tmp\\.hidden", 2, L"\\tmp\\0002.hidden"},
  };
  for (const auto& c : numbered) EXPECT_EQ(FrameOutputName(c.name, c.number), c.framed) << narrow(c.name);
}

class OutputTest : public JobTest {
 protected:
  BitmapInfo description(const std::string& name) {
    BitmapInfo info;
    info.SetName(host_path(name).c_str());
    info.SetType(BMM_FLOAT_RGBA_32);
    info.SetFlags(MAP_HAS_ALPHA);
    return info;
  }
  void write(const std::string& name) {
    BitmapInfo info = description(name);
    WriteOutputFile(state, bitmap.get(), info, connection);
  }
  void local_rendering() {
    fs::create_directories(native("temp"));
    fs::create_directories(native("out"));
    state.localRendering = true;
    state.tempFolder = host_path("temp");
  }
  testing::BitmapPtr bitmap = testing::filled_bitmap(8, 6, {0.25f, 0.5f, 0.75f, 1.0f});
};

TEST_F(OutputTest, FoldersAreMadeWithTheirParentsAndTheirStateMustBeReadable) {
  BitmapInfo info;
  info.SetName((host_path("a/b/c") + L"\\beauty0001.exr").c_str());
  CreateOutputPath(info, connection);
  EXPECT_TRUE(fs::is_directory(native("a/b/c")));
  CreateOutputPath(info, connection);
  info.SetName(L"");
  CreateOutputPath(info, connection);
  EXPECT_THAT(farm.take(), ElementsAre("Creating output path: " + file("a/b/c"))) << "once, and not for no name";
  CreateDirectories(host_path("x/y") + L"\\");
  CreateDirectories(paravelle::testing::wide(native("p/q/")));
  EXPECT_TRUE(fs::is_directory(native("x/y")) && fs::is_directory(native("p/q")));

  write_text(native("file"), "x");
  EXPECT_TRUE(directory_exists(host_path("x")));
  EXPECT_FALSE(directory_exists(host_path("file")) || directory_exists(host_path("absent")));
  fs::create_symlink(native("loop"), native("loop"));
  EXPECT_EQ(failure_of([&] { directory_exists(host_path("loop")); }),
            "Could not get the status of \"" + file("loop") + "\": The name of the file cannot be resolved by the system.");
  try {
    directory_exists(host_path("loop"));
  } catch (const FileError& error) {
    EXPECT_EQ(error.code(), std::error_code(1921, host_file_category())) << "the host's number is kept";
  }
  for (const auto& [name, exists] : {std::pair{"file", true}, {"x", false}, {"absent", false}, {"file/in", false},
                                     {"bad|name", false}, {"", false}})
    EXPECT_EQ(file_exists(name[0] ? host_path(name) : L""), exists) << name;
  EXPECT_THROW(file_exists(host_path("loop")), FileError);
}

TEST_F(OutputTest, WritesThroughTheHostAndRecordsTheFileWithItsCompanion) {
  write_text(native("A_beauty0001.exr"), "companion");
  write("beauty0001.exr");
  EXPECT_THAT(farm.take(), ElementsAre("Writing to output file: " + file("beauty0001.exr")));
  EXPECT_THAT(state.writtenOutputFiles, ElementsAre(host_path("beauty0001.exr"), host_path("A_beauty0001.exr")));
  EXPECT_EQ(read_image(native("beauty0001.exr")).at(7, 5, 2), 0.75f);

  EXPECT_EQ(failure_of([&] { write("beauty.xyz"); }), "Error in bm->OpenOutput(): error code 1");
  EXPECT_EQ(failure_of([&] { write("absent/beauty.exr"); }), "Error in bm->OpenOutput(): error code 2");
  EXPECT_EQ(state.writtenOutputFiles.size(), 2u);
}

TEST_F(OutputTest, LocalRenderingCopiesTheFileAndItsCompanionOrSavesUnderAnAlternateName) {
  local_rendering();
  write_text(native("temp/A_beauty0002.exr"), "companion");
  BitmapInfo info = description("out/beauty0002.exr");
  WriteOutputFile(state, bitmap.get(), info, connection);
  EXPECT_THAT(farm.take(), ElementsAre("Saved image to " + file("out/beauty0002.exr"),
                                       "Saved image to " + file("out/A_beauty0002.exr")));
  EXPECT_THAT(state.writtenOutputFiles, ElementsAre(host_path("out/beauty0002.exr"), host_path("out/A_beauty0002.exr")));
  EXPECT_EQ(read_image(native("out/beauty0002.exr")).width, 8);
  EXPECT_EQ(read_text(native("out/A_beauty0002.exr")), "companion");
  EXPECT_TRUE(names_in(native("temp")).empty()) << "a copied file leaves the temp folder";
  EXPECT_EQ(narrow(info.Name()), file("out/beauty0002.exr")) << "the description keeps its name";

  fs::create_directories(native("out/beauty0003.exr"));  // a folder where the file should go
  state.useAltOutput = true;
  const RecordedSleeps sleeps;
  write("out/beauty0003.exr");
  EXPECT_EQ(state.writtenOutputFiles.back(), host_path("out/beauty0003_alt_0.exr"));
  EXPECT_EQ(read_image(native("out/beauty0003_alt_0.exr")).height, 6);
}

TEST_F(OutputTest, RegionOutputCutsThePaddingOffOrRefusesSizesThatAreNoImage) {
  // A padded crop render of 10x8 whose padding of 2 was cut at the image's left edge by 1.
  testing::BitmapPtr rendered = testing::filled_bitmap(10, 8, {0, 0, 0, 0});
  rendered->Storage()->PutPixel(1, 2, {1, 0, 0, 1});  // lands at (1 + 1 - 2, 2 + 0 - 2) = (0, 0)
  state.regionPadding = 2;
  state.regionLeftOver = 1;
  BitmapInfo info = description("region.exr");
  WriteRegionOutput(state, rendered.get(), info, connection);
  const auto image = read_image(native("region.exr"));
  ASSERT_EQ(image.width, 10 + 1 - 4);
  ASSERT_EQ(image.height, 8 - 4);
  EXPECT_EQ(image.at(0, 0, 0), 1.0f);
  EXPECT_EQ(image.at(1, 0, 3), 0.0f) << "the fill is transparent black";
  EXPECT_EQ(info.Width(), 640) << "the caller's description is left as it was";
  state.regionPadding = state.regionLeftOver = 0;
  info = description("whole.exr");
  WriteRegionOutput(state, rendered.get(), info, connection);
  EXPECT_EQ(read_image(native("whole.exr")).width, 10) << "without padding the render is written as it is";

  const auto refused = [&](int padding, int left_over, int top_over) {
    state.regionPadding = padding;
    state.regionLeftOver = left_over;
    state.regionTopOver = top_over;
    return failure_of([&] { WriteRegionOutput(state, bitmap.get(), info, connection); });
  };
  EXPECT_EQ(refused(1, 70000, 0), "The region output of 70006x4 pixels does not fit an image (0 to 65535 pixels a side)");
  EXPECT_EQ(refused(5, 0, 0), "The region output of -2x-4 pixels does not fit an image (0 to 65535 pixels a side)");
  EXPECT_EQ(refused(1, 40000, 40000), "Failed to allocate region Bitmap: TheManager->Create() return NULL");
  EXPECT_THAT(state.writtenOutputFiles, ElementsAre(host_path("region.exr"), host_path("whole.exr")));
}

TEST_F(OutputTest, TheJpegCopyGluesItsFolderToTheFileName) {
  state.jpegOutputPath = host_path("jpg");  // no separator at its end
  BitmapInfo info = description("out/beauty0004.exr");
  WriteJpegOutput(state, bitmap.get(), info, connection);
  EXPECT_THAT(farm.take(), ElementsAre("Writing jpeg output to: " + file("jpgbeauty0004.jpg")));
  EXPECT_TRUE(fs::exists(native("jpgbeauty0004.jpg")));

  local_rendering();
  fs::create_directories(native("jpg"));
  state.tempFolder += L"\\";
  state.jpegOutputPath = host_path("jpg") + L"\\";
  WriteJpegOutput(state, bitmap.get(), info, connection);
  EXPECT_THAT(farm.take(), ElementsAre("Writing jpeg output to: " + file("temp/beauty0004.jpg"),
                                       "Saved image to " + file("jpg/beauty0004.jpg")));
  EXPECT_EQ(read_image(native("jpg/beauty0004.jpg")).width, 8);
  EXPECT_TRUE(state.writtenOutputFiles.empty()) << "the JPEG copy is not an output of the frame";
}

// Five tries under the file's own name with growing waits, then (where allowed) five
// alternate names; a stale file under the final name never survives a failed save.
TEST_F(OutputTest, SaveWithRetryTriesAgainThenFallsBackToAlternateNames) {
  const std::string source = "temp/beauty0001.exr";
  const auto attempts = [&](int from, int to, const std::string& reason) {
    std::vector<std::string> lines;
    for (int n = from; n <= to; ++n)
      lines.insert(lines.end(), {"Attempt to move " + file(source) + " to destination failed: " + reason,
                                 "Waiting " + std::to_string(n) + " seconds to try again."});
    return lines;
  };
  const std::string denied = "Access is denied.";
  const struct {
    const char* what;
    bool alternates;
    std::function<void()> setup;
    std::function<void(int)> at_wait;
    std::string result;  // the name saved under, or the failure text
    int attempts;
    std::string reason = "Access is denied.";
  } cases[] = {
      {"a folder in the way, alternates allowed", true, [&] { fs::create_directories(native("out/beauty0001.exr")); },
       {}, file("out/beauty0001_alt_0.exr"), 5},
      {"a folder in the way, no alternates", false, [&] { fs::create_directories(native("out/beauty0001.exr")); }, {},
       "Failed to save " + file("out/beauty0001.exr") + ": " + denied, 5},
      {"the folder goes after the second wait", true,
       [&] {
         fs::create_directories(native("out/beauty0001.exr"));
         write_text(native("out/beauty0001.exr/blocker"), "");
       },
       [&](int wait) {
         if (wait == 2) fs::remove_all(native("out/beauty0001.exr"));
       },
       file("out/beauty0001.exr"), 2},
      {"no source, and a stale file", true,
       [&] {
         fs::remove(native(source));
         write_text(native("out/beauty0001.exr"), "an older render");
       },
       [&](int) { EXPECT_FALSE(fs::exists(native("out/beauty0001.exr"))) << "the stale file is removed"; },
       "Failed to save " + file("out/beauty0001.exr") + ": The system cannot find the file specified.", 10,
       "The system cannot find the file specified."},
  };
  local_rendering();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(native("out"));
    fs::create_directories(native("out"));
    write_text(native(source), "image");
    state.useAltOutput = c.alternates;
    c.setup();
    const RecordedSleeps sleeps(c.at_wait);
    std::wstring saved;
    const std::string failure = failure_of(
        [&] { saved = SaveWithRetry(state, host_path(source), host_path("out/beauty0001.exr"), connection); });
    EXPECT_EQ(saved.empty() ? failure : narrow(saved), c.result);
    std::vector<std::string> expected = attempts(1, c.attempts, c.reason);
    if (!saved.empty()) expected.push_back("Saved image to " + c.result);
    EXPECT_EQ(farm.take(), expected);
    EXPECT_EQ(sleeps.waits.size(), std::size_t(c.attempts));
    EXPECT_EQ(sleeps.waits.back(), 1000u * c.attempts);
    std::string saved_native = testing::narrow(saved);
    std::replace(saved_native.begin(), saved_native.end(), '\\', '/');
    EXPECT_TRUE(saved.empty() || read_text(saved_native) == "image");
    EXPECT_EQ(fs::exists(native(source)), saved.empty() && c.attempts == 5) << "the local file stays for a later try";
  }
  // A legal name as long as the file system allows is copied at once: the copy's temporary
  // name beside it does not grow with it.
  const std::string longest = "out/" + std::string(251, 'n') + ".exr";
  write_text(native(source), "image");
  EXPECT_EQ(SaveWithRetry(state, host_path(source), host_path(longest), connection), host_path(longest));
  EXPECT_EQ(read_text(native(longest)), "image");
}

// An image of any size that holds one colour without the memory for it, read a row at a time.
class UniformStorage : public BitmapStorage {
 public:
  UniformStorage(int width, int height, BMM_Color_fl colour) : width_(width), height_(height), colour_(colour) {}
  int Width() const override { return width_; }
  int Height() const override { return height_; }
  bool GetPixel(int, int, BMM_Color_fl&) const override { return ++pixelReads, false; }
  bool PutPixel(int, int, const BMM_Color_fl&) override { return false; }
  int GetLinearPixels(int x, int y, int pixels, BMM_Color_fl* line) const override {
    ++rowReads;
    if (x != 0 || y < 0 || y >= height_ || pixels != width_) return 0;
    std::fill_n(line, pixels, colour_);
    return 1;
  }
  int CopyImage(Bitmap*, int, const BMM_Color_fl&, BitmapInfo*) override { return 0; }
  mutable long long pixelReads = 0, rowReads = 0;

 private:
  int width_, height_;
  BMM_Color_fl colour_;
};

class StorageBitmap : public Bitmap {
 public:
  explicit StorageBitmap(BitmapStorage* storage) : storage_(storage) {}
  int Width() const override { return storage_ ? storage_->Width() : 0; }
  int Height() const override { return storage_ ? storage_->Height() : 0; }
  BitmapStorage* Storage() override { return storage_; }
  void PrepareGChannels(BitmapInfo*) override {}
  int OpenOutput(BitmapInfo*) override { return BMMRES_NOT_WRITABLE; }
  int Write(BitmapInfo*, int) override { return BMMRES_NOT_OPEN; }
  int Close(BitmapInfo*, int) override { return BMMRES_NOT_OPEN; }
  int Display(const wchar_t*, int, BOOL, BOOL, void*, Bitmap*) override { return 0; }
  int UnDisplay() override { return 0; }
  void DeleteThis() override {}

 private:
  BitmapStorage* storage_;
};

TEST_F(OutputTest, BlackFramesAreDarkPixelsOfTransparentOrOpaqueAlphaCountedAgainstTheMinimum) {
  const auto check = [&](Bitmap* image, int percentage, float threshold) {
    state.blackPixelPercentage = percentage;
    state.blackPixelThreshold = threshold;
    return failure_of([&] { CheckBlackFrame(state, image, connection); });
  };
  const auto black_at = [](int percent) {
    return std::to_string(percent) + "% of the output image is black, which equals or exceeds the minimum of " +
           std::to_string(percent) + "%";
  };
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    BMM_Color_fl colour;
    float threshold;
    bool black;
  } pixels[] = {
      {{0.05f, 0.05f, 0.05f, 1.0f}, 0.1f, true}, {{0.05f, 0.2f, 0.05f, 1.0f}, 0.1f, false},
      {{0.0f, 0.0f, 0.0f, 0.5f}, 0.1f, false},   {{0.1f, 0.1f, 0.1f, 0.0f}, 0.1f, true},  // at the threshold counts
      {{0.0f, 0.0f, 0.0f, 0.9f}, 0.1f, true},    {{0.0f, 0.0f, 0.0f, 0.5f}, 0.5f, true},  // at 0.5 every alpha
      {{0.51f, 0.0f, 0.0f, 1.0f}, 0.5f, false},  {{0.0f, 0.0f, 0.0f, 0.0f}, 0.0f, true},
      {{0.0f, 0.0f, 0.0f, 0.5f}, 0.0f, false},   {{0.0f, 0.0f, 1e-7f, 1.0f}, 0.0f, false},
      {{nan, 0.0f, 0.0f, 1.0f}, 0.1f, false},    {{0.0f, 0.0f, 0.0f, nan}, 0.5f, false},
  };
  for (const auto& c : pixels) {
    const auto image = testing::filled_bitmap(5, 2, c.colour);  // four pixels at a time, and one more
    EXPECT_EQ(check(image.get(), 100, c.threshold), c.black ? black_at(100) : "no failure")
        << c.colour.r << " " << c.colour.g << " " << c.colour.b << " " << c.colour.a << " at " << c.threshold;
  }
  farm.take();

  // The share is rounded down; a minimum of 0 fails every image it tests.
  const auto image = testing::filled_bitmap(100, 100, {0, 0, 0, 1});
  image->Storage()->PutPixel(42, 17, {1, 1, 1, 1});
  EXPECT_EQ(check(image.get(), 100, 0.1f), "no failure");
  EXPECT_EQ(check(image.get(), 99, 0.25f), black_at(99));
  EXPECT_THAT(farm.take(), ElementsAre("  blackPixelPercentage = 100%", "  blackPixelThreshold = 0.1",
                                       "9999 of 10000 pixels are considered black (99%)", "  blackPixelPercentage = 99%",
                                       "  blackPixelThreshold = 0.25", "9999 of 10000 pixels are considered black (99%)",
                                       "99% of the output image is considered black, failing render..."));
  EXPECT_EQ(check(testing::filled_bitmap(4, 4, {1, 1, 1, 1}).get(), 0, 0.1f), black_at(0));

  // A large image counts in 64 bits and is read a row at a time; one without pixels is refused.
  UniformStorage large(8192, 4096, {0, 0, 0, 1});
  StorageBitmap large_bitmap(&large);
  farm.take();
  EXPECT_EQ(check(&large_bitmap, 100, 0.1f), black_at(100));
  EXPECT_EQ(farm.take().at(2), "33554432 of 33554432 pixels are considered black (100%)");
  EXPECT_EQ(large.rowReads, 4096);
  EXPECT_EQ(large.pixelReads, 0);
  UniformStorage empty(0, 7, {0, 0, 0, 1});
  StorageBitmap empty_bitmap(&empty), no_storage(nullptr);
  EXPECT_EQ(check(&empty_bitmap, 50, 0.1f),
            "The output image has no pixels (0x7), so it cannot be tested for black pixels");
  EXPECT_EQ(check(&no_storage, 50, 0.1f),
            "The output image has no pixels (0x0), so it cannot be tested for black pixels");
}

}  // namespace
}  // namespace paravelle::render
