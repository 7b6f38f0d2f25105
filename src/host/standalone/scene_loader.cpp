// Reading scene files: the top level, the checks that span sections, and the "nodes"
// section (cameras, geometry, lights and groups).

#include "host/standalone/scene_loader.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "host/core.h"
#include "host/standalone/json_field.h"
#include "host/standalone/wide_text.h"

namespace paravelle::host::standalone {
namespace {

constexpr std::size_t kMaximumNesting = 256;
// What a scene may ask for before its sheer size takes the machine down: every frame
// buffer (the image, each render element, the multipass accumulators) holds four floats
// a pixel, and the renderer tests every ray against every node.
constexpr std::int64_t kMaximumPixels = std::int64_t{1} << 26;  // 8192 x 8192
constexpr std::size_t kMaximumRenderElements = 16;
constexpr std::size_t kMaximumNodes = 100000;
constexpr std::uintmax_t kMaximumFileBytes = std::uintmax_t{64} << 20;

std::string line_and_column(const std::string& text, std::size_t byte) {
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i + 1 < byte && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// nlohmann's message starts with "[json.exception.parse_error.101] parse error at line
// 3, column 5: "; the position is given separately, so keep only what is wrong.
std::string syntax_problem(const nlohmann::json::parse_error& error) {
  const std::string message = error.what();
  const auto colon = message.find(": ");
  return colon == std::string::npos ? message : message.substr(colon + 2);
}

// A number past the range of a double ("1e400"): the parser names the number but not
// where it stands, so the first place it appears is given.
std::string number_problem(const std::string& text, const nlohmann::json::out_of_range& error) {
  const std::string message = error.what();
  const auto open = message.find('\'');
  const auto close = message.rfind('\'');
  if (open == std::string::npos || close <= open) return "a number out of range";
  const std::string number = message.substr(open + 1, close - open - 1);
  const auto at = text.find(number);
  const std::string where = at == std::string::npos ? "" : line_and_column(text, at + 1) + ": ";
  return where + "the number " + number + " is out of range";
}

void read_render_settings(const JsonField& field, RenderSettingsSpec& render) {
  field.expect_object({"width", "height", "pixel_aspect", "output_file", "save_file", "skip_rendered_frames",
                       "samples_per_axis", "threads", "tile_size"});
  render.width = field.integer_or("width", render.width);
  render.height = field.integer_or("height", render.height);
  if (render.width < 1 || render.width > 32768) field["width"].fail("must lie between 1 and 32768");
  if (render.height < 1 || render.height > 32768) field["height"].fail("must lie between 1 and 32768");
  if (const std::int64_t pixels = std::int64_t{render.width} * render.height; pixels > kMaximumPixels)
    field.fail(std::to_string(render.width) + " x " + std::to_string(render.height) + " is " + std::to_string(pixels) +
               " pixels; an image may have at most " + std::to_string(kMaximumPixels));
  render.pixel_aspect = static_cast<float>(field.number_or("pixel_aspect", render.pixel_aspect));
  if (!(render.pixel_aspect > 0)) field["pixel_aspect"].fail("must be positive");
  render.output_file = field.text_or("output_file", render.output_file);
  render.save_file = field.boolean_or("save_file", render.save_file);
  render.skip_rendered_frames = field.boolean_or("skip_rendered_frames", render.skip_rendered_frames);
  render.samples_per_axis = field.integer_or("samples_per_axis", render.samples_per_axis);
  if (render.samples_per_axis < 1 || render.samples_per_axis > 16)
    field["samples_per_axis"].fail("must lie between 1 and 16");
  render.threads = field.integer_or("threads", render.threads);
  if (render.threads < 0) field["threads"].fail("must not be negative");
  render.tile_size = field.integer_or("tile_size", render.tile_size);
  if (render.tile_size < 1) field["tile_size"].fail("must be positive");
}

void read_renderer(const JsonField& field, RendererSpec& renderer) {
  field.expect_object({"class_id", "float_output", "saves_own_output"});
  if (field.has("class_id")) renderer.class_id = field["class_id"].class_id();
  renderer.float_output = field.boolean_or("float_output", false);
  renderer.saves_own_output = field.boolean_or("saves_own_output", false);
}

void read_environment(const JsonField& field, EnvironmentSpec& environment) {
  field.expect_object({"background", "background_alpha", "ambient"});
  if (field.has("background")) environment.background = field["background"].colour();
  environment.background_alpha = static_cast<float>(field.number_or("background_alpha", 0));
  if (field.has("ambient")) environment.ambient = field["ambient"].colour();
}

std::vector<ViewportSpec> read_viewports(const JsonField& array) {
  std::vector<ViewportSpec> viewports;
  for (std::size_t i = 0; i < array.size(); ++i) {
    const JsonField field = array.at(i);
    field.expect_object({"camera", "position", "target", "fov"});
    ViewportSpec viewport;
    if (field.has("camera")) {
      viewport.camera_name = field["camera"].text();
      if (field.has("position") || field.has("target") || field.has("fov"))
        field.fail("a camera viewport takes its view from the camera; remove position, target and fov");
    } else {
      if (field.has("position")) viewport.position = field["position"].vector();
      if (field.has("target")) viewport.target = field["target"].vector();
      viewport.fov_degrees = field.number_or("fov", viewport.fov_degrees);
      if (!(viewport.fov_degrees > 0 && viewport.fov_degrees < 180))
        field["fov"].fail("field of view must lie between 0 and 180 degrees");
    }
    viewports.push_back(viewport);
  }
  if (viewports.empty()) array.fail("a scene needs at least one viewport");
  return viewports;
}

RenderElementSpec::Content read_content(const JsonField& field) {
  const std::wstring content = field.text();
  if (content == L"alpha") return RenderElementSpec::Content::alpha;
  if (content == L"zdepth") return RenderElementSpec::Content::zdepth;
  if (content == L"normals") return RenderElementSpec::Content::normals;
  if (content == L"diffuse") return RenderElementSpec::Content::diffuse;
  field.fail("unknown render element content \"" + wide_text::to_utf8(content) +
             "\" (expected alpha, zdepth, normals or diffuse)");
}

void read_render_elements(const JsonField& field, SceneSpec& scene) {
  field.expect_object({"active", "elements"});
  scene.elements_active = field.boolean_or("active", true);
  if (!field.has("elements")) return;
  const JsonField array = field["elements"];
  if (array.size() > kMaximumRenderElements)
    array.fail(std::to_string(array.size()) + " render elements; a scene may have at most " +
               std::to_string(kMaximumRenderElements));
  for (std::size_t i = 0; i < array.size(); ++i) {
    const JsonField item = array.at(i);
    item.expect_object({"name", "enabled", "file", "content", "z_min", "z_max"});
    RenderElementSpec element;
    element.name = item["name"].text();
    element.enabled = item.boolean_or("enabled", true);
    element.file_name = item.text_or("file", L"");
    element.content = read_content(item["content"]);
    element.z_min = item.number_or("z_min", element.z_min);
    element.z_max = item.number_or("z_max", element.z_max);
    if (!(element.z_max > element.z_min)) item.fail("z_max must be greater than z_min");
    scene.elements.push_back(element);
  }
}

std::vector<std::wstring> read_texts(const JsonField& array) {
  std::vector<std::wstring> texts;
  for (std::size_t i = 0; i < array.size(); ++i) texts.push_back(array.at(i).text());
  return texts;
}

void read_missing_files(const JsonField& field, SceneSpec& scene) {
  field.expect_object({"external_files", "dlls", "xrefs", "uvws"});
  const std::pair<const char*, int> types[] = {{"external_files", TYPE_MISSING_EXTERNAL_FILES},
                                               {"dlls", TYPE_MISSING_DLL_FILES},
                                               {"xrefs", TYPE_MISSING_XREF_FILES},
                                               {"uvws", TYPE_MISSING_UVWS}};
  for (const auto& [key, type] : types)
    if (field.has(key)) scene.missing_messages[type] = read_texts(field[key]);
}

void read_gamma(const JsonField& field, GammaSpec& gamma) {
  field.expect_object({"enabled", "in", "out"});
  gamma.enabled = field.boolean_or("enabled", false);
  gamma.file_in = static_cast<float>(field.number_or("in", gamma.file_in));
  gamma.file_out = static_cast<float>(field.number_or("out", gamma.file_out));
  if (!(gamma.file_in > 0)) field["in"].fail("must be positive");
  if (!(gamma.file_out > 0)) field["out"].fail("must be positive");
}

void read_scripts(const JsonField& field, SceneSpec& scene) {
  field.expect_object({"post_load", "pre_frame"});
  scene.post_load_script = field.text_or("post_load", L"");
  scene.pre_frame_script = field.text_or("pre_frame", L"");
}

FaultSpec read_fault(const JsonField& field) {
  field.expect_object({"when", "kind", "frame"});
  FaultSpec fault;
  const std::wstring when = field["when"].text();
  if (when == L"load")
    fault.when = FaultSpec::When::load;
  else if (when == L"open")
    fault.when = FaultSpec::When::open;
  else if (when == L"render")
    fault.when = FaultSpec::When::render;
  else if (when == L"close")
    fault.when = FaultSpec::When::close;
  else if (when == L"time")
    fault.when = FaultSpec::When::time;
  else if (when == L"viewport")
    fault.when = FaultSpec::When::viewport;
  else if (when == L"flush")
    fault.when = FaultSpec::When::flush;
  else if (when == L"write")
    fault.when = FaultSpec::When::write;
  else
    field["when"].fail("expected load, open, render, close, time, viewport, flush or write");
  const std::wstring kind = field["kind"].text();
  if (kind == L"write")
    fault.kind = FaultSpec::Kind::write;
  else if (kind == L"read_null")
    fault.kind = FaultSpec::Kind::read_null;
  else if (kind == L"divide_by_zero")
    fault.kind = FaultSpec::Kind::divide_by_zero;
  else if (kind == L"recursion")
    fault.kind = FaultSpec::Kind::recursion;
  else if (kind == L"fail")
    fault.kind = FaultSpec::Kind::fail;
  else if (kind == L"hang")
    fault.kind = FaultSpec::Kind::hang;
  else if (kind == L"std_exception")
    fault.kind = FaultSpec::Kind::std_exception;
  else if (kind == L"max_exception")
    fault.kind = FaultSpec::Kind::max_exception;
  else if (kind == L"unknown_exception")
    fault.kind = FaultSpec::Kind::unknown_exception;
  else
    field["kind"].fail("expected write, read_null, divide_by_zero, recursion, fail, hang, std_exception, "
                       "max_exception or unknown_exception");
  if (fault.when == FaultSpec::When::render)
    fault.frame = field["frame"].integer();
  else if (field.has("frame"))
    field["frame"].fail("only render faults take a frame");
  return fault;
}

void check_version(const JsonField& root) {
  if (!root.json().is_object()) root.fail("a scene file holds one JSON object");
  if (!root.has("format") || root.json().at("format") != kSceneFormatName)
    root.fail(std::string("not a scene file (\"format\" must be \"") + kSceneFormatName + "\")");
  const JsonField version = root["version"];
  if (!version.json().is_number_integer() || version.json().get<std::int64_t>() != kSceneFormatVersion)
    version.fail("unsupported version " + version.json().dump() + " (this host reads version " +
                 std::to_string(kSceneFormatVersion) + ")");
}

const NodeSpec* find_node(const std::vector<NodeSpec>& nodes, const std::wstring& name, bool cameras_only) {
  for (const NodeSpec& node : nodes) {
    if (node.name == name && (!cameras_only || node.kind == NodeSpec::Kind::camera)) return &node;
    if (const NodeSpec* found = find_node(node.children, name, cameras_only)) return found;
  }
  return nullptr;
}

void check_references(const JsonField& root, const SceneSpec& scene) {
  for (std::size_t i = 0; i < scene.viewports.size(); ++i) {
    const std::wstring& name = scene.viewports[i].camera_name;
    if (name.empty() || find_node(scene.nodes, name, true)) continue;
    const JsonField field = root["viewports"].at(i)["camera"];
    if (find_node(scene.nodes, name, false)) field.fail("node \"" + wide_text::to_utf8(name) + "\" is not a camera");
    field.fail("no camera node named \"" + wide_text::to_utf8(name) + "\"");
  }
  const int count = static_cast<int>(scene.viewports.size());
  if (scene.active_viewport < 0 || scene.active_viewport >= count)
    root["active_viewport"].fail("no viewport with index " + std::to_string(scene.active_viewport));
  if (scene.locked_viewport < 0 || scene.locked_viewport >= count)
    root["locked_viewport"].fail("no viewport with index " + std::to_string(scene.locked_viewport));
}

// Nodes of a "nodes" array and of their "children", counted in the document before any
// is read; stops counting once past `limit`.
std::size_t count_nodes(const nlohmann::json& array, std::size_t limit) {
  if (!array.is_array()) return 0;
  std::size_t count = array.size();
  for (const nlohmann::json& node : array) {
    if (count > limit) break;
    if (!node.is_object()) continue;
    if (const auto children = node.find("children"); children != node.end()) count += count_nodes(*children, limit);
  }
  return count;
}

SceneSpec read_scene(const JsonField& root) {
  check_version(root);
  root.expect_object({"format", "version", "ticks_per_frame", "render", "renderer", "environment", "viewports",
                      "active_viewport", "render_active_viewport", "locked_viewport", "nodes", "render_elements",
                      "missing_files", "dependencies", "gamma", "scripts", "faults"});
  SceneSpec scene;
  scene.ticks_per_frame = root.integer_or("ticks_per_frame", scene.ticks_per_frame);
  if (scene.ticks_per_frame < 1) root["ticks_per_frame"].fail("must be positive");
  if (root.has("render")) read_render_settings(root["render"], scene.render);
  if (root.has("renderer")) read_renderer(root["renderer"], scene.renderer);
  if (root.has("environment")) read_environment(root["environment"], scene.environment);
  if (root.has("nodes")) {
    if (count_nodes(root["nodes"].json(), kMaximumNodes) > kMaximumNodes)
      root["nodes"].fail("more than " + std::to_string(kMaximumNodes) + " nodes, counting children");
    scene.nodes = read_nodes(root["nodes"]);
  }
  if (root.has("viewports")) scene.viewports = read_viewports(root["viewports"]);
  scene.active_viewport = root.integer_or("active_viewport", 0);
  scene.render_active_viewport = root.boolean_or("render_active_viewport", true);
  scene.locked_viewport = root.integer_or("locked_viewport", 0);
  if (root.has("render_elements")) read_render_elements(root["render_elements"], scene);
  if (root.has("missing_files")) read_missing_files(root["missing_files"], scene);
  if (root.has("dependencies")) scene.external_files = read_texts(root["dependencies"]);
  if (root.has("gamma")) read_gamma(root["gamma"], scene.gamma);
  if (root.has("scripts")) read_scripts(root["scripts"], scene);
  if (root.has("faults")) {
    const JsonField faults = root["faults"];
    for (std::size_t i = 0; i < faults.size(); ++i) scene.faults.push_back(read_fault(faults.at(i)));
  }
  check_references(root, scene);
  return scene;
}

}  // namespace

SceneSpec parse_scene_text(const std::string& text, const std::string& label) {
  // Reading nodes, finding them and building the scene recurse once per level; a file
  // nested without end would overflow the stack (or, with a path per level, fill memory).
  if (const std::size_t at = too_deep_at(text, kMaximumNesting); at != std::string::npos)
    throw std::runtime_error(label + ": " + line_and_column(text, at + 1) + ": nested deeper than " +
                             std::to_string(kMaximumNesting) + " levels of objects and arrays");
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::parse_error& error) {
    throw std::runtime_error(label + ": " + line_and_column(text, error.byte) + ": " + syntax_problem(error));
  } catch (const nlohmann::json::out_of_range& error) {
    throw std::runtime_error(label + ": " + number_problem(text, error));
  }
  try {
    return read_scene(JsonField(document, ""));
  } catch (const std::runtime_error& error) {
    throw std::runtime_error(label + ": " + error.what());
  }
}

SceneSpec load_scene_file(const std::string& native_path) {
  // A device or a pipe would be read without end; a huge file would be held three times
  // over (text, document, scene) before anything in it is checked.
  struct stat status {};
  if (::stat(native_path.c_str(), &status) == 0) {
    if (!S_ISREG(status.st_mode)) throw std::runtime_error(native_path + ": not a regular file");
    if (static_cast<std::uintmax_t>(status.st_size) > kMaximumFileBytes)
      throw std::runtime_error(native_path + ": " + std::to_string(status.st_size) +
                               " bytes; a scene file may have at most " + std::to_string(kMaximumFileBytes));
  }
  std::ifstream file(native_path, std::ios::binary);
  if (!file) throw std::runtime_error(native_path + ": cannot open the scene file");
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) throw std::runtime_error(native_path + ": cannot read the scene file");
  return parse_scene_text(text.str(), native_path);
}

// The "nodes" section of a scene file: cameras, geometry, lights and groups.
namespace {

using Kind = NodeSpec::Kind;

MultipassSpec read_multipass(const JsonField& field) {
  field.expect_object({"type", "enabled", "class_id", "passes", "aperture", "focal_distance", "time_spread"});
  MultipassSpec effect;
  const std::wstring type = field["type"].text();
  if (type == L"depth_of_field") {
    effect.kind = MultipassSpec::Kind::depth_of_field;
    effect.class_id = kDepthOfFieldClass;
  } else if (type == L"motion_blur") {
    effect.kind = MultipassSpec::Kind::motion_blur;
    effect.class_id = kMotionBlurClass;
  } else {
    field["type"].fail("unknown multipass effect \"" + wide_text::to_utf8(type) +
                       "\" (expected depth_of_field or motion_blur)");
  }
  if (field.has("class_id")) effect.class_id = field["class_id"].class_id();
  effect.enabled = field.boolean_or("enabled", true);
  effect.passes = field.integer_or("passes", 12);
  if (effect.passes < 1) field["passes"].fail("needs at least 1 pass");
  effect.aperture = field.number_or("aperture", 0.1);
  if (effect.aperture < 0) field["aperture"].fail("must not be negative");
  effect.focal_distance = field.number_or("focal_distance", 0);
  if (effect.focal_distance < 0) field["focal_distance"].fail("must not be negative");
  effect.time_spread = field.number_or("time_spread", 0.5);
  if (effect.time_spread < 0) field["time_spread"].fail("must not be negative");
  return effect;
}

double read_fov(const JsonField& node, double fallback) {
  const double fov = node.number_or("fov", fallback);
  if (!(fov > 0 && fov < 180)) node["fov"].fail("field of view must lie between 0 and 180 degrees");
  return fov;
}

void read_camera(const JsonField& node, NodeSpec& spec) {
  node.expect_object({"name", "type", "children", "class_id", "fov", "position", "target", "multipass"});
  CameraSpec& camera = spec.camera;
  if (node.has("class_id")) camera.class_id = node["class_id"].class_id();
  camera.fov_degrees = read_fov(node, 45);
  camera.position = read_track(node["position"]);
  camera.target = node.has("target") ? read_track(node["target"]) : Track::constant({});
  if (node.has("multipass")) {
    camera.has_effect = true;
    camera.effect = read_multipass(node["multipass"]);
  }
}

ColourRGB read_colour_or(const JsonField& node, const char* key, ColourRGB fallback) {
  return node.has(key) ? node[key].colour() : fallback;
}

void read_geometry(const JsonField& node, const std::wstring& type, NodeSpec& spec) {
  GeometrySpec& geometry = spec.geometry;
  if (type == L"sphere") {
    node.expect_object({"name", "type", "children", "colour", "position", "radius"});
    geometry.shape = GeometrySpec::Shape::sphere;
    geometry.radius = node.number_or("radius", 1);
    if (!(geometry.radius > 0)) node["radius"].fail("must be positive");
  } else if (type == L"plane") {
    node.expect_object({"name", "type", "children", "colour", "position", "normal"});
    geometry.shape = GeometrySpec::Shape::plane;
    if (node.has("normal")) geometry.normal = node["normal"].vector();
    const Vector3& n = geometry.normal;
    if (n.x == 0 && n.y == 0 && n.z == 0) node["normal"].fail("must not be the zero vector");
  } else {
    node.expect_object({"name", "type", "children", "colour", "position", "size"});
    geometry.shape = GeometrySpec::Shape::box;
    if (node.has("size")) geometry.size = node["size"].vector();
    const Vector3& s = geometry.size;
    if (!(s.x > 0 && s.y > 0 && s.z > 0)) node["size"].fail("edge lengths must be positive");
  }
  geometry.colour = read_colour_or(node, "colour", geometry.colour);
  geometry.position = node.has("position") ? read_track(node["position"]) : Track::constant({});
}

void read_light(const JsonField& node, const std::wstring& type, NodeSpec& spec) {
  LightSpec& light = spec.light;
  if (type == L"point_light") {
    node.expect_object({"name", "type", "children", "colour", "intensity", "shadows", "position"});
    light.kind = LightSpec::Kind::point;
    light.position = node["position"].vector();
  } else {
    node.expect_object({"name", "type", "children", "colour", "intensity", "shadows", "direction"});
    light.kind = LightSpec::Kind::directional;
    light.direction = node["direction"].vector();
    const Vector3& d = light.direction;
    if (d.x == 0 && d.y == 0 && d.z == 0) node["direction"].fail("must not be the zero vector");
  }
  light.colour = read_colour_or(node, "colour", light.colour);
  light.intensity = node.number_or("intensity", 1);
  if (light.intensity < 0) node["intensity"].fail("must not be negative");
  light.shadows = node.boolean_or("shadows", true);
}

NodeSpec read_node(const JsonField& node) {
  if (!node.json().is_object()) node.fail("expected a node object");
  NodeSpec spec;
  spec.name = node["name"].text();
  const JsonField named = node.labelled("(\"" + wide_text::to_utf8(spec.name) + "\")");
  const std::wstring type = named["type"].text();
  if (type == L"group" || type == L"node") {
    named.expect_object({"name", "type", "children"});
    spec.kind = Kind::group;
  } else if (type == L"camera") {
    spec.kind = Kind::camera;
    read_camera(named, spec);
  } else if (type == L"sphere" || type == L"plane" || type == L"box") {
    spec.kind = Kind::geometry;
    read_geometry(named, type, spec);
  } else if (type == L"point_light" || type == L"directional_light") {
    spec.kind = Kind::light;
    read_light(named, type, spec);
  } else {
    named["type"].fail("unknown node type \"" + wide_text::to_utf8(type) +
                       "\" (expected group, node, camera, sphere, plane, box, point_light or directional_light)");
  }
  if (named.has("children")) spec.children = read_nodes(named["children"]);
  return spec;
}

}  // namespace

Track read_track(const JsonField& field) {
  const nlohmann::json& value = field.json();
  if (value.is_array() && value.size() == 3 && value.at(0).is_number()) return Track::constant(field.vector());
  if (!value.is_array() || value.empty())
    field.fail("expected [x, y, z] or a list of keys {\"frame\": f, \"value\": [x, y, z]}");
  Track track;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const JsonField key = field.at(i);
    key.expect_object({"frame", "value"});
    const double frame = key["frame"].number();
    if (!track.keys.empty() && frame <= track.keys.back().frame) key["frame"].fail("key frames must increase");
    track.keys.push_back({frame, key["value"].vector()});
  }
  return track;
}

std::vector<NodeSpec> read_nodes(const JsonField& array) {
  std::vector<NodeSpec> nodes;
  for (std::size_t i = 0; i < array.size(); ++i) nodes.push_back(read_node(array.at(i)));
  return nodes;
}

}  // namespace paravelle::host::standalone
