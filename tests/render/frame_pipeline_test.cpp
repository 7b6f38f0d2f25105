#include "render/frame_pipeline.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>

#include <nlohmann/json.hpp>

#include "host/standalone/bitmaps.h"
#include "render/job_fixture.h"
#include "render/job_start.h"
#include "render/render_fixture.h"
#include "render/renderer.h"

namespace paravelle::render {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::narrow;
using testing::read_image;

namespace fs = std::filesystem;

// A manager that makes the first `successes` bitmaps and refuses the rest.
class RationedManager : public BitmapManager {
 public:
  explicit RationedManager(int successes) : left_(successes), previous_(TheManager) { TheManager = this; }
  ~RationedManager() override { TheManager = previous_; }
  Bitmap* Create(BitmapInfo* info) override { return left_-- > 0 ? previous_->Create(info) : nullptr; }

 private:
  int left_;
  BitmapManager* previous_;
};

class FramePipelineTest : public JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    host::standalone::reset_display_counters();
    liveBefore = host::standalone::live_bitmap_count();
    // The placeholder name of a scene that does not save asks for the host's data folder.
    setenv("PARAVELLE_DATA_DIR", native("data").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("PARAVELLE_DATA_DIR");
    JobTest::TearDown();
    EXPECT_EQ(host::standalone::live_bitmap_count(), liveBefore) << "every bitmap of a frame is freed";
  }

  std::string native(const std::string& name) const { return folder.path() + "/" + name; }
  // A file of the test's folder as the plug-in names it.
  std::wstring host_path(const std::string& name) const {
    std::wstring path;
    for (const char c : native(name)) path += c == '/' ? L'\\' : wchar_t(c);
    return path;
  }
  std::string file(const std::string& name) const { return narrow(host_path(name)); }

  // 64x48, one sample: a sphere lit only by ambient light, so a lit pixel is its colour.
  nlohmann::json scene() const {
    nlohmann::json scene = nlohmann::json::parse(R"({
      "format": "paravelle-scene", "version": 1,
      "render": {"width": 64, "height": 48, "samples_per_axis": 1, "threads": 2, "tile_size": 16, "save_file": true},
      "environment": {"background": [0, 0, 0], "background_alpha": 0, "ambient": [1, 1, 1]},
      "nodes": [
        {"name": "Cam", "type": "camera", "fov": 45, "position": [0, -10, 0], "target": [0, 0, 0]},
        {"name": "Ball", "type": "sphere", "radius": 1, "colour": [0.2, 0.4, 0.6], "position": [0, 0, 0]}],
      "viewports": [{"camera": "Cam"}],
      "render_elements": {"active": true, "elements": [
        {"name": "Alpha", "content": "alpha"}, {"name": "ZDepth", "content": "zdepth", "z_min": 5, "z_max": 15}]}
    })");
    scene["render"]["output_file"] = narrow(host_path("out/beauty.exr"));
    scene["render_elements"]["elements"][0]["file"] = narrow(host_path("elements/alpha.exr"));
    scene["render_elements"]["elements"][1]["file"] = narrow(host_path("elements/zdepth.exr"));
    return scene;
  }

  void start(const nlohmann::json& scene) {
    StartJob(state, scene_file(scene), L"Cam");
    farm_messages();
  }

  // The frame's failure text, or the empty text.
  std::string render(std::int32_t frame) {
    try {
      RenderFrame(state, frame, connection);
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return {};
  }

  // The plug-in's own lines, warnings as "WARN: ..."; the renderer's progress comes at its
  // own pace and is left out.
  std::vector<std::string> lines() {
    static const std::string line = "FUNCTION: STDOUT: MaxParavelle: ", warning = "FUNCTION: WARN: MaxParavelle: ";
    std::vector<std::string> kept;
    for (const std::string& message : farm_messages()) {
      if (message.rfind(line, 0) == 0) kept.push_back(message.substr(line.size()));
      if (message.rfind(warning, 0) == 0) kept.push_back("WARN: " + message.substr(warning.size()));
    }
    return kept;
  }

  std::int64_t liveBefore = 0;
};

TEST_F(FramePipelineTest, AFrameWritesItsImageElementsAndJpegCopyWithEveryLineInOrder) {
  nlohmann::json description = scene();
  description["renderer"]["float_output"] = true;
  start(description);
  state.frameNumberBase = 100;
  state.useJpegOutput = true;
  state.jpegOutputPath = host_path("jpg") + L"\\";
  state.showFrameBuffer = true;

  EXPECT_EQ(render(3), "");
  EXPECT_THAT(
      lines(),
      ElementsAre("Render frame 3", "Rendering frame \"" + file("out/beauty0103.exr") + "\"",
                  "Rendering 2 render elements", "Setting up render parameters", "Rendering camera node Cam",
                  "Checking multipass info for frame 3", "Opening renderer", "Multipass disabled", "Rendering 1 passes",
                  "Checking output paths", "Creating output path: " + file("out"),
                  "Creating jpeg output path: " + file("jpg") + "\\", "Creating output path: " + file("elements"),
                  "Checking default actions", "  TYPE_MISSING_EXTERNAL_FILES = FAIL", "  TYPE_MISSING_UVWS = FAIL",
                  "  TYPE_MISSING_DLL_FILES = FAIL", "  TYPE_MISSING_XREF_FILES = FAIL", "Calling renderer",
                  "CallCurRendererRenderFrame returned code 1", "Render done",
                  "Writing to output file: " + file("out/beauty0103.exr"),
                  "Writing jpeg output to: " + file("jpg/beauty0103.jpg"), "Checking render elements",
                  "Writing to output file: " + file("elements/alpha0103.exr"),
                  "Writing to output file: " + file("elements/zdepth0103.exr")));
  EXPECT_THAT(state.writtenOutputFiles,
              ElementsAre(host_path("out/beauty0103.exr"), host_path("elements/alpha0103.exr"),
                          host_path("elements/zdepth0103.exr")));
  const std::regex bitmapLine("Bitmap [0-9A-F]{16}");
  const std::regex elementLine("Element Bitmap [0-9A-F]{16}");
  const auto logged = log.lines();
  EXPECT_EQ(std::count_if(logged.begin(), logged.end(), [&](auto& l) { return std::regex_match(l, bitmapLine); }), 1);
  EXPECT_EQ(std::count_if(logged.begin(), logged.end(), [&](auto& l) { return std::regex_match(l, elementLine); }), 2);

  const auto beauty = read_image(native("out/beauty0103.exr"));
  EXPECT_EQ(beauty.width, 64);
  EXPECT_NEAR(beauty.at(32, 24, 1), 0.4f, 1e-3f);
  EXPECT_EQ(read_image(native("elements/alpha0103.exr")).at(32, 24, 0), 1.0f);
  EXPECT_EQ(read_image(native("jpg/beauty0103.jpg")).height, 48);
  EXPECT_EQ(host::standalone::display_counters().display_calls, 1);
  EXPECT_EQ(host::standalone::display_counters().shown_now, 0);
  EXPECT_EQ(state.outputBitmapInfo.Type(), BMM_FLOAT_RGBA_32) << "the renderer asks for float output";
  EXPECT_EQ(state.renderElements[1].output->bi.Type(), BMM_FLOAT_RGBA_32);
  EXPECT_NE(state.outputBitmapInfo.Flags() & MAP_HAS_ALPHA, 0u);

  // Back to the names the frame started from; the renderer stays open for the next frame.
  EXPECT_EQ(narrow(state.outputBitmapInfo.Name()), file("out/beauty.exr"));
  EXPECT_EQ(narrow(state.renderElements[0].output->bi.Name()), file("elements/alpha.exr"));
  EXPECT_TRUE(state.rendererOpen);
  EXPECT_TRUE(host().renderer_open());
}

TEST_F(FramePipelineTest, SettingsThatChangeWhatAFrameWrites) {
  fs::create_directories(native("temp"));
  const std::vector<std::string> everything{"out/beauty0007.exr", "elements/alpha0007.exr", "elements/zdepth0007.exr"};
  const struct {
    const char* what;
    std::function<void(nlohmann::json&)> scene;
    std::function<void(job::JobState&)> settings;
    std::vector<std::string> written;  // in the order written
    std::string line = {};             // a line the frame must send
    int displays = 1;                  // frame buffer windows shown
  } cases[] = {
      {"remove padding keeps the names",
       {},
       [](auto& s) { s.removePadding = true; },
       {"out/beauty.exr", "elements/alpha.exr", "elements/zdepth.exr"}},
      {"a save-file override of 0 writes only the elements",
       {},
       [](auto& s) {
         s.overrideSaveFile = true;
         s.saveFile = false;
       },
       {"elements/alpha0007.exr", "elements/zdepth0007.exr"},
       "Overriding save file option to 0"},
      {"a renderer that saves its own output",
       [](auto& j) { j["renderer"]["saves_own_output"] = true; },
       {},
       {"elements/alpha0007.exr", "elements/zdepth0007.exr"}},
      {"the output name and element names of the farm",
       {},
       [this](auto& s) {
         s.useOutputImageFilename = true;
         s.outputImageFilename = host_path("farm/shot_.png");
         s.useRenderElementFilenames = true;
         s.renderElementFilenames = {host_path("farm/a_.png")};  // none for the second element
       },
       {"farm/shot_0007.png", "farm/a_0007.png"},
       "WARN: Not saving render element 1 because its output path is empty"},
      {"ignored elements are rendered but not written",
       {},
       [](auto& s) { s.ignoredRenderElementNames = {L"ZDepth"}; },
       {"out/beauty0007.exr", "elements/alpha0007.exr"}},
      {"elements switched off", {}, [](auto& s) { s.renderElementsEnabled = false; }, {"out/beauty0007.exr"}},
      {"local rendering goes through the temp folder",
       {},
       [this](auto& s) {
         s.localRendering = true;
         s.tempFolder = host_path("temp");
       },
       everything,
       "Saved image to " + file("elements/zdepth0007.exr")},
      {"no JPEG folder",
       {},
       [](auto& s) {
         s.useJpegOutput = true;
         s.jpegOutputPath.clear();
       },
       everything,
       "No jpeg output path specified, disabling jpeg output"},
      {"a JPEG folder whose state cannot be read",
       {},
       [this](auto& s) {
         s.useJpegOutput = true;
         s.jpegOutputPath = host_path("loop") + L"\\";
       },
       everything,
       "Could not create jpeg output path, disabling jpeg output"},
      {"a JPEG copy that cannot be written",
       {},
       [this](auto& s) {
         s.useJpegOutput = true;
         s.jpegOutputPath = host_path("scene.json") + L"\\";  // a file, not a folder
       },
       everything,
       "Failed to save jpeg output because: Error in bm->OpenOutput(): error code 2"},
      {"a hidden frame buffer", {}, [](auto& s) { s.showFrameBuffer = false; }, everything, {}, 0},
      {"the renderer of kind A shows none", {}, [](auto& s) { s.rendererIsTypeA = true; }, everything, {}, 0},
  };
  fs::create_symlink(native("loop"), native("loop"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    state = job::JobState{};
    host::standalone::reset_display_counters();
    nlohmann::json description = scene();
    if (c.scene) c.scene(description);
    start(description);
    if (c.settings) c.settings(state);
    EXPECT_EQ(render(7), "");
    std::vector<std::wstring> expected;
    for (const std::string& name : c.written) {
      expected.push_back(host_path(name));
      EXPECT_TRUE(fs::is_regular_file(native(name))) << name;
    }
    EXPECT_EQ(state.writtenOutputFiles, expected);
    if (!c.line.empty()) {
      EXPECT_THAT(lines(), Contains(c.line));
    }
    EXPECT_EQ(host::standalone::display_counters().display_calls, c.displays);
    EXPECT_TRUE(fs::is_empty(native("temp")));
    EndJob(state);
    for (const char* written : {"out", "elements", "farm"}) fs::remove_all(native(written));
  }
}

TEST_F(FramePipelineTest, WithoutSavingTheFrameIsNamedUnderTheDataFolder) {
  nlohmann::json description = scene();
  description["render"]["save_file"] = false;
  start(description);
  EXPECT_EQ(render(2), "");
  const auto sent = lines();
  const std::regex placeholder("Rendering frame \"" + std::regex_replace(file("data"), std::regex(R"(\\)"), R"(\\)") +
                               R"(\\Orvalink\\taskmere\\temp\\temp_filename[0-9]+_[0-9]+0002\.bmp")");
  EXPECT_TRUE(std::regex_match(sent.at(1), placeholder)) << sent.at(1);
  EXPECT_THAT(state.writtenOutputFiles,
              ElementsAre(host_path("elements/alpha0002.exr"), host_path("elements/zdepth0002.exr")));
  EXPECT_FALSE(fs::exists(native("data/Orvalink"))) << "nothing is written under the placeholder";
}

TEST_F(FramePipelineTest, RestartModeOpensTheRendererForEveryFrame) {
  start(scene());
  state.restartRendererMode = true;
  for (int frame : {1, 2}) {
    EXPECT_EQ(render(frame), "");
    const auto sent = lines();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), "Setting up render parameters"), 1) << frame;
    EXPECT_FALSE(state.rendererOpen);
    EXPECT_FALSE(host().renderer_open());
    EXPECT_THAT(state.renderElements, IsEmpty());
  }
  EXPECT_TRUE(fs::exists(native("elements/zdepth0002.exr")));
}

TEST_F(FramePipelineTest, FailuresFreeTheFrameAndRestoreItsNames) {
  const struct {
    const char* what;
    std::function<void(job::JobState&)> settings;
    int bitmapsThatCanBeMade;  // -1: no limit
    std::string failure;
    bool multipass = false;
  } cases[] = {
      {"main bitmap", {}, 0, "Failed to allocate Bitmap: TheManager->Create() return NULL"},
      {"element bitmap",
       {},
       2,
       "Failed to allocate the bitmap of render element 2 of 2: TheManager->Create() returned NULL"},
      {"accumulation bitmap",
       {},
       3,
       "Failed to allocate the accumulation bitmap of render element 1 of 2: TheManager->Create() returned NULL",
       true},
      {"no job", [](auto& s) { s.jobRunning = false; }, -1,
       "RenderFrame called when consistency check flag jobRunning was not set"},
      {"a name too long for the host",
       [](auto& s) {
         s.useOutputImageFilename = true;
         s.outputImageFilename = std::wstring(252, L'x') + L".exr";
       },
       -1, "The output file name \"" + std::string(252, 'x') + "0009.exr\" is longer than 259 characters"},
      {"a crop that does not fit 16 bits",
       [](auto& s) {
         s.regionRendering = true;
         s.regionType = 4;
         s.regionRight = 70000;
       },
       -1, "The region crop of 70000x0 pixels does not fit an image (0 to 65535 pixels a side)"},
      {"a file number beyond 32 bits", [](auto& s) { s.frameNumberBase = 2147483647; }, -1,
       "Frame 9 with the frame number base 2147483647 gives a file number outside 32 bits"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    nlohmann::json description = scene();
    if (c.multipass) description["nodes"][0]["multipass"] = {{"type", "depth_of_field"}, {"passes", 2}};
    start(description);
    if (c.settings) c.settings(state);
    std::string failure;
    {
      std::optional<RationedManager> rationed;
      if (c.bitmapsThatCanBeMade >= 0) rationed.emplace(c.bitmapsThatCanBeMade);
      failure = render(9);
    }
    EXPECT_EQ(failure, c.failure);
    EXPECT_EQ(host::standalone::live_bitmap_count(), liveBefore);
    EXPECT_EQ(narrow(state.outputBitmapInfo.Name()), file("out/beauty.exr"));
    for (const auto& element : state.renderElements) EXPECT_EQ(element.output->bm, nullptr);
    ASSERT_EQ(state.renderElements.size(), 2u);
    EXPECT_EQ(narrow(state.renderElements[1].output->bi.Name()), file("elements/zdepth.exr"));
    EXPECT_FALSE(fs::exists(native("out/beauty0009.exr")));
    EXPECT_THAT(state.writtenOutputFiles, IsEmpty());
    state.jobRunning = true;
    EndJob(state);
  }
}

TEST_F(FramePipelineTest, ElementsAreTestedForBlackJustBeforeEachIsWritten) {
  nlohmann::json description = scene();
  description["render_elements"]["elements"][1]["z_min"] = 1;  // everything lies beyond z_max: all black
  description["render_elements"]["elements"][1]["z_max"] = 2;
  start(description);
  state.failOnBlackFrames = true;
  state.blackFramesCheckRenderElements = true;
  state.blackPixelPercentage = 99;
  state.blackPixelThreshold = 0.1f;
  EXPECT_EQ(render(5), "100% of the output image is black, which equals or exceeds the minimum of 99%");
  const auto sent = lines();
  const auto elements = std::find(sent.begin(), sent.end(), "Checking render elements");
  ASSERT_NE(elements, sent.end());
  // The sphere covers the same pixels in the image and in its alpha.
  const std::string sphereCount = *(std::find(sent.begin(), sent.end(), "Render done") + 4);
  EXPECT_THAT(
      std::vector<std::string>(elements, sent.end()),
      ElementsAre("Checking render elements", "Checking if " + file("elements/alpha0005.exr") + " is black",
                  "  blackPixelPercentage = 99%", "  blackPixelThreshold = 0.1", sphereCount,
                  "Writing to output file: " + file("elements/alpha0005.exr"),
                  "Checking if " + file("elements/zdepth0005.exr") + " is black", "  blackPixelPercentage = 99%",
                  "  blackPixelThreshold = 0.1", "3072 of 3072 pixels are considered black (100%)",
                  "100% of the output image is considered black, failing render..."));
  EXPECT_THAT(state.writtenOutputFiles,
              ElementsAre(host_path("out/beauty0005.exr"), host_path("elements/alpha0005.exr")));
}

}  // namespace
}  // namespace paravelle::render
