// Scene files: what the loader reads and refuses with the file and the entry named, and
// LoadFromFile with the default actions for missing files, scripts and path configurations.

#include "host/standalone/scene_loader.h"

#include <gmock/gmock.h>

#include <sys/stat.h>

#include "host/standalone/loaded_scene.h"
#include "host_fixture.h"

namespace paravelle::host::standalone {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string load_error(const std::string& text) {
  host_test::Folder folder;
  const std::string path = folder.write("s.json", text);
  try {
    load_scene_file(path);
  } catch (const std::runtime_error& error) {
    const std::string message = error.what();
    EXPECT_THAT(message, StartsWith(path + ": "));
    return message.substr(path.size() + 2);
  }
  return "loaded";
}

std::string with(const std::string& key, const std::string& value) {
  nlohmann::json scene = host_test::small_scene();
  scene[key] = nlohmann::json::parse(value);
  return scene.dump(2);
}

TEST(SceneLoader, ErrorsNameTheFileAndWhatIsWrongAndTheLimitsThemselvesLoad) {
  const auto groups = [](int levels, const std::string& innermost) {
    std::string text = R"({"format": "paravelle-scene", "version": 1, "nodes": )";
    for (int i = 0; i < levels; ++i) text += R"([{"name": "g", "type": "group", "children": )";
    text += innermost;
    for (int i = 0; i < levels; ++i) text += "}]";
    return text + "}";
  };
  const auto nodes = [](std::size_t count, bool one_more_as_child) {
    nlohmann::json scene = host_test::small_scene();
    for (std::size_t i = scene["nodes"].size(); i < count; ++i)
      scene["nodes"].push_back({{"name", "n"}, {"type", "node"}});
    if (one_more_as_child) scene["nodes"].back()["children"] = {{{"name", "c"}, {"type", "node"}}};
    return scene.dump();
  };
  const auto elements = [](std::size_t count) {
    nlohmann::json scene = host_test::small_scene();
    scene["render_elements"]["elements"] = nlohmann::json::array();
    for (std::size_t i = 0; i < count; ++i)
      scene["render_elements"]["elements"].push_back({{"name", "a"}, {"content", "alpha"}});
    return scene.dump();
  };
  const std::string cone =
      "unknown node type \"cone\" (expected group, node, camera, sphere, plane, box, point_light or "
      "directional_light)";
  std::string deep_path = "nodes";
  for (int i = 0; i < 120; ++i) deep_path += "[0](\"g\").children";
  const std::string nested = "nested deeper than 256 levels of objects and arrays";
  const std::pair<std::string, std::string> cases[] = {
      {"{\n  \"format\": \"paravelle-scene\",\n  \"version\": 1,\n  oops\n}", "line 4, column 3: sy*"},
      {"{\"format\": \"paravelle-scene\", \"version\": 1,\n \"render\": {\"width\": -1e400}}",
       "line 2, column 22: the number -1e400 is out of range"},
      {R"({"format": "paravelle-scene", "version": 2})", "version: unsupported version 2 (this host reads version 1)"},
      {R"({"format": "other", "version": 1})", "not a scene file (\"format\" must be \"paravelle-scene\")"},
      {groups(1, R"([{"name": "Cone01", "type": "cone"}])"), "nodes[0](\"g\").children[0](\"Cone01\").type: " + cone},
      {groups(120, R"([{"name": "c", "type": "cone"}])"), deep_path + "[0](\"c\").type: " + cone},
      {R"({"format": "paravelle-scene", "version": )" + std::string(200000, '[') + std::string(200000, ']') + "}",
       "line 1, column 297: " + nested},
      {groups(20000, "[]"), "*" + nested},
      {with("viewports", R"([{"camera": "Nobody"}])"), "viewports[0].camera: no camera node named \"Nobody\""},
      {with("render", R"({"width": "wide"})"), "render.width: expected an integer"},
      {with("faults", R"([{"when": "render", "kind": "write"}])"), "faults[0]: missing \"frame\""},
      {with(
           "nodes",
           R"([{"name": "C", "type": "camera", "position": [0, 0, 0], "multipass": {"type": "depth_of_field", "passes": 0}}])"),
       "nodes[0](\"C\").multipass.passes: needs at least 1 pass"},
      {with("nodes", R"([{"name": "S", "type": "sphere", "position": [{"frame": 5, "value": [0, 0, 0]},
         {"frame": 5, "value": [1, 0, 0]}]}])"),
       "nodes[0](\"S\").position[1].frame: key frames must increase"},
      {with("render", R"({"width": 8192, "height": 8193})"),
       "render: 8192 x 8193 is 67117056 pixels; an image may have at most 67108864"},
      {with("render", R"({"width": 8192, "height": 8192})"), "loaded"},
      {nodes(100000, true), "nodes: more than 100000 nodes, counting children"},
      {nodes(100000, false), "loaded"},
      {elements(17), "render_elements.elements: 17 render elements; a scene may have at most 16"},
      {elements(16), "loaded"},
  };
  for (const auto& [text, error] : cases) {
    const std::string got = load_error(text);
    if (error.starts_with("*"))
      EXPECT_THAT(got, HasSubstr(error.substr(1)));
    else if (error.ends_with("*"))
      EXPECT_THAT(got, StartsWith(error.substr(0, error.size() - 1)));
    else
      EXPECT_EQ(got, error) << text.substr(0, 200);
  }
}

// Only regular files of a sane size are read: a device or a pipe would be read without
// end, and a huge file is refused before it is read at all.
TEST(SceneLoader, FilesThatAreNoSceneFilesAreRefusedUnread) {
  host_test::Folder folder;
  const std::string fifo = folder.native("pipe.json");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string huge = folder.write("huge.json", "");
  std::filesystem::resize_file(huge, (64u << 20) + 1);  // sparse: no disk used
  for (const auto& c :
       {std::pair{std::string("/dev/zero"), std::string("/dev/zero: not a regular file")},
        {fifo, fifo + ": not a regular file"},
        {folder.path(), folder.path() + ": not a regular file"},
        {huge, huge + ": 67108865 bytes; a scene file may have at most 67108864"},
        {std::string("/nonexistent/scene.json"), std::string("/nonexistent/scene.json: cannot open the scene file")}}) {
    EXPECT_THAT([&] { load_scene_file(c.first); }, ::testing::ThrowsMessage<std::runtime_error>(c.second));
  }
}

class SceneLoading : public host_test::HostTest {};

TEST_F(SceneLoading, ABadSceneOrMissingFilesFailTheLoadAndKeepThePreviousScene) {
  load(host_test::small_scene());
  host().SetRendWidth(100);
  nlohmann::json bad = host_test::small_scene();
  bad["nodes"][1]["type"] = "cone";
  EXPECT_FALSE(host().LoadFromFile(write(bad, "bad.json").c_str(), 14));
  EXPECT_THAT(listener_text(), HasSubstr("bad.json: nodes[1](\"Ball\").type: unknown node type \"cone\""));
  EXPECT_EQ(host().GetRendWidth(), 100);

  nlohmann::json missing = host_test::small_scene();
  missing["nodes"][1]["name"] = "Other";
  missing["missing_files"] = nlohmann::json::parse(
      R"({"external_files": ["wood.png"], "dlls": ["a.dll", "b.dll"], "xrefs": ["tree.max"], "uvws": ["uvw"]})");
  const std::wstring file = write(missing, "missing.json");
  EXPECT_FALSE(host().LoadFromFile(file.c_str(), 14));
  EXPECT_EQ(host().NumRecordedMessages(TYPE_MISSING_DLL_FILES), 2);
  EXPECT_EQ(host().NumRecordedMessages(TYPE_MISSING_UVWS), 1);
  EXPECT_THAT(listener_text(), HasSubstr("2 missing DLL message(s), default action 5; the first: a.dll"));
  EXPECT_NE(host().GetINodeByName(L"Ball"), nullptr) << "a failed load applies nothing";
  // Ignoring three types still fails on the fourth; ignoring all four loads and the
  // messages stay recorded for the caller to check.
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
  host().SetDefaultAction(TYPE_MISSING_UVWS, DEFAULT_ACTION_FAIL_XREF);
  EXPECT_FALSE(host().LoadFromFile(file.c_str(), 14)) << "every action but 1 fails";
  load(host_test::small_scene(), "clean.json");
  EXPECT_EQ(host().NumRecordedMessages(TYPE_MISSING_XREF_FILES), 0) << "each load records afresh";
}

}  // namespace
}  // namespace paravelle::host::standalone
