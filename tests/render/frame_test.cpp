// A job in the render layer: StartJob choosing scene, view and settings; the renderer opened
// once with the camera's multipass effect; a frame's pipeline from bitmaps to files, every
// line to the farm in order; and every failure leaving the job able to go on.

#include "render/frame_pipeline.h"

#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>

#include "host/standalone/bitmaps.h"
#include "render/job_start.h"
#include "render/progress_callback.h"
#include "render/render_fixture.h"
#include "render/renderer.h"
#include "transport/text.h"

namespace paravelle::render {
namespace {

using nlohmann::json;
using paravelle::testing::small_job_scene;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;
using ::testing::StartsWith;
namespace fs = std::filesystem;

const json holder_camera = {"0x399ee5f2", "0x584a71a8"};
const json renderer_a = {"0x52ad1c02", "0x112d2fbc"};
const json renderer_c = {"0x58f67d6c", "0x4fcf3bc3"};
const json one_pass_effect = {{"type", "depth_of_field"}, {"class_id", {"0x6cc9546e", "0x0b1961b9"}}};

json scene_with(const std::string& text) {
  json scene = small_job_scene();
  scene.update(json::parse(text));
  return scene;
}
json depth_of_field(int passes) { return {{"type", "depth_of_field"}, {"passes", passes}, {"aperture", 0.0}}; }
json camera(const std::string& name, json extra = json::object()) {
  json node = {{"name", name}, {"type", "camera"}, {"position", {0, -10, 0}}};
  node.update(extra);
  return node;
}

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

class FrameTest : public JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    host::standalone::reset_display_counters();
    live_before = host::standalone::live_bitmap_count();
    // The placeholder name of a scene that does not save asks for the host's data folder.
    ::setenv("PARAVELLE_DATA_DIR", native("data").c_str(), 1);
    lastProgressTick.store(::paravelle::host::tick_count());  // no progress reports among the lines
  }
  void TearDown() override {
    ::unsetenv("PARAVELLE_DATA_DIR");
    JobTest::TearDown();
    EXPECT_EQ(host::standalone::live_bitmap_count(), live_before) << "every bitmap is freed";
  }
  // The small scene saving to out/ with an alpha and a depth element.
  json scene() const {
    json scene = small_job_scene();
    scene["render"].update({{"save_file", true}, {"output_file", file("out/beauty.exr")}});
    scene["render_elements"] = {{"active", true},
                                {"elements",
                                 {{{"name", "Alpha"}, {"content", "alpha"}, {"file", file("elements/alpha.exr")}},
                                  {{"name", "ZDepth"},
                                   {"content", "zdepth"},
                                   {"z_min", 5},
                                   {"z_max", 15},
                                   {"file", file("elements/zdepth.exr")}}}}};
    return scene;
  }
  void start(const json& scene, const std::wstring& camera_name = L"Cam") {
    state = daemon::JobState();
    StartJob(state, scene_file(scene), camera_name);
    farm.take();
  }
  // The frame's failure text, or the empty text.
  std::string render(std::int32_t frame) {
    const std::string failure = failure_of([&] { EXPECT_EQ(RenderFrame(state, frame, connection), 0); });
    return failure == "no failure" ? "" : failure;
  }
  std::int64_t live_before = 0;
};

TEST_F(FrameTest, StartJobLoadsTheSceneAndChoosesTheViewportsCameraLoggingEachStep) {
  StartJob(state, scene_file(small_job_scene()), L"");
  EXPECT_TRUE(state.jobRunning);
  EXPECT_FALSE(state.viewportLocked);
  EXPECT_STREQ(state.renderCamera->GetName(), L"Cam");
  const std::vector<std::string> not_ignoring = {
      "Not ignoring missing external file errors", "Not ignoring missing UVW cooridinate errors",
      "Not ignoring missing DLL errors", "Not ignoring missing XREF errors"};
  std::vector<std::string> expected = {"StartJob begin", "setting up gamma settings", "setting up default actions"};
  expected.insert(expected.end(), not_ignoring.begin(), not_ignoring.end());
  expected.insert(expected.end(),
                  {"Checking max file validity...", "Trying to load max file...", "Successfully loaded the max file",
                   "setting up gamma settings again, just to ensure they're set",
                   "setting up default actions again, just to ensure they're set"});
  expected.insert(expected.end(), not_ignoring.begin(), not_ignoring.end());
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), expected.size() + 2);
  EXPECT_THAT(lines[expected.size()], MatchesRegex("Got the active viewport: [0-9A-F]{16}"));
  EXPECT_EQ(lines.back(), "Rendering viewport with camera: Cam");
  lines.resize(expected.size());
  EXPECT_EQ(lines, expected);
  EXPECT_TRUE(farm.take().empty()) << "the farm hears only the command's reply";

  // A running job is refused after its task settings were reset.
  state.showFrameBuffer = false;
  state.regionRendering = true;
  EXPECT_EQ(failure_of([&] { StartJob(state, scene_file(small_job_scene()), L""); }),
            "StartJob called when job was already running.");
  EXPECT_TRUE(state.jobRunning && state.showFrameBuffer && !state.regionRendering);
}

// Every way a job start fails, each with its text and the last log line; the job is then
// not running.
TEST_F(FrameTest, StartJobFailuresHaveTheirTexts) {
  const auto load_fault = [](const char* kind) { return scene_with(R"({"faults": [{"when": "load", "kind": ")" + std::string(kind) + "\"}]}"); };
  const struct {
    json scene;
    std::wstring camera;
    std::string expected;  // the text begins with this; <file> is the scene's path
    std::string log_line;  // the last log line begins with this
  } cases[] = {
      {"not a scene", L"", "Invalid max file: \"<file>\"", "Checking max file validity..."},
      {load_fault("std_exception"), L"",
       "Caught an exception in GetCOREInterface()->LoadFromFile(): the scene's fault injection throws a standard "
       "exception",
       "catch(std::exception& e) from LoadFromFile()"},
      {load_fault("max_exception"), L"",
       "Caught a MAXException in GetCOREInterface()->LoadFromFile(): the scene's fault injection throws a MAXException",
       "catch(MAXException& e) from LoadFromFile()"},
      {load_fault("unknown_exception"), L"", "3ds max crashed in GetCOREInterface()->LoadFromFile(): \"<file>\"",
       "catch(...) from LoadFromFile()"},
      {load_fault("write"), L"", "Trapped SEH Exception in LoadFromFile(): Access Violation\nProcess:  ",
       "Trying to load max file..."},
      {load_fault("fail"), L"", "Failed to load max file: \"<file>\"", "LoadFromFile() returned failure"},
      {small_job_scene(), L"Cam02", "Scene does not contain render camera \"Cam02\"", "Got the active viewport: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    if (!machine_faults_trapped && c.expected.starts_with("Trapped")) continue;
    daemon::JobState job;
    const std::wstring file = scene_file(c.scene);
    std::string expected = c.expected;
    if (const auto at = expected.find("<file>"); at != std::string::npos) expected.replace(at, 6, to_string(file));
    EXPECT_THAT(failure_of([&] { StartJob(job, file, c.camera); }), StartsWith(expected));
    EXPECT_FALSE(job.jobRunning);
    EXPECT_THAT(log.lines().back(), StartsWith(c.log_line));
  }
  // Missing XREFs fail the job even when the load ignored them: the scene would render without.
  state.ignoreMissingXREFs = true;
  const std::wstring xrefs = scene_file(scene_with(R"({"missing_files": {"xrefs": ["XRef set.max not found", "b"]}})"));
  EXPECT_EQ(failure_of([&] { StartJob(state, xrefs, L""); }), "XRef set.max not found");
  EXPECT_FALSE(state.jobRunning);
}

// The view to render: the active viewport with the camera asked for or its own camera, or
// the locked viewport whatever camera was asked for.
TEST_F(FrameTest, StartJobChoosesTheViewportAndCamera) {
  const struct {
    int active, locked;
    bool follows_active;
    std::wstring camera;
    const wchar_t* expected_camera;  // null: the viewport's own view
    std::string last_line;
  } cases[] = {
      {1, 0, true, L"", nullptr, "Viewport is not a camera, so its current view will be rendered"},
      {1, 0, true, L"Cam2", L"Cam2", "Got the active viewport: "},
      {1, 0, true, L"Props", L"Props", "Got the active viewport: "},  // the frame finds it is no camera
      {0, 1, true, L"", L"Cam", "Rendering viewport with camera: Cam"},
      {0, 1, false, L"NoSuchCamera", nullptr, "Viewport is not a camera, so its current view will be rendered"},
      {1, 0, false, L"Cam2", L"Cam", "Rendering viewport with camera: Cam"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.last_line + " " + std::to_string(c.active));
    json scene = small_job_scene();
    scene["nodes"].push_back({{"name", "Cam2"}, {"type", "camera"}, {"position", {0, -8, 1}}});
    scene["nodes"].push_back({{"name", "Props"}, {"type", "group"}});
    scene.update(
        {{"active_viewport", c.active}, {"render_active_viewport", c.follows_active}, {"locked_viewport", c.locked}});
    daemon::JobState job;
    StartJob(job, scene_file(scene), c.camera);
    EXPECT_EQ(job.viewportLocked, !c.follows_active);
    EXPECT_EQ(job.renderViewport, &host().GetViewExp(c.follows_active ? c.active : c.locked));
    EXPECT_EQ(job.lockedViewportIndex, c.follows_active ? -1 : c.locked);
    EXPECT_EQ(job.renderCamera ? std::wstring(job.renderCamera->GetName()) : L"(none)",
              c.expected_camera ? c.expected_camera : L"(none)");
    EXPECT_THAT(log.lines().back(), StartsWith(c.last_line));
    EXPECT_EQ(log.contains_line("Viewport " + std::to_string(c.locked) + " is locked"), !c.follows_active);
  }
}

TEST_F(FrameTest, StartJobAppliesTheFarmsSettingsAndRecognisesTheRenderer) {
  const struct {
    const char* id[2];
    bool a, b, c;
  } renderers[] = {
      {{"0x52ad1c02", "0x112d2fbc"}, true, false, false},  {{"0x73bab286", "0x77f8fd0c"}, false, true, false},
      {{"0x58f67d6c", "0x4fcf3bc3"}, false, false, true},  {{"0x58f67d6c", "0x112d2fbc"}, false, false, false},
      {{"0x50524e44", "0x00000001"}, false, false, false},
  };
  for (const auto& c : renderers) {
    state.rendererIsTypeA = state.rendererIsTypeB = state.rendererIsTypeC = true;  // never kept from a job before
    StartJob(state, scene_file(scene_with(R"({"renderer": {"class_id": [")" + std::string(c.id[0]) + "\", \"" +
                                          c.id[1] + "\"]}}")),
             L"");
    EXPECT_EQ(std::vector<bool>({state.rendererIsTypeA, state.rendererIsTypeB, state.rendererIsTypeC}),
              std::vector<bool>({c.a, c.b, c.c}))
        << c.id[0];
    EndJob(state);
  }

  // The missing-file policy becomes the host's default actions; only external files ignored
  // lets the scene load without its texture.
  state.ignoreMissingExternalFiles = true;
  StartJob(state, scene_file(scene_with(R"({"dependencies": ["maps/nowhere.png"]})")), L"");
  EXPECT_TRUE(log.contains_line("Ignoring missing external file errors"));
  host().SetDefaultAction(TYPE_MISSING_DLL_FILES, 1);
  ReportDefaultActions(state, connection);
  EXPECT_THAT(farm.take(), ElementsAre("Checking default actions", "  TYPE_MISSING_EXTERNAL_FILES = IGNORE",
                                       "  TYPE_MISSING_UVWS = FAIL", "  TYPE_MISSING_DLL_FILES = IGNORE",
                                       "  TYPE_MISSING_XREF_FILES = FAIL"));
  state.ignoreMissingUVWs = state.ignoreMissingDLLs = state.ignoreMissingXREFs = true;
  ApplyDefaultActions(state);
  std::vector<int> actions;
  for (const int type : {TYPE_MISSING_EXTERNAL_FILES, TYPE_MISSING_DLL_FILES, TYPE_MISSING_XREF_FILES, TYPE_MISSING_UVWS})
    host().GetDefaultAction(type, actions.emplace_back(-1));
  EXPECT_THAT(actions, ElementsAre(1, 1, 1, 1));
  EndJob(state);

  // The farm's gamma wins over the scene's; without it the host's stays as it is.
  state.gammaCorrection = true;
  state.gammaIn = 1.8f;
  state.gammaOut = 2.4f;
  StartJob(state, scene_file(scene_with(R"({"gamma": {"enabled": false, "in": 1.0, "out": 1.0}})")), L"");
  EXPECT_EQ(std::vector<float>({float(gammaMgr.IsEnabled()), gammaMgr.GetFileInGamma(), gammaMgr.GetFileOutGamma()}),
            std::vector<float>({1.0f, 1.8f, 2.4f}));
  gammaMgr.SetFileInGamma(1.3f);
  state.gammaCorrection = false;
  ApplyGamma(state);
  EXPECT_EQ(gammaMgr.GetFileInGamma(), 1.3f);
  EndJob(state);

  // The path configuration is in place before the load: the scene's texture is found.
  paravelle::testing::write_scene(folder.path(), "paths.json",
                                  {{"format", "paravelle-paths"}, {"version", 1}, {"search_folders", {"maps"}}});
  fs::create_directories(native("maps"));
  paravelle::testing::write_scene(folder.path(), "maps/wood.png", "not really an image");
  const std::wstring textured = scene_file(scene_with(R"({"dependencies": ["wood.png"]})"));
  state.usePathConfigFile = true;
  state.pathConfigFile = paravelle::testing::wide(native("paths.json"));
  for (const bool merge : {false, true}) {
    host::standalone::path_configuration().clear();
    state.mergePathConfigFile = merge;
    StartJob(state, textured, L"");
    EXPECT_TRUE(log.contains_line((merge ? "Merging" : "Loading") + std::string(" alternate path config file ") +
                                  native("paths.json")));
    EndJob(state);
  }
}

// Where the camera's multipass effect comes from and how many passes it has.
TEST_F(FrameTest, TheRendererOpensOnceWithTheCamerasMultipassEffect) {
  const json holder = camera("Multipass", {{"multipass", depth_of_field(3)}});
  const json holder_cam = {{"class_id", holder_camera}, {"multipass", depth_of_field(5)}, {"children", {holder}}};
  const struct {
    json cam, renderer;
    bool disable;
    int passes;  // 0: multipass off (one pass)
    bool holder_line;
  } cases[] = {
      {camera("Cam", {{"multipass", depth_of_field(4)}}), nullptr, false, 4, false},
      {camera("Cam", {{"multipass", depth_of_field(4)}}), nullptr, true, 0, false},
      {camera("Cam", {{"multipass", {{"type", "motion_blur"}, {"enabled", false}}}}), nullptr, false, 0, false},
      {camera("Cam"), nullptr, false, 0, false},
      {camera("Cam", {{"multipass", one_pass_effect}}), nullptr, false, 0, false},
      {camera("Cam", {{"multipass", one_pass_effect}}), renderer_c, false, 1, false},
      {camera("Cam", holder_cam), renderer_a, false, 3, true},
      {camera("Cam", holder_cam), renderer_a, true, 0, true},
      {camera("Cam", holder_cam), nullptr, false, 5, false},  // the holder rule is renderer A's
      // The last holder wins; a child named in another case is none.
      {camera("Cam", {{"class_id", holder_camera},
                      {"children", {holder, camera("Multipass", {{"multipass", depth_of_field(6)}})}}}),
       renderer_a, false, 6, true},
      {camera("Cam", {{"class_id", holder_camera},
                      {"multipass", depth_of_field(5)},
                      {"children", {camera("multipass", {{"multipass", depth_of_field(3)}})}}}),
       renderer_a, false, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cam.dump());
    json description = small_job_scene();
    description["nodes"][0] = c.cam;
    if (!c.renderer.is_null()) description["renderer"] = {{"class_id", c.renderer}};
    start(description, L"");
    state.disableMultipass = c.disable;
    SetupRenderParameters(state, 3, connection);
    EXPECT_TRUE(state.rendererOpen);
    EXPECT_EQ(state.multipassEnabled, c.passes > 0);
    EXPECT_EQ(state.multipassPassCount, std::max(c.passes, 1));
    std::vector<std::string> expected = {"Setting up render parameters", "Rendering camera node Cam",
                                         "Checking multipass info for frame 3"};
    if (c.holder_line) expected.push_back("Multipass plugin holder camera node Multipass");
    expected.insert(expected.end(), {"Opening renderer", c.passes ? "Multipass enabled" : "Multipass disabled",
                                     "Rendering " + std::to_string(std::max(c.passes, 1)) + " passes"});
    EXPECT_EQ(farm_lines(), expected);
    SetupRenderParameters(state, 4, connection);  // open already: nothing happens
    EXPECT_TRUE(farm.take().empty());
    EndJob(state);
  }
  // A viewport's own view has no camera and so no multipass, locked or not.
  for (const bool locked : {false, true}) {
    json description = small_job_scene();
    description["nodes"][0] = camera("Cam", {{"multipass", depth_of_field(4)}});
    description.update({{"active_viewport", 1}, {"render_active_viewport", !locked}, {"locked_viewport", 1}});
    start(description, L"");
    SetupRenderParameters(state, 0, connection);
    EXPECT_FALSE(state.multipassEnabled);
    EXPECT_THAT(farm_lines(), ElementsAre("Setting up render parameters",
                                          locked ? "Rendering LOCKED viewport at index 1" : "Rendering viewport",
                                          "Opening renderer", "Multipass disabled", "Rendering 1 passes"));
    EndJob(state);
  }
}

// Every failure leaves the renderer closed, so the next frame tries again.
TEST_F(FrameTest, FailuresToOpenTheRendererLeaveItClosed) {
  const auto open_fault = [](const char* kind) { return json{{"faults", {{{"when", "open"}, {"kind", kind}}}}}; };
  const struct {
    json cam, renderer, extra;
    std::wstring camera_name;
    std::int32_t frame;
    std::string expected;  // the text begins with this
  } cases[] = {
      // A group that has the camera's name, taken at job start from the active perspective view.
      {{{"name", "Cam"}, {"type", "group"}}, nullptr, {{"viewports", {{{"position", {0, -10, 0}}}}}}, L"Cam", 0,
       "Camera node Cam is not a camera node - check that there are not other nodes or groups in the scene that "
       "have the same name as the camera"},
      {camera("Cam", {{"class_id", holder_camera}, {"children", {{{"name", "Multipass"}, {"type", "node"}}}}}),
       renderer_a, json::object(), L"", 0, "Multipass plugin holder camera node Multipass is not a camera node"},
      {camera("Cam"), nullptr, open_fault("fail"), L"", 0, "Failed to open the max renderer."},
      {camera("Cam"), nullptr, open_fault("read_null"), L"", 0,
       "Trapped SEH Exception in OpenCurRenderer(): Access Violation\nProcess:  "},
      {camera("Cam"), nullptr, json::object(), L"", 13421773,
       "Frame 13421773 at 160 ticks per frame lies outside the scene's time range."},
      {camera("Cam"), nullptr, json::object(), L"", -2147483647 - 1,
       "Frame -2147483648 at 160 ticks per frame lies outside the scene's time range."},
      {camera("Cam"), nullptr, json::object(), L"", 13421772, "no failure"},  // the last frame that fits
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    if (!machine_faults_trapped && c.expected.starts_with("Trapped")) continue;
    json description = small_job_scene();
    description["nodes"][0] = c.cam;
    if (!c.renderer.is_null()) description["renderer"] = {{"class_id", c.renderer}};
    description.update(c.extra);
    start(description, c.camera_name);
    EXPECT_THAT(failure_of([&] { SetupRenderParameters(state, c.frame, connection); }), StartsWith(c.expected));
    EXPECT_EQ(state.rendererOpen, c.expected == "no failure");
    EXPECT_EQ(host().renderer_open(), state.rendererOpen);
  }
  // A renderer that cannot be closed keeps the job running, so EndJob can be tried again.
  if (!machine_faults_trapped) return;
  start(scene_with(R"({"faults": [{"when": "close", "kind": "divide_by_zero"}]})"), L"");
  SetupRenderParameters(state, 0, connection);
  const std::string failure = failure_of([&] { EndJob(state); });
  EXPECT_THAT(failure, StartsWith("Trapped SEH Exception in CloseCurRenderer(): Integer Divide By Zero\nProcess:  "));
  EXPECT_EQ(failure.substr(failure.find('\n') + 1), state.lastCrashReport);
  EXPECT_TRUE(state.jobRunning && state.rendererOpen);
  EXPECT_EQ(host().flush_count(), 0);
}

TEST_F(FrameTest, AFrameWritesItsImageElementsAndJpegCopyWithEveryLineInOrder) {
  json description = scene();
  description["renderer"]["float_output"] = true;
  start(description);
  state.frameNumberBase = 100;
  state.useJpegOutput = true;
  state.jpegOutputPath = host_path("jpg") + L"\\";
  state.showFrameBuffer = true;
  EXPECT_EQ(render(3), "");
  EXPECT_THAT(
      farm_lines(),
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
  EXPECT_THAT(state.writtenOutputFiles, ElementsAre(host_path("out/beauty0103.exr"),
                                                    host_path("elements/alpha0103.exr"),
                                                    host_path("elements/zdepth0103.exr")));
  const auto logged = log.lines();
  EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                          [](auto& l) { return std::regex_match(l, std::regex("Bitmap [0-9A-F]{16}")); }),
            1);
  EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                          [](auto& l) { return std::regex_match(l, std::regex("Element Bitmap [0-9A-F]{16}")); }),
            2);
  EXPECT_NEAR(testing::read_image(native("out/beauty0103.exr")).at(16, 12, 0), 0.8f, 1e-3f);
  EXPECT_EQ(testing::read_image(native("elements/alpha0103.exr")).at(16, 12, 0), 1.0f);
  EXPECT_EQ(testing::read_image(native("jpg/beauty0103.jpg")).height, 24);
  EXPECT_EQ(host::standalone::display_counters().display_calls, 1);
  EXPECT_EQ(host::standalone::display_counters().shown_now, 0);
  EXPECT_EQ(state.outputBitmapInfo.Type(), BMM_FLOAT_RGBA_32) << "the renderer asks for float output";
  EXPECT_EQ(state.renderElementBitmaps[1]->bi.Type(), BMM_FLOAT_RGBA_32);
  EXPECT_NE(state.outputBitmapInfo.Flags() & MAP_HAS_ALPHA, 0u);
  // Back to the names the frame started from; the renderer stays open for the next frame.
  EXPECT_EQ(testing::narrow(state.outputBitmapInfo.Name()), file("out/beauty.exr"));
  EXPECT_EQ(testing::narrow(state.renderElementBitmaps[0]->bi.Name()), file("elements/alpha.exr"));
  EXPECT_TRUE(state.rendererOpen && host().renderer_open());
  EndJob(state);
  EXPECT_FALSE(state.jobRunning || state.rendererOpen || host().renderer_open());
  EXPECT_EQ(host().flush_count(), 1);
  EXPECT_EQ(state.multipassEffect, nullptr);
}

TEST_F(FrameTest, SettingsThatChangeWhatAFrameWrites) {
  const std::vector<std::string> everything{"out/beauty0007.exr", "elements/alpha0007.exr", "elements/zdepth0007.exr"};
  const struct {
    const char* what;
    std::function<void(json&)> scene;
    std::function<void(daemon::JobState&)> settings;
    std::vector<std::string> written;  // in the order written
    std::string line = {};             // a line the frame must send
    int displays = 1;                  // frame buffer windows shown
  } cases[] = {
      {"remove padding keeps the names", {}, [](auto& s) { s.removePadding = true; },
       {"out/beauty.exr", "elements/alpha.exr", "elements/zdepth.exr"}},
      {"a save-file override of 0 writes only the elements", {},
       [](auto& s) { s.overrideSaveFile = true, s.saveFile = false; },
       {"elements/alpha0007.exr", "elements/zdepth0007.exr"}, "Overriding save file option to 0"},
      {"a renderer that saves its own output", [](auto& j) { j["renderer"]["saves_own_output"] = true; }, {},
       {"elements/alpha0007.exr", "elements/zdepth0007.exr"}},
      {"the output name and element names of the farm", {},
       [this](auto& s) {
         s.useOutputImageFilename = s.useRenderElementFilenames = true;
         s.outputImageFilename = host_path("farm/shot_.png");
         s.renderElementFilenames = {host_path("farm/a_.png")};  // none for the second element
       },
       {"farm/shot_0007.png", "farm/a_0007.png"}, "WARN: Not saving render element 1 because its output path is empty"},
      {"ignored elements are rendered but not written", {}, [](auto& s) { s.ignoredRenderElementNames = {L"ZDepth"}; },
       {"out/beauty0007.exr", "elements/alpha0007.exr"}},
      {"elements switched off", {}, [](auto& s) { s.renderElementsEnabled = false; }, {"out/beauty0007.exr"}},
      {"no JPEG folder", {}, [](auto& s) { s.useJpegOutput = true, s.jpegOutputPath.clear(); }, everything,
       "No jpeg output path specified, disabling jpeg output"},
      {"a JPEG folder whose state cannot be read", {},
       [this](auto& s) { s.useJpegOutput = true, s.jpegOutputPath = host_path("loop") + L"\\"; }, everything,
       "Could not create jpeg output path, disabling jpeg output"},
      {"a JPEG copy that cannot be written", {},  // a file, not a folder
       [this](auto& s) { s.useJpegOutput = true, s.jpegOutputPath = host_path("scene.json") + L"\\"; }, everything,
       "Failed to save jpeg output because: Error in bm->OpenOutput(): error code 2"},
      {"a hidden frame buffer", {}, [](auto& s) { s.showFrameBuffer = false; }, everything, {}, 0},
      {"the renderer of kind A shows none", {}, [](auto& s) { s.rendererIsTypeA = true; }, everything, {}, 0},
  };
  fs::create_symlink(native("loop"), native("loop"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    host::standalone::reset_display_counters();
    json description = scene();
    if (c.scene) c.scene(description);
    start(description);
    if (c.settings) c.settings(state);
    EXPECT_EQ(render(7), "");
    std::vector<std::wstring> expected;
    for (const std::string& name : c.written) expected.push_back(host_path(name));
    EXPECT_EQ(state.writtenOutputFiles, expected);
    if (!c.line.empty()) {
      EXPECT_THAT(farm_lines(), Contains(c.line));
    }
    EXPECT_EQ(host::standalone::display_counters().display_calls, c.displays);
    EndJob(state);
    for (const char* written : {"out", "elements", "farm"}) fs::remove_all(native(written));
  }
}

TEST_F(FrameTest, PlaceholderNamesRestartModeAndBlackElements) {
  // Without saving, the frame is named under the data folder and nothing is written there.
  json description = scene();
  description["render"]["save_file"] = false;
  start(description);
  EXPECT_EQ(render(2), "");
  const auto sent = farm_lines();
  const std::regex placeholder("Rendering frame \"" + std::regex_replace(file("data"), std::regex(R"(\\)"), R"(\\)") +
                               R"(\\Orvalink\\taskmere\\temp\\temp_filename[0-9]+0002\.bmp")");
  EXPECT_TRUE(std::regex_match(sent.at(1), placeholder)) << sent.at(1);
  EXPECT_THAT(state.writtenOutputFiles, ElementsAre(host_path("elements/alpha0002.exr"), host_path("elements/zdepth0002.exr")));
  EXPECT_FALSE(fs::exists(native("data/Orvalink")));
  EndJob(state);

  // Restart mode opens and closes the renderer for every frame.
  start(scene());
  state.restartRendererMode = true;
  for (int frame : {1, 2}) {
    EXPECT_EQ(render(frame), "");
    const auto lines = farm_lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Setting up render parameters"), 1) << frame;
    EXPECT_FALSE(state.rendererOpen || host().renderer_open());
    EXPECT_TRUE(state.renderElementBitmaps.empty());
  }
  EndJob(state);

  // Elements are tested for black just before each is written.
  description = scene();
  description["render_elements"]["elements"][1].update({{"z_min", 1}, {"z_max", 2}});  // all beyond: all black
  start(description);
  state.failOnBlackFrames = state.blackFramesCheckRenderElements = true;
  state.blackPixelPercentage = 99;
  EXPECT_EQ(render(5), "100% of the output image is black, which equals or exceeds the minimum of 99%");
  const auto lines = farm_lines();
  const auto elements = std::find(lines.begin(), lines.end(), "Checking render elements");
  ASSERT_NE(elements, lines.end());
  const std::string sphereCount = *(std::find(lines.begin(), lines.end(), "Render done") + 4);
  EXPECT_THAT(std::vector<std::string>(elements, lines.end()),
              ElementsAre("Checking render elements", "Checking if " + file("elements/alpha0005.exr") + " is black",
                          "  blackPixelPercentage = 99%", "  blackPixelThreshold = 0.1", sphereCount,
                          "Writing to output file: " + file("elements/alpha0005.exr"),
                          "Checking if " + file("elements/zdepth0005.exr") + " is black", "  blackPixelPercentage = 99%",
                          "  blackPixelThreshold = 0.1", "768 of 768 pixels are considered black (100%)",
                          "100% of the output image is considered black, failing render..."));
  EXPECT_THAT(state.writtenOutputFiles, ElementsAre(host_path("out/beauty0005.exr"), host_path("elements/alpha0005.exr")));
}

TEST_F(FrameTest, FailuresFreeTheFrameAndRestoreItsNames) {
  const struct {
    const char* what;
    std::function<void(daemon::JobState&)> settings;
    int bitmapsThatCanBeMade;  // -1: no limit
    std::string failure;
    bool multipass = false;
  } cases[] = {
      {"main bitmap", {}, 0, "Failed to allocate Bitmap: TheManager->Create() return NULL"},
      {"element bitmap", {}, 2,
       "Failed to allocate the bitmap of render element 2 of 2: TheManager->Create() returned NULL"},
      {"accumulation bitmap", {}, 3,
       "Failed to allocate the accumulation bitmap of render element 1 of 2: TheManager->Create() returned NULL", true},
      {"pass bitmap", {}, 5,
       "Failed to allocate the pass bitmap of the multipass render: TheManager->Create() returned NULL", true},
      {"no job", [](auto& s) { s.jobRunning = false; }, -1,
       "RenderFrame called when consistency check flag jobRunning was not set"},
      {"a name too long for the host",
       [](auto& s) { s.useOutputImageFilename = true, s.outputImageFilename = std::wstring(252, L'x') + L".exr"; }, -1,
       "The output file name \"" + std::string(252, 'x') + "0009.exr\" is longer than 259 characters"},
      {"a crop that does not fit 16 bits", [](auto& s) { s.regionRendering = true, s.regionType = 4, s.regionRight = 70000; },
       -1, "The region crop of 70000x0 pixels does not fit an image (0 to 65535 pixels a side)"},
      {"a file number beyond 32 bits", [](auto& s) { s.frameNumberBase = 2147483647; }, -1,
       "Frame 9 with the frame number base 2147483647 gives a file number outside 32 bits"},
      {"a failed pass", {}, -1, "Failed to render the frame for pass 1 of 2", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    json description = scene();
    if (c.multipass) description["nodes"][0]["multipass"] = depth_of_field(2);
    if (std::string(c.what) == "a failed pass")
      description["faults"] = {{{"when", "render"}, {"frame", 9}, {"kind", "fail"}}};
    start(description);
    if (c.settings) c.settings(state);
    std::string failure;
    {
      std::optional<RationedManager> rationed;
      if (c.bitmapsThatCanBeMade >= 0) rationed.emplace(c.bitmapsThatCanBeMade);
      failure = render(9);
    }
    EXPECT_EQ(failure, c.failure);
    EXPECT_EQ(host::standalone::live_bitmap_count(), live_before);
    EXPECT_EQ(testing::narrow(state.outputBitmapInfo.Name()), file("out/beauty.exr"));
    for (PBBitmap* element : state.renderElementBitmaps) EXPECT_EQ(element->bm, nullptr);
    EXPECT_EQ(testing::narrow(state.renderElementBitmaps.at(1)->bi.Name()), file("elements/zdepth.exr"));
    EXPECT_FALSE(fs::exists(native("out/beauty0009.exr")));
    EXPECT_TRUE(state.writtenOutputFiles.empty());
    state.jobRunning = true;
    EndJob(state);
  }
}

// The passes of a multipass frame, each accumulated into the image and every element.
TEST_F(FrameTest, MultipassRendersEachPassAndAccumulatesTheImageAndEveryElement) {
  json description = scene();
  description["nodes"][0]["multipass"] = depth_of_field(3);
  for (const bool type_a : {false, true}) {
    if (type_a) description["renderer"] = {{"class_id", renderer_a}};
    start(description);
    state.showFrameBuffer = true;
    host::standalone::reset_display_counters();
    EXPECT_EQ(render(1), "");
    std::vector<std::string> passes = {"Rendering multipass effect:"};
    for (int pass = 1; pass <= 3; ++pass)
      passes.insert(passes.end(), {"  Rendering pass " + std::to_string(pass) + " of 3",
                                   "  CallCurRendererRenderFrame returned code 1", "  Accumulating bitmap",
                                   "  Accumulating render element 1 of 2", "  Accumulating render element 2 of 2",
                                   "  Success"});
    const auto lines = farm_lines();
    const auto first = std::find(lines.begin(), lines.end(), passes.front());
    ASSERT_NE(first, lines.end());
    EXPECT_EQ(std::vector<std::string>(first, first + passes.size()), passes);
    // A pinhole lens: every pass sees the same, so the average is one pass's image.
    EXPECT_NEAR(testing::read_image(native("out/beauty0001.exr")).at(16, 12, 0), 0.8f, 1e-3f);
    EXPECT_EQ(testing::read_image(native("elements/alpha0001.exr")).at(16, 12, 0), 1.0f);
    EXPECT_EQ(host::standalone::display_counters().display_calls, type_a ? 0 : 3) << "the pass bitmap, once a pass";
    EndJob(state);
  }
  // A one-pass effect of renderer C still goes through the effect; a crash in a pass fails
  // the frame with its crash report.
  description = scene();
  description["nodes"][0]["multipass"] = one_pass_effect;
  description["renderer"] = {{"class_id", renderer_c}};
  start(description);
  EXPECT_EQ(render(1), "");
  EXPECT_THAT(farm_lines(), Contains("  Rendering pass 1 of 1"));
  EndJob(state);
  if (!machine_faults_trapped) return;
  description = scene();
  description["nodes"][0]["multipass"] = depth_of_field(3);
  description["faults"] = {{{"when", "render"}, {"frame", 0}, {"kind", "divide_by_zero"}}};
  start(description);
  const std::string failure = render(0);
  EXPECT_THAT(failure, StartsWith("Trapped SEH Exception in CurRendererRenderFrame(): Integer Divide By Zero\n"
                                  "Process:  "));
  EXPECT_EQ(failure.substr(failure.find('\n') + 1), state.lastCrashReport);
  EndJob(state);
}

}  // namespace
}  // namespace paravelle::render
