#include "host/standalone/scene_loader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "host_fixture.h"

namespace paravelle::host::standalone {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string load_error(const std::string& file_name, const std::string& text) {
  host_test::ScratchFolder folder;
  const std::string path = folder.write(file_name, text);
  try {
    load_scene_file(path);
  } catch (const std::runtime_error& error) {
    const std::string message = error.what();
    EXPECT_THAT(message, StartsWith(path + ": "));
    return message.substr(path.size() + 2);
  }
  ADD_FAILURE() << "the scene loaded";
  return {};
}

std::string with(const std::string& key, const std::string& value) {
  nlohmann::json scene = host_test::small_scene();
  scene[key] = nlohmann::json::parse(value);
  return scene.dump(2);
}

TEST(SceneLoader, ErrorsNameTheFileAndWhatIsWrong) {
  EXPECT_EQ(load_error("a.json", "{\n  \"format\": \"paravelle-scene\",\n  \"version\": 1,\n  oops\n}").substr(0, 20),
            "line 4, column 3: sy");
  EXPECT_EQ(
      load_error("n.json", "{\"format\": \"paravelle-scene\", \"version\": 1,\n \"render\": {\"width\": -1e400}}"),
      "line 2, column 22: the number -1e400 is out of range");
  EXPECT_EQ(load_error("b.json", R"({"format": "paravelle-scene", "version": 2})"),
            "version: unsupported version 2 (this host reads version 1)");
  EXPECT_EQ(load_error("c.json", R"({"format": "other", "version": 1})"),
            "not a scene file (\"format\" must be \"paravelle-scene\")");
  EXPECT_EQ(load_error("d.json", with("nodes", R"([{"name": "G", "type": "group", "children": [
                                      {"name": "Cone01", "type": "cone"}]}])")),
            "nodes[0](\"G\").children[0](\"Cone01\").type: unknown node type \"cone\" (expected group, node, "
            "camera, sphere, plane, box, point_light or directional_light)");
  EXPECT_EQ(load_error("e.json", with("viewports", R"([{"camera": "Nobody"}])")),
            "viewports[0].camera: no camera node named \"Nobody\"");
  EXPECT_EQ(load_error("f.json", with("viewports", R"([{"camera": "Ball"}])")),
            "viewports[0].camera: node \"Ball\" is not a camera");
  EXPECT_EQ(load_error("g.json", with("render", R"({"width": "wide"})")), "render.width: expected an integer");
  EXPECT_EQ(load_error("h.json", with("render", R"({"widht": 10})")), "render: unknown key \"widht\"");
  EXPECT_EQ(load_error("i.json", with("active_viewport", "5")), "active_viewport: no viewport with index 5");
  EXPECT_EQ(load_error("j.json", with("faults", R"([{"when": "render", "kind": "write"}])")),
            "faults[0]: missing \"frame\"");
  EXPECT_EQ(load_error("k.json", with("nodes", R"([{"name": "C", "type": "camera", "position": [0, 0, 0],
      "multipass": {"type": "depth_of_field", "passes": 0}}])")),
            "nodes[0](\"C\").multipass.passes: needs at least 1 pass");
  EXPECT_THAT(load_error("l.json", with("nodes", R"([{"name": "S", "type": "sphere",
      "position": [{"frame": 5, "value": [0, 0, 0]}, {"frame": 5, "value": [1, 0, 0]}]}])")),
              HasSubstr("position[1].frame: key frames must increase"));

  try {
    load_scene_file("/nonexistent/folder/scene.json");
    FAIL();
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "/nonexistent/folder/scene.json: cannot open the scene file");
  }
}

// Files nested without end are refused before they are read, and error paths deep in a
// file still come out whole.
TEST(SceneLoader, DeepNestingIsRefusedAndDeepPathsComeOutWhole) {
  const auto groups = [](int levels, const std::string& innermost) {
    std::string text = R"({"format": "paravelle-scene", "version": 1, "nodes": )";
    for (int i = 0; i < levels; ++i) text += R"([{"name": "g", "type": "group", "children": )";
    text += innermost;
    for (int i = 0; i < levels; ++i) text += "}]";
    return text + "}";
  };
  const std::string version =
      R"({"format": "paravelle-scene", "version": )" + std::string(200000, '[') + std::string(200000, ']') + "}";
  const std::string refused = "nested deeper than 256 levels of objects and arrays";
  EXPECT_EQ(load_error("v.json", version), "line 1, column 297: " + refused);
  EXPECT_THAT(load_error("g.json", groups(20000, "[]")), HasSubstr(": " + refused));

  std::string deep_path = "nodes";
  for (int i = 0; i < 120; ++i) deep_path += "[0](\"g\").children";
  EXPECT_EQ(load_error("p.json", groups(120, R"([{"name": "c", "type": "cone"}])")),
            deep_path + "[0](\"c\").type: unknown node type \"cone\" (expected group, node, camera, sphere, plane, "
                        "box, point_light or directional_light)");
}

// Sizes that would take the machine down are refused with what was asked for and the
// limit; the largest allowed still loads.
TEST(SceneLoader, AbsurdSizesAreRefusedAndTheLimitsThemselvesLoad) {
  const auto render_size = [](int width, int height) {
    return with("render", R"({"width": )" + std::to_string(width) + R"(, "height": )" + std::to_string(height) + "}");
  };
  const auto flat_nodes = [](std::size_t count, bool one_more_as_child) {
    nlohmann::json scene = host_test::small_scene();
    nlohmann::json nodes = scene["nodes"];
    for (std::size_t i = nodes.size(); i < count; ++i) nodes.push_back({{"name", "n"}, {"type", "node"}});
    if (one_more_as_child) nodes.back()["children"] = {{{"name", "c"}, {"type", "node"}}};
    scene["nodes"] = nodes;
    return scene.dump();
  };
  const auto elements = [](std::size_t count) {
    nlohmann::json list = nlohmann::json::array();
    for (std::size_t i = 0; i < count; ++i) list.push_back({{"name", "a"}, {"content", "alpha"}});
    nlohmann::json scene = host_test::small_scene();
    scene["render_elements"] = {{"elements", list}};
    return scene.dump();
  };
  const struct {
    const char* what;
    std::string text;
    std::string error;  // empty: loads
  } cases[] = {
      {"a gigapixel image", render_size(32768, 32768),
       "render: 32768 x 32768 is 1073741824 pixels; an image may have at most 67108864"},
      {"one row past the limit", render_size(8192, 8193),
       "render: 8192 x 8193 is 67117056 pixels; an image may have at most 67108864"},
      {"the largest image", render_size(8192, 8192), ""},
      {"one node past the limit, as a child", flat_nodes(100000, true),
       "nodes: more than 100000 nodes, counting children"},
      {"the most nodes", flat_nodes(100000, false), ""},
      {"seventeen render elements", elements(17),
       "render_elements.elements: 17 render elements; a scene may have at most 16"},
      {"sixteen render elements", elements(16), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.error.empty()) {
      EXPECT_NO_THROW(parse_scene_text(c.text, "mem"));
    } else {
      EXPECT_EQ(load_error("s.json", c.text), c.error);
    }
  }
}

// Only regular files of a sane size are read: a device or a pipe would be read without
// end, and a huge file is refused before it is read at all.
TEST(SceneLoader, FilesThatAreNoSceneFilesAreRefusedUnread) {
  host_test::ScratchFolder folder;
  const std::string fifo = folder.native("pipe.json");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string huge = folder.write("huge.json", "");
  std::filesystem::resize_file(huge, (64u << 20) + 1);  // sparse: no disk used
  const struct {
    std::string path;
    std::string error;
  } cases[] = {
      {"/dev/zero", "/dev/zero: not a regular file"},
      {fifo, fifo + ": not a regular file"},
      {folder.path().string(), folder.path().string() + ": not a regular file"},
      {huge, huge + ": 67108865 bytes; a scene file may have at most 67108864"},
  };
  for (const auto& c : cases) {
    try {
      load_scene_file(c.path);
      ADD_FAILURE() << c.path << " loaded";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), c.error);
    }
  }
}

TEST(SceneLoader, ReadsEverySectionWithDefaults) {
  nlohmann::json scene = host_test::small_scene();
  scene["renderer"] = nlohmann::json::parse(R"({"class_id": ["0x52ad1c02", 288174012], "float_output": true})");
  scene["nodes"][0]["class_id"] = {"0x399ee5f2", "0x584a71a8"};
  scene["nodes"][0]["multipass"] =
      nlohmann::json::parse(R"({"type": "motion_blur", "class_id": ["0x6cc9546e", "0x0b1961b9"], "passes": 3})");
  scene["missing_files"] = nlohmann::json::parse(R"({"xrefs": ["x1", "x2"], "uvws": ["u"]})");
  const SceneSpec spec = parse_scene_text(scene.dump(), "mem");

  EXPECT_EQ(spec.ticks_per_frame, 160);
  EXPECT_EQ(spec.renderer.class_id, Class_ID(0x52ad1c02, 0x112d2fbc));
  EXPECT_TRUE(spec.renderer.float_output);
  EXPECT_FALSE(spec.renderer.saves_own_output);
  EXPECT_EQ(spec.nodes[0].camera.class_id, Class_ID(0x399ee5f2, 0x584a71a8));
  EXPECT_EQ(spec.nodes[0].camera.effect.class_id, Class_ID(0x6cc9546e, 0x0b1961b9));
  EXPECT_EQ(spec.nodes[0].camera.effect.kind, MultipassSpec::Kind::motion_blur);
  EXPECT_EQ(spec.missing_messages.at(TYPE_MISSING_XREF_FILES), (std::vector<std::wstring>{L"x1", L"x2"}));
  EXPECT_EQ(spec.render.pixel_aspect, 1.0f);
  EXPECT_FALSE(spec.render.save_file);
  EXPECT_EQ(spec.active_viewport, 0);
  EXPECT_TRUE(spec.render_active_viewport);
}

TEST(Track, InterpolatesLinearlyAndHoldsOutsideTheKeys) {
  const Track track{{{0, {0, 0, 0}}, {10, {10, -20, 5}}, {20, {10, -20, 25}}}};
  EXPECT_DOUBLE_EQ(track.at(-5).x, 0);
  EXPECT_DOUBLE_EQ(track.at(2.5).x, 2.5);
  EXPECT_DOUBLE_EQ(track.at(2.5).y, -5);
  EXPECT_DOUBLE_EQ(track.at(15).z, 15);
  EXPECT_DOUBLE_EQ(track.at(99).z, 25);
}

}  // namespace
}  // namespace paravelle::host::standalone
