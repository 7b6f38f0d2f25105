#include "host/standalone/engine_scene.h"

namespace paravelle::host::standalone {
namespace {

raytrace::Vec3 vec(const Vector3& v) { return {v.x, v.y, v.z}; }
raytrace::Colour colour(const ColourRGB& c) { return {c.r, c.g, c.b}; }

void add_geometry(const GeometrySpec& geometry, double frame, raytrace::Scene& out) {
  const Vector3 position = geometry.position.at(frame);
  switch (geometry.shape) {
    case GeometrySpec::Shape::sphere:
      out.spheres.push_back({vec(position), geometry.radius, colour(geometry.colour)});
      break;
    case GeometrySpec::Shape::plane:
      out.planes.push_back({vec(position), vec(normalised(geometry.normal)), colour(geometry.colour)});
      break;
    case GeometrySpec::Shape::box: {
      const Vector3 half = geometry.size * 0.5;
      out.boxes.push_back({vec(position - half), vec(position + half), colour(geometry.colour)});
      break;
    }
  }
}

void add_light(const LightSpec& light, raytrace::Scene& out) {
  if (light.kind == LightSpec::Kind::point)
    out.point_lights.push_back({vec(light.position), colour(light.colour), light.intensity, light.shadows});
  else
    out.directional_lights.push_back(
        {vec(normalised(light.direction)), colour(light.colour), light.intensity, light.shadows});
}

void add_nodes(const std::vector<NodeSpec>& nodes, double frame, raytrace::Scene& out) {
  for (const NodeSpec& node : nodes) {
    if (node.kind == NodeSpec::Kind::geometry) add_geometry(node.geometry, frame, out);
    if (node.kind == NodeSpec::Kind::light) add_light(node.light, out);
    // Children carry their own world positions: a group does not move its members.
    add_nodes(node.children, frame, out);
  }
}

}  // namespace

raytrace::Scene engine_scene_at(const SceneSpec& scene, double frame) {
  raytrace::Scene out;
  out.background = colour(scene.environment.background);
  out.background_alpha = scene.environment.background_alpha;
  out.ambient = colour(scene.environment.ambient);
  add_nodes(scene.nodes, frame, out);
  return out;
}

raytrace::Camera engine_camera(const CameraView& view) {
  raytrace::Camera camera;
  camera.position = vec(view.position);
  camera.target = vec(view.target);
  camera.up = vec(view_basis(view.position, view.target).up);
  camera.fov_degrees = view.fov_degrees;
  camera.aperture = view.aperture;
  camera.focal_distance = view.focal_distance;
  camera.lens_offset = {0, 0, 0};
  return camera;
}

}  // namespace paravelle::host::standalone
