#include "render/job_start.h"

#include <gmock/gmock.h>

#include "host/standalone/path_config.h"
#include "job_fixture.h"
#include "render/renderer.h"
#include "transport/text.h"

namespace paravelle::render {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

using StartJobTest = JobTest;

const std::vector<std::string> not_ignoring_lines = {
    "Not ignoring missing external file errors", "Not ignoring missing UVW cooridinate errors",
    "Not ignoring missing DLL errors", "Not ignoring missing XREF errors"};

TEST_F(StartJobTest, LoadsTheSceneAndChoosesTheViewportsCameraLoggingEachStep) {
  const std::wstring file = scene_file(testing::small_job_scene());
  StartJob(state, file, L"");

  EXPECT_TRUE(state.jobRunning);
  EXPECT_EQ(state.coreInterface, GetCOREInterface8());
  EXPECT_FALSE(state.viewportLocked);
  ASSERT_NE(state.renderCamera, nullptr);
  EXPECT_STREQ(state.renderCamera->GetName(), L"Cam");
  EXPECT_EQ(state.renderViewport, &host().GetViewExp(0));

  std::vector<std::string> expected = {"StartJob begin", "setting up gamma settings", "setting up default actions"};
  expected.insert(expected.end(), not_ignoring_lines.begin(), not_ignoring_lines.end());
  expected.insert(expected.end(), {"Checking max file validity...", "Trying to load max file...",
                                   "Successfully loaded the max file",
                                   "setting up gamma settings again, just to ensure they're set",
                                   "setting up default actions again, just to ensure they're set"});
  expected.insert(expected.end(), not_ignoring_lines.begin(), not_ignoring_lines.end());
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), expected.size() + 2);
  EXPECT_THAT(lines[expected.size()], MatchesRegex("Got the active viewport: [0-9A-F]{16}"));
  EXPECT_EQ(lines[expected.size() + 1], "Rendering viewport with camera: Cam");
  lines.resize(expected.size());
  EXPECT_EQ(lines, expected);
  // Starting a job is the host's and the log's business; the farm hears only the reply.
  EXPECT_TRUE(farm_messages().empty());
}

// Every way a job start fails, each with its text; the job is then not running.
TEST_F(StartJobTest, EachFailureHasItsText) {
  const auto with = [](const char* section) {
    nlohmann::json scene = testing::small_job_scene();
    scene.update(nlohmann::json::parse(section));
    return scene;
  };
  struct Case {
    const char* name;
    nlohmann::json scene;
    std::wstring camera;
    std::string expected;  // what() begins with this; <file> stands for the scene's path
    std::string log_line;  // the last line the log holds about it
  };
  const Case cases[] = {
      {"not a scene", nlohmann::json("not a scene"), L"", "Invalid max file: \"<file>\"",
       "Checking max file validity..."},
      {"load throws a standard exception", with(R"({"faults": [{"when": "load", "kind": "std_exception"}]})"), L"",
       "Caught an exception in GetCOREInterface()->LoadFromFile(): the scene's fault injection throws a standard "
       "exception",
       "catch(std::exception& e) from LoadFromFile()"},
      {"load throws a MAXException", with(R"({"faults": [{"when": "load", "kind": "max_exception"}]})"), L"",
       "Caught a MAXException in GetCOREInterface()->LoadFromFile(): the scene's fault injection throws a MAXException",
       "catch(MAXException& e) from LoadFromFile()"},
      {"load throws something else", with(R"({"faults": [{"when": "load", "kind": "unknown_exception"}]})"), L"",
       "3ds max crashed in GetCOREInterface()->LoadFromFile(): \"<file>\"", "catch(...) from LoadFromFile()"},
      {"load crashes", with(R"({"faults": [{"when": "load", "kind": "write"}]})"), L"",
       "Trapped SEH Exception in LoadFromFile(): Access Violation\nProcess:  ", "Trying to load max file..."},
      {"load fails", with(R"({"faults": [{"when": "load", "kind": "fail"}]})"), L"",
       "Failed to load max file: \"<file>\"", "LoadFromFile() returned failure"},
      {"a missing texture fails the load", with(R"({"dependencies": ["maps/nowhere.png"]})"), L"",
       "Failed to load max file: \"<file>\"", "LoadFromFile() returned failure"},
      {"no such camera", testing::small_job_scene(), L"Cam02", "Scene does not contain render camera \"Cam02\"",
       "Got the active viewport: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!machine_faults_trapped && c.expected.starts_with("Trapped")) continue;
    host().reset();
    daemon::JobState job;
    const std::wstring file = scene_file(c.scene);
    std::string expected = c.expected;
    if (const auto at = expected.find("<file>"); at != std::string::npos) expected.replace(at, 6, to_string(file));
    try {
      StartJob(job, file, c.camera);
      ADD_FAILURE() << "the job started";
    } catch (const std::runtime_error& error) {
      EXPECT_THAT(error.what(), StartsWith(expected));
    }
    EXPECT_FALSE(job.jobRunning);
    EXPECT_THAT(log.lines().back(), StartsWith(c.log_line));
  }
}

// Messages about missing XREFs fail the job even when the load itself ignored them.
TEST_F(StartJobTest, MissingXrefsFailTheJobWithTheFirstMessage) {
  nlohmann::json scene = testing::small_job_scene();
  scene["missing_files"] = {{"xrefs", {"XRef scene C:\\xrefs\\set.max was not found", "second"}}};
  state.ignoreMissingXREFs = true;
  try {
    StartJob(state, scene_file(scene), L"");
    ADD_FAILURE() << "the job started";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "XRef scene C:\\xrefs\\set.max was not found");
  }
  EXPECT_FALSE(state.jobRunning);
  EXPECT_EQ(log.lines().back(), "Trying to load max file...");
}

TEST_F(StartJobTest, ARunningJobIsRefusedAfterItsTaskSettingsWereReset) {
  StartJob(state, scene_file(testing::small_job_scene()), L"");
  state.showFrameBuffer = false;
  state.regionRendering = true;
  state.frameNumberBase = 7;
  try {
    StartJob(state, scene_file(testing::small_job_scene(), "other.json"), L"");
    ADD_FAILURE() << "a second job started";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "StartJob called when job was already running.");
  }
  EXPECT_TRUE(state.jobRunning);
  EXPECT_TRUE(state.showFrameBuffer);
  EXPECT_FALSE(state.regionRendering);
  EXPECT_EQ(state.frameNumberBase, 0);
}

// The view to render: the active viewport with the camera asked for or its own camera,
// or the locked viewport whatever camera was asked for.
TEST_F(StartJobTest, ChoosesTheViewportAndCamera) {
  struct Case {
    const char* name;
    int active;
    bool follows_active;
    int locked;
    std::wstring camera;
    const wchar_t* expected_camera;  // null: the viewport's own view
    std::vector<std::string> log_lines;  // after the default actions; "<ptr>" is any address
  };
  const Case cases[] = {
      {"active perspective view", 1, true, 0, L"", nullptr,
       {"Got the active viewport: <ptr>", "Viewport is not a camera, so its current view will be rendered"}},
      {"active view, camera asked for", 1, true, 0, L"Cam2", L"Cam2", {"Got the active viewport: <ptr>"}},
      {"active camera view", 0, true, 1, L"", L"Cam",
       {"Got the active viewport: <ptr>", "Rendering viewport with camera: Cam"}},
      {"locked perspective view ignores the camera", 0, false, 1, L"NoSuchCamera", nullptr,
       {"Viewport 1 is locked", "Got the locked viewport: <ptr>",
        "Viewport is not a camera, so its current view will be rendered"}},
      {"locked camera view ignores the camera", 1, false, 0, L"Cam2", L"Cam",
       {"Viewport 0 is locked", "Got the locked viewport: <ptr>", "Rendering viewport with camera: Cam"}},
      {"a node that is not a camera is taken by name", 1, true, 0, L"Props", L"Props",
       {"Got the active viewport: <ptr>"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json scene = testing::small_job_scene();
    scene["nodes"].push_back({{"name", "Cam2"}, {"type", "camera"}, {"position", {0, -8, 1}}});
    scene["nodes"].push_back({{"name", "Props"}, {"type", "group"}});
    scene["active_viewport"] = c.active;
    scene["render_active_viewport"] = c.follows_active;
    scene["locked_viewport"] = c.locked;
    daemon::JobState job;
    const testing::LogCapture job_log;
    StartJob(job, scene_file(scene), c.camera);

    EXPECT_EQ(job.viewportLocked, !c.follows_active);
    EXPECT_EQ(job.renderViewport, &host().GetViewExp(c.follows_active ? c.active : c.locked));
    if (!c.follows_active) {
      EXPECT_EQ(job.lockedViewportIndex, c.locked);
    }
    if (c.expected_camera) {
      ASSERT_NE(job.renderCamera, nullptr);
      EXPECT_STREQ(job.renderCamera->GetName(), c.expected_camera);
    } else {
      EXPECT_EQ(job.renderCamera, nullptr);
    }
    std::vector<std::string> lines = job_log.lines();
    ASSERT_GE(lines.size(), c.log_lines.size());
    lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(c.log_lines.size()));
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string& expected = c.log_lines[i];
      if (const auto at = expected.find("<ptr>"); at != std::string::npos)
        EXPECT_THAT(lines[i], MatchesRegex(expected.substr(0, at) + "[0-9A-F]{16}"));
      else
        EXPECT_EQ(lines[i], expected);
    }
  }
}

TEST_F(StartJobTest, RecognisesTheRenderersKindByItsClassId) {
  struct Case {
    const char* id[2];
    bool a, b, c;
  };
  const Case cases[] = {
      {{"0x52ad1c02", "0x112d2fbc"}, true, false, false},
      {{"0x73bab286", "0x77f8fd0c"}, false, true, false},
      {{"0x58f67d6c", "0x4fcf3bc3"}, false, false, true},
      {{"0x58f67d6c", "0x112d2fbc"}, false, false, false},
      {{"0x50524e44", "0x00000001"}, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id[0]);
    nlohmann::json scene = testing::small_job_scene();
    scene["renderer"] = {{"class_id", {c.id[0], c.id[1]}}};
    // A kind left over from the last job is never kept.
    state.rendererIsTypeA = state.rendererIsTypeB = state.rendererIsTypeC = true;
    StartJob(state, scene_file(scene), L"");
    EXPECT_EQ(state.rendererIsTypeA, c.a);
    EXPECT_EQ(state.rendererIsTypeB, c.b);
    EXPECT_EQ(state.rendererIsTypeC, c.c);
    EndJob(state);
  }
}

TEST_F(StartJobTest, TheMissingFilePolicyBecomesTheHostsDefaultActions) {
  const auto host_actions = [&] {
    std::vector<int> actions;
    for (const int type : {TYPE_MISSING_EXTERNAL_FILES, TYPE_MISSING_DLL_FILES, TYPE_MISSING_XREF_FILES,
                           TYPE_MISSING_UVWS}) {
      int action = -1;
      host().GetDefaultAction(type, action);
      actions.push_back(action);
    }
    return actions;
  };
  state.coreInterface = GetCOREInterface8();
  for (const int type : {1, 2, 3, 4}) host().SetDefaultAction(type, 1);
  ApplyDefaultActions(state);
  EXPECT_THAT(host_actions(), ElementsAre(5, 5, 7, 5));
  EXPECT_EQ(log.lines(), not_ignoring_lines);

  state.ignoreMissingExternalFiles = state.ignoreMissingUVWs = true;
  state.ignoreMissingDLLs = state.ignoreMissingXREFs = true;
  const testing::LogCapture ignoring;
  ApplyDefaultActions(state);
  EXPECT_THAT(host_actions(), ElementsAre(1, 1, 1, 1));
  EXPECT_THAT(ignoring.lines(),
              ElementsAre("Ignoring missing external file errors", "Ignoring missing UVW cooridinate errors",
                          "Ignoring missing DLL errors", "Ignoring missing XREF errors"));

  // Only the external-file messages are ignored: the scene loads with its missing texture.
  state.ignoreMissingUVWs = state.ignoreMissingDLLs = state.ignoreMissingXREFs = false;
  nlohmann::json scene = testing::small_job_scene();
  scene["dependencies"] = {"maps/nowhere.png"};
  StartJob(state, scene_file(scene), L"");
  EXPECT_TRUE(state.jobRunning);

  host().SetDefaultAction(TYPE_MISSING_DLL_FILES, 1);
  ReportDefaultActions(state, connection);
  EXPECT_THAT(farm_lines(), ElementsAre("Checking default actions", "  TYPE_MISSING_EXTERNAL_FILES = IGNORE",
                                        "  TYPE_MISSING_UVWS = FAIL", "  TYPE_MISSING_DLL_FILES = IGNORE",
                                        "  TYPE_MISSING_XREF_FILES = FAIL"));
}

// The farm's gamma wins over the scene's, and the host's stays as it is when the farm
// sends none.
TEST_F(StartJobTest, GammaIsAppliedAfterTheLoadOnlyWhenTheFarmAskedForIt) {
  nlohmann::json scene = testing::small_job_scene();
  scene["gamma"] = {{"enabled", false}, {"in", 1.0}, {"out", 1.0}};
  state.gammaCorrection = true;
  state.gammaIn = 1.8f;
  state.gammaOut = 2.4f;
  StartJob(state, scene_file(scene), L"");
  EXPECT_TRUE(gammaMgr.IsEnabled());
  EXPECT_EQ(gammaMgr.GetFileInGamma(), 1.8f);
  EXPECT_EQ(gammaMgr.GetFileOutGamma(), 2.4f);

  gammaMgr.Enable(0);
  gammaMgr.SetFileInGamma(1.3f);
  state.gammaCorrection = false;
  ApplyGamma(state);
  EXPECT_FALSE(gammaMgr.IsEnabled());
  EXPECT_EQ(gammaMgr.GetFileInGamma(), 1.3f);
}

// The path configuration is in place before the load, so the scene's dependencies resolve.
TEST_F(StartJobTest, LoadsOrMergesThePathConfigurationBeforeTheScene) {
  testing::write_scene(folder.path(), "paths.json",
                       {{"format", "paravelle-paths"}, {"version", 1}, {"search_folders", {"textures"}}});
  std::filesystem::create_directories(folder.path() + "/textures");
  testing::write_scene(folder.path(), "textures/wood.png", "not really an image");
  nlohmann::json scene = testing::small_job_scene();
  scene["dependencies"] = {"wood.png"};
  const std::wstring file = scene_file(scene);
  state.usePathConfigFile = true;
  state.pathConfigFile = testing::wide(folder.path() + "/paths.json");

  StartJob(state, file, L"");
  EXPECT_TRUE(log.contains_line("Loading alternate path config file " + folder.path() + "/paths.json"));
  EndJob(state);

  host::standalone::path_configuration().clear();
  state.mergePathConfigFile = true;
  StartJob(state, file, L"");
  EXPECT_TRUE(log.contains_line("Merging alternate path config file " + folder.path() + "/paths.json"));
  EXPECT_EQ(host::standalone::path_configuration().search_folders().size(), 1u);
}

TEST_F(StartJobTest, EndJobClosesTheRendererAndFlushesTheHostsCaches) {
  try {
    EndJob(state);
    ADD_FAILURE() << "a job ended that never started";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "EndJob called when consistency check flag jobRunning was not set");
  }

  StartJob(state, scene_file(testing::small_job_scene()), L"");
  SetupRenderParameters(state, 0, connection);
  ASSERT_TRUE(host().renderer_open());
  EndJob(state);
  EXPECT_FALSE(state.jobRunning);
  EXPECT_FALSE(state.rendererOpen);
  EXPECT_FALSE(host().renderer_open());
  EXPECT_EQ(host().flush_count(), 1);
  EXPECT_EQ(state.multipassEffect, nullptr);
  EXPECT_THROW(EndJob(state), std::runtime_error);
}

// A renderer that cannot be closed keeps the job running, so EndJob can be tried again.
TEST_F(StartJobTest, ACrashClosingTheRendererKeepsTheJobRunning) {
  SKIP_MACHINE_FAULTS_UNDER_TSAN();
  nlohmann::json scene = testing::small_job_scene();
  scene["faults"] = {{{"when", "close"}, {"kind", "divide_by_zero"}}};
  StartJob(state, scene_file(scene), L"");
  SetupRenderParameters(state, 0, connection);
  try {
    EndJob(state);
    ADD_FAILURE() << "the job ended";
  } catch (const std::runtime_error& error) {
    EXPECT_THAT(error.what(), StartsWith("Trapped SEH Exception in CloseCurRenderer(): Integer Divide By Zero\n"
                                         "Process:  "));
    EXPECT_THAT(error.what(), HasSubstr("Exception Code:  C0000094"));
  }
  EXPECT_TRUE(state.jobRunning);
  EXPECT_TRUE(state.rendererOpen);
  EXPECT_EQ(host().flush_count(), 0);
}

}  // namespace
}  // namespace paravelle::render
