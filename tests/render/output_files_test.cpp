#include "render/output_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "host/files.h"
#include "render/render_fixture.h"

namespace paravelle::render {
namespace {

using testing::BitmapPtr;
using ::testing::ElementsAre;
using testing::FarmLines;
using testing::filled_bitmap;
using testing::Folder;
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

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string error_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no error";
}

// The host's error number that a FileError keeps, with the host's text for it.
std::pair<int, std::string> file_error_code_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const FileError& error) {
    EXPECT_EQ(&error.code().category(), &host_file_category());
    return {error.code().value(), error.code().message()};
  }
  return {-1, "no FileError"};
}

TEST(NormalizePath, SlashesBecomeSingleBackslashesAndANetworkPairStays) {
  const struct {
    std::wstring path, normalised;
  } cases[] = {
      {L"D:/out//beauty.exr", L"D:\\out\\beauty.exr"},
      {L"\\\\server\\share//x.exr", L"\\\\server\\share\\x.exr"},
      {L"//server/share/x.exr", L"\\\\server\\share\\x.exr"},
      {L"a\\\\\\b", L"a\\\\b"},  // a run of n backslashes keeps n/2 rounded up
      {L"a\\\\\\\\b", L"a\\\\b"},
      {L"\\\\\\x", L"\\\\x"},
      {L"/", L"\\"},
      {L"//", L"\\\\"},
      {L"", L""},
      {L"shot", L"shot"},
  };
  for (const auto& c : cases) EXPECT_EQ(NormalizePath(c.path), c.normalised) << narrow(c.path);
}

TEST(FrameOutputName, FrameNumberBetweenStemAndExtension) {
  constexpr auto smallest = std::numeric_limits<std::int32_t>::min();
  constexpr auto largest = std::numeric_limits<std::int32_t>::max();
  const struct {
    std::wstring name;
    std::int32_t number;
    std::wstring framed;
  } cases[] = {
      {L"shot", 3, L"shot0003"},
      {L"D:\\a\\b.c.exr", 1, L"D:\\a\\b.c0001.exr"},
      {L"D:/out/beauty.exr", 12, L"D:\\out\\beauty0012.exr"},
      {L"beauty.exr", 12345, L"beauty12345.exr"},
      {L"beauty.exr", 0, L"beauty0000.exr"},
      {L"beauty.exr", -7, L"beauty-007.exr"},
      {L"beauty.exr", -1234, L"beauty-1234.exr"},
      {L"beauty.exr", largest, L"beauty2147483647.exr"},
      {L"beauty.exr", smallest, L"beauty-2147483648.exr"},
      {L"C:\\x.png", 5, L"C:\\x0005.png"},
      {L"\\\\srv\\share//f.png", 5, L"\\\\srv\\share\\f0005.png"},
      {L"\\tmp\\frames\\.hidden", 2, L"\\tmp\\frames\\0002.hidden"},
  };
  for (const auto& c : cases) EXPECT_EQ(FrameOutputName(c.name, c.number), c.framed) << narrow(c.name);
}

TEST(OutputPaths, MissingFoldersAreCreatedWithTheirParentsAndLogged) {
  const Folder folder;
  FarmLines farm;
  BitmapInfo info;
  info.SetName((folder.host("a/b/c") + L"\\beauty0001.exr").c_str());
  CreateOutputPath(info, farm.connection);
  EXPECT_TRUE(fs::is_directory(folder.native("a/b/c")));
  EXPECT_THAT(farm.take(), ElementsAre("Creating output path: " + narrow(folder.host("a/b/c"))));
  CreateOutputPath(info, farm.connection);
  info.SetName(L"");
  CreateOutputPath(info, farm.connection);
  EXPECT_TRUE(farm.take().empty()) << "an existing folder and an empty name do nothing";

  CreateDirectories(folder.host("x/y") + L"\\");
  CreateDirectories(std::wstring(folder.native().begin(), folder.native().end()) + L"/p/q/");
  CreateDirectories(L"");
  EXPECT_TRUE(fs::is_directory(folder.native("x/y")));
  EXPECT_TRUE(fs::is_directory(folder.native("p/q")));

  EXPECT_TRUE(directory_exists(folder.host("x")));
  write_text(folder.native("file"), "x");
  EXPECT_FALSE(directory_exists(folder.host("file")));
  EXPECT_FALSE(directory_exists(folder.host("absent")));
  fs::create_symlink(folder.native("loop"), folder.native("loop"));
  EXPECT_EQ(error_of([&] { directory_exists(folder.host("loop")); }),
            "Could not get the status of \"" + narrow(folder.host("loop")) +
                "\": The name of the file cannot be resolved by the system.");
  EXPECT_EQ(file_error_code_of([&] { directory_exists(folder.host("loop")); }),
            std::make_pair(1921, std::string("The name of the file cannot be resolved by the system.")));
}

class WriteOutputTest : public ::testing::Test {
 protected:
  BitmapInfo description(const std::string& name) {
    BitmapInfo info;
    info.SetName(folder.host(name).c_str());
    info.SetType(BMM_FLOAT_RGBA_32);
    info.SetFlags(MAP_HAS_ALPHA);
    return info;
  }

  Folder folder;
  FarmLines farm;
  job::JobState state;
  BitmapPtr bitmap = filled_bitmap(8, 6, {0.25f, 0.5f, 0.75f, 1.0f});
};

TEST_F(WriteOutputTest, WritesThroughTheHostAndRecordsTheFileWithItsCompanion) {
  write_text(folder.native("A_beauty0001.exr"), "companion");
  BitmapInfo info = description("beauty0001.exr");
  WriteOutputFile(state, bitmap.get(), info, farm.connection);

  EXPECT_THAT(farm.take(), ElementsAre("Writing to output file: " + narrow(folder.host("beauty0001.exr"))));
  EXPECT_THAT(state.writtenOutputFiles, ElementsAre(folder.host("beauty0001.exr"), folder.host("A_beauty0001.exr")));
  const auto image = read_image(folder.native("beauty0001.exr"));
  EXPECT_EQ(image.width, 8);
  EXPECT_EQ(image.height, 6);
  EXPECT_EQ(image.at(7, 5, 2), 0.75f);
}

TEST_F(WriteOutputTest, TheHostsCodesBecomeTheFailureTexts) {
  BitmapInfo unknown = description("beauty.xyz");
  EXPECT_EQ(error_of([&] { WriteOutputFile(state, bitmap.get(), unknown, farm.connection); }),
            "Error in bm->OpenOutput(): error code 1");
  BitmapInfo missingFolder = description("absent/beauty.exr");
  EXPECT_EQ(error_of([&] { WriteOutputFile(state, bitmap.get(), missingFolder, farm.connection); }),
            "Error in bm->OpenOutput(): error code 2");
  EXPECT_TRUE(state.writtenOutputFiles.empty());
}

TEST_F(WriteOutputTest, LocalRenderingGoesThroughTheTempFolder) {
  fs::create_directories(folder.native("temp"));
  fs::create_directories(folder.native("out"));
  state.localRendering = true;
  state.tempFolder = folder.host("temp");
  // Some formats leave a companion file beside the image; it travels with it.
  write_text(folder.native("temp/A_beauty0002.exr"), "companion");
  BitmapInfo info = description("out/beauty0002.exr");
  WriteOutputFile(state, bitmap.get(), info, farm.connection);

  const std::string temp = narrow(folder.host("temp")) + "\\";
  EXPECT_THAT(farm.take(), ElementsAre("Saved image to " + narrow(folder.host("out/beauty0002.exr")),
                                       "Saved image to " + narrow(folder.host("out/A_beauty0002.exr"))));
  EXPECT_THAT(state.writtenOutputFiles,
              ElementsAre(folder.host("out/beauty0002.exr"), folder.host("out/A_beauty0002.exr")));
  EXPECT_EQ(read_image(folder.native("out/beauty0002.exr")).width, 8);
  EXPECT_EQ(read_text(folder.native("out/A_beauty0002.exr")), "companion");
  EXPECT_TRUE(names_in(folder.native("temp")).empty()) << "a copied file leaves the temp folder";
  EXPECT_EQ(narrow(info.Name()), narrow(folder.host("out/beauty0002.exr"))) << "the description keeps its name";
}

TEST_F(WriteOutputTest, AFileSavedUnderAnAlternateNameIsRecordedUnderThatName) {
  fs::create_directories(folder.native("temp"));
  fs::create_directories(folder.native("out/beauty0003.exr"));  // a folder where the file should go
  state.localRendering = true;
  state.useAltOutput = true;
  state.tempFolder = folder.host("temp");
  const RecordedSleeps sleeps;
  BitmapInfo info = description("out/beauty0003.exr");
  WriteOutputFile(state, bitmap.get(), info, farm.connection);

  EXPECT_THAT(state.writtenOutputFiles, ElementsAre(folder.host("out/beauty0003_alt_0.exr")));
  EXPECT_EQ(read_image(folder.native("out/beauty0003_alt_0.exr")).height, 6);
}

TEST_F(WriteOutputTest, RegionOutputCutsThePaddingOff) {
  // A padded crop render of 10x8 whose padding of 2 was cut at the image's left edge by 1.
  BitmapPtr rendered = filled_bitmap(10, 8, {0, 0, 0, 0});
  rendered->Storage()->PutPixel(1, 2, {1, 0, 0, 1});  // lands at (1 + 1 - 2, 2 + 0 - 2) = (0, 0)
  state.regionPadding = 2;
  state.regionLeftOver = 1;
  BitmapInfo info = description("region.exr");
  WriteRegionOutput(state, rendered.get(), info, farm.connection);

  const auto image = read_image(folder.native("region.exr"));
  ASSERT_EQ(image.width, 10 + 1 - 4);
  ASSERT_EQ(image.height, 8 - 4);
  EXPECT_EQ(image.at(0, 0, 0), 1.0f);
  EXPECT_EQ(image.at(1, 0, 3), 0.0f) << "the fill is transparent black";
  EXPECT_EQ(info.Width(), 640) << "the caller's description is left as it was";

  state.regionPadding = 0;
  state.regionLeftOver = 0;
  BitmapInfo whole = description("whole.exr");
  WriteRegionOutput(state, rendered.get(), whole, farm.connection);
  EXPECT_EQ(read_image(folder.native("whole.exr")).width, 10) << "without padding the render is written as it is";
  EXPECT_THAT(state.writtenOutputFiles, ElementsAre(folder.host("region.exr"), folder.host("whole.exr")));
}

TEST_F(WriteOutputTest, RegionSizesThatCannotBeImagesAreRefused) {
  state.regionPadding = 1;
  state.regionLeftOver = 70000;
  BitmapInfo info = description("region.exr");
  EXPECT_EQ(error_of([&] { WriteRegionOutput(state, bitmap.get(), info, farm.connection); }),
            "The region output of 70006x4 pixels does not fit an image (0 to 65535 pixels a side)");
  state.regionLeftOver = 0;
  state.regionPadding = 5;
  EXPECT_EQ(error_of([&] { WriteRegionOutput(state, bitmap.get(), info, farm.connection); }),
            "The region output of -2x-4 pixels does not fit an image (0 to 65535 pixels a side)");
  state.regionPadding = 1;
  state.regionLeftOver = state.regionTopOver = 40000;
  EXPECT_EQ(error_of([&] { WriteRegionOutput(state, bitmap.get(), info, farm.connection); }),
            "Failed to allocate region Bitmap: TheManager->Create() return NULL");
  EXPECT_FALSE(fs::exists(folder.native("region.exr")));
}

TEST_F(WriteOutputTest, TheJpegCopyGluesItsFolderToTheFileName) {
  state.jpegOutputPath = folder.host("jpg");  // no separator at its end
  BitmapInfo info = description("out/beauty0004.exr");
  WriteJpegOutput(state, bitmap.get(), info, farm.connection);
  EXPECT_THAT(farm.take(), ElementsAre("Writing jpeg output to: " + narrow(folder.host("jpgbeauty0004.jpg"))));
  EXPECT_TRUE(fs::exists(folder.native("jpgbeauty0004.jpg")));

  fs::create_directories(folder.native("temp"));
  fs::create_directories(folder.native("jpg"));
  state.localRendering = true;
  state.tempFolder = folder.host("temp") + L"\\";
  state.jpegOutputPath = folder.host("jpg") + L"\\";
  WriteJpegOutput(state, bitmap.get(), info, farm.connection);
  EXPECT_THAT(farm.take(), ElementsAre("Writing jpeg output to: " + narrow(folder.host("temp/beauty0004.jpg")),
                                       "Saved image to " + narrow(folder.host("jpg/beauty0004.jpg"))));
  EXPECT_EQ(read_image(folder.native("jpg/beauty0004.jpg")).width, 8);
  EXPECT_TRUE(state.writtenOutputFiles.empty()) << "the JPEG copy is not an output of the frame";
}

class SaveWithRetryTest : public ::testing::Test {
 protected:
  SaveWithRetryTest() {
    fs::create_directories(folder.native("temp"));
    fs::create_directories(folder.native("out"));
    write_text(folder.native("temp/beauty0001.exr"), "image");
  }

  std::wstring save() { return SaveWithRetry(state, source, destination, farm.connection); }

  std::vector<std::string> attempt_lines(int from, int to) const {
    std::vector<std::string> lines;
    for (int n = from; n <= to; ++n) {
      lines.push_back("Attempt to move " + narrow(source) + " to destination failed: " + reason);
      lines.push_back("Waiting " + std::to_string(n) + " seconds to try again.");
    }
    return lines;
  }

  Folder folder;
  FarmLines farm;
  job::JobState state;
  std::wstring source = folder.host("temp/beauty0001.exr");
  std::wstring destination = folder.host("out/beauty0001.exr");
  std::string reason = "Access is denied.";
};

TEST_F(SaveWithRetryTest, AnUnwritableDestinationFallsBackToTheFirstAlternate) {
  state.useAltOutput = true;
  fs::create_directories(folder.native("out/beauty0001.exr"));
  const RecordedSleeps sleeps;

  EXPECT_EQ(save(), folder.host("out/beauty0001_alt_0.exr"));
  auto expected = attempt_lines(1, 5);
  expected.push_back("Saved image to " + narrow(folder.host("out/beauty0001_alt_0.exr")));
  EXPECT_EQ(farm.take(), expected);
  EXPECT_THAT(sleeps.waits, ElementsAre(1000, 2000, 3000, 4000, 5000));
  EXPECT_EQ(read_text(folder.native("out/beauty0001_alt_0.exr")), "image");
  EXPECT_EQ(names_in(folder.native("out")), (std::set<std::string>{"beauty0001.exr", "beauty0001_alt_0.exr"}))
      << "no partial copy is left behind";
  EXPECT_TRUE(names_in(folder.native("temp")).empty());
}

TEST_F(SaveWithRetryTest, WithoutAlternatesTheFifthFailureEndsTheSave) {
  state.useAltOutput = false;
  fs::create_directories(folder.native("out/beauty0001.exr"));
  const RecordedSleeps sleeps;

  EXPECT_EQ(error_of([&] { save(); }), "Failed to save " + narrow(destination) + ": Access is denied.");
  EXPECT_EQ(farm.take(), attempt_lines(1, 5));
  EXPECT_THAT(sleeps.waits, ElementsAre(1000, 2000, 3000, 4000, 5000));
  EXPECT_EQ(file_error_code_of([&] { save(); }), std::make_pair(5, reason)) << "the last attempt's number is kept";
  EXPECT_EQ(names_in(folder.native("out")), std::set<std::string>{"beauty0001.exr"});
  EXPECT_EQ(read_text(folder.native("temp/beauty0001.exr")), "image") << "the local file stays for a later try";
}

TEST_F(SaveWithRetryTest, ADestinationThatBecomesWritableGetsTheFileUnderItsOwnName) {
  state.useAltOutput = true;
  fs::create_directories(folder.native("out/beauty0001.exr"));
  write_text(folder.native("out/beauty0001.exr/blocker"), "");
  const RecordedSleeps sleeps([&](int wait) {
    if (wait == 2) fs::remove_all(folder.native("out/beauty0001.exr"));
  });

  EXPECT_EQ(save(), destination);
  auto expected = attempt_lines(1, 2);
  expected.push_back("Saved image to " + narrow(destination));
  EXPECT_EQ(farm.take(), expected);
  EXPECT_THAT(sleeps.waits, ElementsAre(1000, 2000));
  EXPECT_EQ(read_text(folder.native("out/beauty0001.exr")), "image");
}

// A legal name as long as the file system allows is copied on the first attempt: the copy's
// temporary name beside it does not grow with it.
TEST_F(SaveWithRetryTest, ADestinationNameAtTheFileSystemsLimitIsSavedAtOnce) {
  for (const std::size_t length : {236, 255}) {
    write_text(folder.native("temp/beauty0001.exr"), "image");
    const std::string name = std::string(length - 4, 'n') + ".exr";
    destination = folder.host("out/" + name);
    const RecordedSleeps sleeps;
    EXPECT_EQ(save(), destination) << length;
    EXPECT_EQ(farm.take(), std::vector<std::string>{"Saved image to " + narrow(destination)}) << length;
    EXPECT_TRUE(sleeps.waits.empty()) << length;
    EXPECT_EQ(read_text(folder.native("out/" + name)), "image") << length;
  }
  EXPECT_EQ(names_in(folder.native("out")).size(), 2u) << "no partial copy is left behind";
}

TEST_F(SaveWithRetryTest, EveryAttemptFailingTriesFiveAlternatesAndGivesTheLastReason) {
  state.useAltOutput = true;
  fs::remove(folder.native("temp/beauty0001.exr"));
  write_text(folder.native("out/beauty0001.exr"), "an older render");
  reason = "The system cannot find the file specified.";
  std::vector<bool> destinationGone;
  const RecordedSleeps sleeps(
      [&](int) { destinationGone.push_back(!fs::exists(folder.native("out/beauty0001.exr"))); });

  EXPECT_EQ(error_of([&] { save(); }), "Failed to save " + narrow(destination) + ": " + reason);
  EXPECT_EQ(farm.take(), attempt_lines(1, 10));
  EXPECT_THAT(sleeps.waits, ElementsAre(1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000, 9000, 10000));
  EXPECT_EQ(std::count(destinationGone.begin(), destinationGone.end(), true), 10)
      << "a stale file under the final name is removed, so no one mistakes it for this frame";
  EXPECT_TRUE(names_in(folder.native("out")).empty());
}

TEST_F(SaveWithRetryTest, AReadOnlyFolderRefusesEveryNameInIt) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  state.useAltOutput = true;
  fs::permissions(folder.native("out"), fs::perms::owner_read | fs::perms::owner_exec);
  const RecordedSleeps sleeps;
  EXPECT_EQ(error_of([&] { save(); }), "Failed to save " + narrow(destination) + ": Access is denied.");
  EXPECT_EQ(farm.take(), attempt_lines(1, 10));
  fs::permissions(folder.native("out"), fs::perms::owner_all);
  EXPECT_TRUE(names_in(folder.native("out")).empty());
}

// ASCII test paths as the host takes them.
std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

TEST(FileExists, TrueOnlyForFilesThatAreNotFolders) {
  const paravelle::testing::TempFolder folder;
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
  const paravelle::testing::TempFolder folder;
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
