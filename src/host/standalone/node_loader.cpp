// The "nodes" section of a scene file: cameras, geometry, lights and groups.

#include <cmath>

#include "host/standalone/json_field.h"
#include "host/standalone/scene_loader.h"
#include "host/standalone/wide_text.h"

namespace paravelle::host::standalone {
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
    if (!track.keys.empty() && frame <= track.keys.back().frame)
      key["frame"].fail("key frames must increase");
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
