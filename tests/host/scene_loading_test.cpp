// LoadFromFile and IsValidSceneFile through the core interface, the default-action
// system, the start-up scene and node lookup.

#include <gmock/gmock.h>

#include "host/maxscript_runtime.h"
#include "host/standalone/path_config.h"
#include "host/standalone/loaded_scene.h"
#include "host_fixture.h"

namespace {

using ::testing::HasSubstr;

class SceneLoading : public paravelle::host_test::HostTest {
 protected:
  std::wstring write(const nlohmann::json& scene, const std::string& name) {
    return paravelle::host_test::ScratchFolder::wide(folder_.write(name, scene.dump()));
  }
  static nlohmann::json with_missing_files() {
    nlohmann::json scene = paravelle::host_test::small_scene();
    scene["missing_files"] = nlohmann::json::parse(
        R"({"external_files": ["wood.png"], "dlls": ["a.dll", "b.dll"], "xrefs": ["tree.max"], "uvws": ["uvw"]})");
    return scene;
  }
};

TEST_F(SceneLoading, StartUpSceneHasTheUsualDefaults) {
  Interface14* core = GetCOREInterface14();
  EXPECT_EQ(core, GetCOREInterface());
  EXPECT_EQ(core->GetRendWidth(), 640);
  EXPECT_EQ(core->GetRendHeight(), 480);
  EXPECT_EQ(core->GetActiveViewExp().GetViewCamera(), nullptr);
  int action = 0;
  for (const auto& [type, expected] : {std::pair{1, 5}, {2, 5}, {3, 7}, {4, 5}}) {
    ASSERT_TRUE(core->GetDefaultAction(type, action));
    EXPECT_EQ(action, expected) << "type " << type;
  }
  EXPECT_FALSE(core->GetDefaultAction(9, action));
}

TEST_F(SceneLoading, ValidityNeedsAnExistingFileOfTheFormatAndVersion) {
  EXPECT_TRUE(host().IsValidSceneFile(write(paravelle::host_test::small_scene(), "ok.json").c_str()));
  nlohmann::json future = paravelle::host_test::small_scene();
  future["version"] = 2;
  EXPECT_FALSE(host().IsValidSceneFile(write(future, "v2.json").c_str()));
  EXPECT_FALSE(
      host().IsValidSceneFile(paravelle::host_test::ScratchFolder::wide(folder_.write("x.json", "{not json")).c_str()));
  EXPECT_FALSE(host().IsValidSceneFile(L"/nonexistent/scene.json"));
  EXPECT_FALSE(host().IsValidSceneFile(paravelle::host_test::ScratchFolder::wide(folder_.path().string()).c_str()));
}

TEST_F(SceneLoading, ABadSceneFailsWithItsMessageAndKeepsThePreviousScene) {
  load(paravelle::host_test::small_scene());
  host().SetRendWidth(100);
  nlohmann::json bad = paravelle::host_test::small_scene();
  bad["nodes"][1]["type"] = "cone";
  const std::wstring file = write(bad, "bad.json");
  EXPECT_FALSE(host().LoadFromFile(file.c_str(), 14));
  EXPECT_THAT(listener_text(), HasSubstr("bad.json: nodes[1](\"Ball\").type: unknown node type \"cone\""));
  EXPECT_EQ(host().GetRendWidth(), 100);
  EXPECT_NE(host().GetINodeByName(L"Ball"), nullptr);
}

TEST_F(SceneLoading, MissingFilesFailTheLoadUnlessTheirTypeIsIgnored) {
  const std::wstring file = write(with_missing_files(), "missing.json");
  EXPECT_FALSE(host().LoadFromFile(file.c_str(), 14));
  EXPECT_EQ(host().NumRecordedMessages(TYPE_MISSING_EXTERNAL_FILES), 1);
  EXPECT_EQ(host().NumRecordedMessages(TYPE_MISSING_DLL_FILES), 2);
  EXPECT_EQ(host().NumRecordedMessages(TYPE_MISSING_XREF_FILES), 1);
  EXPECT_EQ(host().NumRecordedMessages(TYPE_MISSING_UVWS), 1);
  EXPECT_THAT(listener_text(), HasSubstr("2 missing DLL message(s), default action 5; the first: a.dll"));
  EXPECT_EQ(host().GetINodeByName(L"Ball"), nullptr) << "a failed load applies nothing";

  // Ignoring three types still fails on the fourth; ignoring all four loads and the
  // XREF messages stay recorded for the caller to check.
  for (int type : {1, 2, 4}) host().SetDefaultAction(type, DEFAULT_ACTION_IGNORE);
  EXPECT_FALSE(host().LoadFromFile(file.c_str(), 14));
  host().SetDefaultAction(TYPE_MISSING_XREF_FILES, DEFAULT_ACTION_IGNORE);
  EXPECT_TRUE(host().LoadFromFile(file.c_str(), 14));
  std::wstring text;
  ASSERT_TRUE(host().GetRecordedMessage(text, TYPE_MISSING_XREF_FILES, 0));
  EXPECT_EQ(text, L"tree.max");
  EXPECT_FALSE(host().GetRecordedMessage(text, TYPE_MISSING_XREF_FILES, 1));
  ASSERT_TRUE(host().GetRecordedMessage(text, TYPE_MISSING_DLL_FILES, 1));
  EXPECT_EQ(text, L"b.dll");

  // Each load records afresh.
  load(paravelle::host_test::small_scene(), "clean.json");
  EXPECT_EQ(host().NumRecordedMessages(TYPE_MISSING_XREF_FILES), 0);
}

TEST_F(SceneLoading, OnlyTheTypesWithMessagesDecide) {
  nlohmann::json scene = paravelle::host_test::small_scene();
  scene["missing_files"] = nlohmann::json::parse(R"({"uvws": ["uvw"]})");
  const std::wstring file = write(scene, "uvw.json");
  host().SetDefaultAction(TYPE_MISSING_UVWS, DEFAULT_ACTION_IGNORE);
  EXPECT_TRUE(host().LoadFromFile(file.c_str(), 14));
  host().SetDefaultAction(TYPE_MISSING_UVWS, DEFAULT_ACTION_FAIL_XREF);
  EXPECT_FALSE(host().LoadFromFile(file.c_str(), 14)) << "every action but 1 fails";
}

TEST_F(SceneLoading, DependenciesResolveThroughTheSceneFolderAndThePathConfiguration) {
  nlohmann::json scene = paravelle::host_test::small_scene();
  scene["dependencies"] = {"maps/wood.png", "shared.png"};
  folder_.write("maps/wood.png", "x");
  folder_.write("library/shared.png", "x");
  const std::wstring file = write(scene, "deps.json");
  paravelle::host::standalone::path_configuration().clear();
  EXPECT_FALSE(host().LoadFromFile(file.c_str(), 14));
  std::wstring text;
  ASSERT_EQ(host().NumRecordedMessages(TYPE_MISSING_EXTERNAL_FILES), 1);
  host().GetRecordedMessage(text, TYPE_MISSING_EXTERNAL_FILES, 0);
  EXPECT_EQ(text, L"Missing external file: shared.png");

  const std::wstring config = paravelle::host_test::ScratchFolder::wide(
      folder_.write("paths.json", R"({"format": "paravelle-paths", "version": 1, "search_folders": ["library"]})"));
  IPathConfigMgr* paths = IPathConfigMgr::GetPathConfigMgr();
  EXPECT_TRUE(paths->LoadPathConfiguration(config.c_str()));
  EXPECT_TRUE(host().LoadFromFile(file.c_str(), 14));
  EXPECT_TRUE(paths->MergePathConfiguration(config.c_str()));
  EXPECT_EQ(paravelle::host::standalone::path_configuration().search_folders().size(), 1u)
      << "merge adds only new folders";
  EXPECT_FALSE(paths->LoadPathConfiguration(L"/nonexistent/paths.json"));
  EXPECT_EQ(paravelle::host::standalone::path_configuration().search_folders().size(), 1u)
      << "a failed load changes nothing";
  paravelle::host::standalone::path_configuration().clear();
}

TEST_F(SceneLoading, PostLoadScriptRunsAndItsFailureDoesNotFailTheLoad) {
  std::vector<std::wstring> scripts;
  paravelle::host::standalone::set_scene_script_runner([&](const std::wstring& script) {
    scripts.push_back(script);
    return false;
  });
  nlohmann::json scene = paravelle::host_test::small_scene();
  scene["scripts"] = {{"post_load", "print \"loaded\""}, {"pre_frame", "x = 1"}};
  load(scene);
  paravelle::host::standalone::set_scene_script_runner(nullptr);
  EXPECT_EQ(scripts, std::vector<std::wstring>{L"print \"loaded\""});
  EXPECT_THAT(listener_text(), HasSubstr("the scene's post-load script failed; the scene stays loaded"));
}

// A scene script that loads its own scene would recurse until the stack ran out; the
// innermost load's script fails instead, and every load around it completes.
TEST_F(SceneLoading, ASceneThatLoadsItselfStopsWithAScriptError) {
  const std::string path = folder_.native("self.json");
  nlohmann::json scene = paravelle::host_test::small_scene();
  scene["scripts"] = {{"post_load", "global reloads = (if reloads == undefined then 1 else reloads + 1)\n"
                                    "loadMaxFile \"" +
                                        path + "\""}};
  load(scene, "self.json");
  // 32 nested scripts at most; fewer where the stack runs low first (a sanitizer's frames).
  const int reloads = static_cast<Integer*>(globals->get(L"reloads"))->value();
  EXPECT_LE(reloads, 32);
  EXPECT_GE(reloads, 8);
  EXPECT_THAT(listener_text(), HasSubstr("-- Runtime error: scripts nested too deeply (a script that runs itself?)"));
  globals->remove(Name::intern(L"reloads"));
}

TEST_F(SceneLoading, NodesAreFoundDepthFirstInFileOrder) {
  nlohmann::json scene = paravelle::host_test::small_scene();
  scene["nodes"] = nlohmann::json::parse(R"([
    {"name": "Rig", "type": "group", "children": [{"name": "Cam", "type": "group"}]},
    {"name": "Cam", "type": "camera", "position": [0, -5, 0], "children": [
      {"name": "Multipass", "type": "node"}, {"name": "multipass", "type": "node"}]}])");
  scene["viewports"] = nlohmann::json::parse(R"([{"camera": "Cam"}])");
  load(scene);
  INode* found = host().GetINodeByName(L"Cam");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->EvalWorldState(0), nullptr) << "the group inside Rig comes first";
  INode* camera = host().GetActiveViewExp().GetViewCamera();
  ASSERT_NE(camera, nullptr);
  EXPECT_NE(camera, found) << "the viewport looks through the camera, not the group";
  ASSERT_EQ(camera->NumberOfChildren(), 2);
  EXPECT_STREQ(camera->GetChildNode(1)->GetName(), L"multipass");
  EXPECT_EQ(camera->GetChildNode(2), nullptr);
  EXPECT_EQ(host().GetINodeByName(L"cam"), nullptr);
}

TEST_F(SceneLoading, ViewportsAndRenderSettings) {
  nlohmann::json scene = paravelle::host_test::small_scene();
  scene["active_viewport"] = 1;
  scene["render_active_viewport"] = false;
  scene["locked_viewport"] = 0;
  scene["render"]["output_file"] = "C:\\out\\beauty.exr";
  load(scene);
  EXPECT_EQ(host().GetActiveViewExp().GetViewCamera(), nullptr);
  EXPECT_FALSE(host().GetUseActiveViewForRender());
  EXPECT_EQ(host().GetRenderViewIndex(), 0);
  EXPECT_STREQ(host().GetViewExp(0).GetViewCamera()->GetName(), L"Camera01");
  EXPECT_EQ(host().GetViewExp(7).GetViewCamera(), nullptr);
  ASSERT_FALSE(host().log_records().empty());
  EXPECT_EQ(host().log_records().back().text, L"no viewport 7; using the default perspective view");

  host().SetRendHeight(40);
  const BitmapInfo& output = host().GetRendFileBI();
  EXPECT_STREQ(output.Name(), L"C:\\out\\beauty.exr");
  EXPECT_EQ(output.Width(), 64);
  EXPECT_EQ(output.Height(), 40);
  RendParams params;
  host().SetupRendParams(params, nullptr, 4);
  EXPECT_EQ(params.rendType, 4);
  EXPECT_EQ(params.height, 40);
  EXPECT_EQ(params.frameDuration, 160);
}

}  // namespace
