#include "render/job_start.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <optional>

#include "job_fixture.h"
#include "render/renderer.h"
#include "transport/text.h"

namespace paravelle::render {
namespace {

using paravelle::testing::small_job_scene;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;
using ::testing::StartsWith;
using StartJobTest = JobTest;

nlohmann::json scene_with(const std::string& json) {
  nlohmann::json scene = small_job_scene();
  scene.update(nlohmann::json::parse(json));
  return scene;
}

const std::vector<std::string> not_ignoring = {"Not ignoring missing external file errors",
                                               "Not ignoring missing UVW cooridinate errors",
                                               "Not ignoring missing DLL errors", "Not ignoring missing XREF errors"};

TEST_F(StartJobTest, LoadsTheSceneAndChoosesTheViewportsCameraLoggingEachStep) {
  StartJob(state, scene_file(small_job_scene()), L"");
  EXPECT_TRUE(state.jobRunning);
  EXPECT_FALSE(state.viewportLocked);
  ASSERT_NE(state.renderCamera, nullptr);
  EXPECT_STREQ(state.renderCamera->GetName(), L"Cam");

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
  EXPECT_TRUE(farm.take().empty());  // the farm hears only the command's reply
}

// Every way a job start fails, each with its text and the last log line; the job is then
// not running.
TEST_F(StartJobTest, EachFailureHasItsText) {
  const struct {
    nlohmann::json scene;
    std::wstring camera;
    std::string expected;  // the text begins with this; <file> is the scene's path
    std::string log_line;  // the last log line begins with this
  } cases[] = {
      {"not a scene", L"", "Invalid max file: \"<file>\"", "Checking max file validity..."},
      {scene_with(R"({"faults": [{"when": "load", "kind": "std_exception"}]})"), L"",
       "Caught an exception in GetCOREInterface()->LoadFromFile(): the scene's fault injection throws a standard "
       "exception",
       "catch(std::exception& e) from LoadFromFile()"},
      {scene_with(R"({"faults": [{"when": "load", "kind": "max_exception"}]})"), L"",
       "Caught a MAXException in GetCOREInterface()->LoadFromFile(): the scene's fault injection throws a MAXException",
       "catch(MAXException& e) from LoadFromFile()"},
      {scene_with(R"({"faults": [{"when": "load", "kind": "unknown_exception"}]})"), L"",
       "3ds max crashed in GetCOREInterface()->LoadFromFile(): \"<file>\"", "catch(...) from LoadFromFile()"},
      {scene_with(R"({"faults": [{"when": "load", "kind": "write"}]})"), L"",
       "Trapped SEH Exception in LoadFromFile(): Access Violation\nProcess:  ", "Trying to load max file..."},
      {scene_with(R"({"faults": [{"when": "load", "kind": "fail"}]})"), L"", "Failed to load max file: \"<file>\"",
       "LoadFromFile() returned failure"},
      {scene_with(R"({"dependencies": ["maps/nowhere.png"]})"), L"", "Failed to load max file: \"<file>\"",
       "LoadFromFile() returned failure"},
      {small_job_scene(), L"Cam02", "Scene does not contain render camera \"Cam02\"", "Got the active viewport: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    if (!machine_faults_trapped && c.expected.starts_with("Trapped")) continue;
    job::JobState job;
    const std::wstring file = scene_file(c.scene);
    std::string expected = c.expected;
    if (const auto at = expected.find("<file>"); at != std::string::npos) expected.replace(at, 6, to_string(file));
    std::optional<paravelle::testing::AbandonedByAFault> abandoned;  // the loaded scene, when the load faults
    if (c.expected.starts_with("Trapped")) abandoned.emplace();
    EXPECT_THAT(failure_of([&] { StartJob(job, file, c.camera); }), StartsWith(expected));
    EXPECT_FALSE(job.jobRunning);
    EXPECT_THAT(log.lines().back(), StartsWith(c.log_line));
  }

  // Missing XREFs fail the job even when the load ignored them: the scene would render without.
  state.ignoreMissingXREFs = true;
  EXPECT_EQ(failure_of([&] {
              StartJob(state,
                       scene_file(scene_with(R"({"missing_files": {"xrefs": ["XRef set.max not found", "b"]}})")), L"");
            }),
            "XRef set.max not found");
  EXPECT_FALSE(state.jobRunning);
}

TEST_F(StartJobTest, ARunningJobIsRefusedAfterItsTaskSettingsWereReset) {
  StartJob(state, scene_file(small_job_scene()), L"");
  state.showFrameBuffer = false;
  state.regionRendering = true;
  EXPECT_EQ(failure_of([&] { StartJob(state, scene_file(small_job_scene()), L""); }),
            "StartJob called when job was already running.");
  EXPECT_TRUE(state.jobRunning);
  EXPECT_TRUE(state.showFrameBuffer);
  EXPECT_FALSE(state.regionRendering);
}

// The view to render: the active viewport with the camera asked for or its own camera, or
// the locked viewport whatever camera was asked for.
TEST_F(StartJobTest, ChoosesTheViewportAndCamera) {
  const struct {
    int active, locked;
    bool follows_active;
    std::wstring camera;
    const wchar_t* expected_camera;       // null: the viewport's own view
    std::vector<std::string> last_lines;  // "*" stands for an address
  } cases[] = {
      {1,
       0,
       true,
       L"",
       nullptr,
       {"Got the active viewport: *", "Viewport is not a camera, so its current view will be rendered"}},
      {1, 0, true, L"Cam2", L"Cam2", {"Got the active viewport: *"}},
      {1, 0, true, L"Props", L"Props", {"Got the active viewport: *"}},  // the frame finds it is no camera
      {0, 1, true, L"", L"Cam", {"Got the active viewport: *", "Rendering viewport with camera: Cam"}},
      {0,
       1,
       false,
       L"NoSuchCamera",
       nullptr,
       {"Viewport 1 is locked", "Got the locked viewport: *",
        "Viewport is not a camera, so its current view will be rendered"}},
      {1,
       0,
       false,
       L"Cam2",
       L"Cam",
       {"Viewport 0 is locked", "Got the locked viewport: *", "Rendering viewport with camera: Cam"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.last_lines.front() + " " + std::to_string(c.active));
    nlohmann::json scene = small_job_scene();
    scene["nodes"].push_back({{"name", "Cam2"}, {"type", "camera"}, {"position", {0, -8, 1}}});
    scene["nodes"].push_back({{"name", "Props"}, {"type", "group"}});
    scene.update(
        {{"active_viewport", c.active}, {"render_active_viewport", c.follows_active}, {"locked_viewport", c.locked}});
    job::JobState job;
    StartJob(job, scene_file(scene), c.camera);
    EXPECT_EQ(job.viewportLocked, !c.follows_active);
    EXPECT_EQ(job.renderViewport, &host().GetViewExp(c.follows_active ? c.active : c.locked));
    EXPECT_EQ(job.lockedViewportIndex, c.follows_active ? -1 : c.locked);
    EXPECT_EQ(job.renderCamera ? std::wstring(job.renderCamera->GetName()) : L"(none)",
              c.expected_camera ? c.expected_camera : L"(none)");
    const std::vector<std::string> lines = log.lines();
    for (std::size_t i = 0; i < c.last_lines.size(); ++i) {
      const std::string& expected = c.last_lines[c.last_lines.size() - 1 - i];
      EXPECT_THAT(lines[lines.size() - 1 - i], MatchesRegex(expected.substr(0, expected.find('*')) +
                                                            (expected.ends_with('*') ? "[0-9A-F]{16}" : "")));
    }
  }
}

TEST_F(StartJobTest, RecognisesTheRenderersKindByItsClassId) {
  const struct {
    const char* id[2];
    bool a, b, c;
  } cases[] = {
      {{"0x52ad1c02", "0x112d2fbc"}, true, false, false},  {{"0x73bab286", "0x77f8fd0c"}, false, true, false},
      {{"0x58f67d6c", "0x4fcf3bc3"}, false, false, true},  {{"0x58f67d6c", "0x112d2fbc"}, false, false, false},
      {{"0x50524e44", "0x00000001"}, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id[0]);
    state.rendererIsTypeA = state.rendererIsTypeB = state.rendererIsTypeC = true;  // never kept from a job before
    StartJob(state,
             scene_file(scene_with(R"({"renderer": {"class_id": [")" + std::string(c.id[0]) + R"(", ")" + c.id[1] +
                                   R"("]}})")),
             L"");
    EXPECT_EQ(std::vector<bool>({state.rendererIsTypeA, state.rendererIsTypeB, state.rendererIsTypeC}),
              std::vector<bool>({c.a, c.b, c.c}));
    EndJob(state);
  }
}

TEST_F(StartJobTest, TheMissingFilePolicyBecomesTheHostsDefaultActions) {
  const auto host_actions = [&] {
    std::vector<int> actions;
    for (const int type :
         {TYPE_MISSING_EXTERNAL_FILES, TYPE_MISSING_DLL_FILES, TYPE_MISSING_XREF_FILES, TYPE_MISSING_UVWS})
      host().GetDefaultAction(type, actions.emplace_back(-1));
    return actions;
  };
  state.coreInterface = GetCOREInterface8();
  for (const int type : {1, 2, 3, 4}) host().SetDefaultAction(type, 1);
  ApplyDefaultActions(state);
  EXPECT_THAT(host_actions(), ElementsAre(5, 5, 7, 5));
  EXPECT_EQ(log.lines(), not_ignoring);
  state.ignoreMissingExternalFiles = state.ignoreMissingUVWs = state.ignoreMissingDLLs = true;
  state.ignoreMissingXREFs = true;
  ApplyDefaultActions(state);
  EXPECT_THAT(host_actions(), ElementsAre(1, 1, 1, 1));
  const std::vector<std::string> lines = log.lines();
  EXPECT_THAT(std::vector<std::string>(lines.begin() + 4, lines.end()),
              ElementsAre("Ignoring missing external file errors", "Ignoring missing UVW cooridinate errors",
                          "Ignoring missing DLL errors", "Ignoring missing XREF errors"));

  // Only missing external files are ignored: the scene loads without its texture.
  state.ignoreMissingUVWs = state.ignoreMissingDLLs = state.ignoreMissingXREFs = false;
  StartJob(state, scene_file(scene_with(R"({"dependencies": ["maps/nowhere.png"]})")), L"");
  host().SetDefaultAction(TYPE_MISSING_DLL_FILES, 1);
  ReportDefaultActions(state, connection);
  EXPECT_THAT(farm.take(), ElementsAre("Checking default actions", "  TYPE_MISSING_EXTERNAL_FILES = IGNORE",
                                       "  TYPE_MISSING_UVWS = FAIL", "  TYPE_MISSING_DLL_FILES = IGNORE",
                                       "  TYPE_MISSING_XREF_FILES = FAIL"));
}

// The farm's gamma wins over the scene's; without it the host's stays as it is.
TEST_F(StartJobTest, GammaIsAppliedAfterTheLoadOnlyWhenTheFarmAskedForIt) {
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
}

// The path configuration is in place before the load: the scene's texture is found.
TEST_F(StartJobTest, LoadsOrMergesThePathConfigurationBeforeTheScene) {
  paravelle::testing::write_scene(folder.path(), "paths.json",
                                  {{"format", "paravelle-paths"}, {"version", 1}, {"search_folders", {"maps"}}});
  std::filesystem::create_directories(folder.path() + "/maps");
  paravelle::testing::write_scene(folder.path(), "maps/wood.png", "not really an image");
  const std::wstring file = scene_file(scene_with(R"({"dependencies": ["wood.png"]})"));
  state.usePathConfigFile = true;
  state.pathConfigFile = paravelle::testing::wide(folder.path() + "/paths.json");
  for (const bool merge : {false, true}) {
    host::standalone::path_configuration().clear();
    state.mergePathConfigFile = merge;
    StartJob(state, file, L"");
    EXPECT_TRUE(log.contains_line((merge ? "Merging" : "Loading") + std::string(" alternate path config file ") +
                                  folder.path() + "/paths.json"));
    EndJob(state);
  }
}

TEST_F(StartJobTest, EndJobClosesTheRendererAndFlushesTheHostsCaches) {
  EXPECT_EQ(failure_of([&] { EndJob(state); }), "EndJob called when consistency check flag jobRunning was not set");
  StartJob(state, scene_file(small_job_scene()), L"");
  SetupRenderParameters(state, 0, connection);
  ASSERT_TRUE(host().renderer_open());
  EndJob(state);
  EXPECT_FALSE(state.jobRunning || state.rendererOpen || host().renderer_open());
  EXPECT_EQ(host().flush_count(), 1);
  EXPECT_EQ(state.multipassEffect, nullptr);
}

// A renderer that cannot be closed keeps the job running, so EndJob can be tried again.
TEST_F(StartJobTest, ACrashClosingTheRendererKeepsTheJobRunning) {
  if (!machine_faults_trapped) GTEST_SKIP() << "machine faults are not trapped under ThreadSanitizer";
  StartJob(state, scene_file(scene_with(R"({"faults": [{"when": "close", "kind": "divide_by_zero"}]})")), L"");
  SetupRenderParameters(state, 0, connection);
  const std::string failure = failure_of([&] { EndJob(state); });
  EXPECT_THAT(failure, StartsWith("Trapped SEH Exception in CloseCurRenderer(): Integer Divide By Zero\nProcess:  "));
  EXPECT_EQ(failure.substr(failure.find('\n') + 1), state.lastCrashReport);
  EXPECT_TRUE(state.jobRunning && state.rendererOpen);
  EXPECT_EQ(host().flush_count(), 0);
}

}  // namespace
}  // namespace paravelle::render
