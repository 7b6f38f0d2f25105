#include "host/standalone/scene_loader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host_fixture.h"

namespace host::standalone {
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
  const std::string version = R"({"format": "paravelle-scene", "version": )" + std::string(200000, '[') +
                              std::string(200000, ']') + "}";
  const std::string refused = "nested deeper than 256 levels of objects and arrays";
  EXPECT_EQ(load_error("v.json", version), "line 1, column 297: " + refused);
  EXPECT_THAT(load_error("g.json", groups(20000, "[]")), HasSubstr(": " + refused));

  std::string deep_path = "nodes";
  for (int i = 0; i < 120; ++i) deep_path += "[0](\"g\").children";
  EXPECT_EQ(load_error("p.json", groups(120, R"([{"name": "c", "type": "cone"}])")),
            deep_path + "[0](\"c\").type: unknown node type \"cone\" (expected group, node, camera, sphere, plane, "
                        "box, point_light or directional_light)");
}

TEST(SceneLoader, ReadsEverySectionWithDefaults) {
  nlohmann::json scene = host_test::small_scene();
  scene["renderer"] = nlohmann::json::parse(R"({"class_id": ["0x52ad1c02", 288174012], "float_output": true})");
  scene["nodes"][0]["class_id"] = {"0x399ee5f2", "0x584a71a8"};
  scene["nodes"][0]["multipass"] = nlohmann::json::parse(
      R"({"type": "motion_blur", "class_id": ["0x6cc9546e", "0x0b1961b9"], "passes": 3})");
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
}  // namespace host::standalone
