#include "host/standalone/loaded_scene.h"

#include <climits>
#include <mutex>

#include "host/maxscript_runtime.h"
#include "host/standalone/camera_effects.h"

namespace paravelle::host::standalone {
namespace {

SceneNode* find_in(const std::vector<std::unique_ptr<SceneNode>>& nodes, const std::wstring& name, bool cameras_only) {
  for (const auto& node : nodes) {
    if (name == node->GetName() && (!cameras_only || node->camera())) return node.get();
    if (SceneNode* found = find_in(node->children(), name, cameras_only)) return found;
  }
  return nullptr;
}

}  // namespace

LoadedScene::LoadedScene(SceneSpec spec, std::string folder)
    : spec_(std::move(spec)), folder_(std::move(folder)), elements_(spec_), renderer_(spec_.renderer) {
  for (const NodeSpec& node : spec_.nodes) roots_.push_back(std::make_unique<SceneNode>(node, spec_.ticks_per_frame));
  // A viewport looks through a camera node, so a group sharing the camera's name
  // does not hide the camera from it (the loader has checked the camera exists).
  for (const ViewportSpec& viewport : spec_.viewports) {
    SceneNode* camera = viewport.camera_name.empty() ? nullptr : find_in(roots_, viewport.camera_name, true);
    viewports_.push_back(std::make_unique<StandaloneViewport>(viewport, camera));
  }
  for (const auto& element : elements_.elements()) {
    element->output().bi.SetWidth(spec_.render.width);
    element->output().bi.SetHeight(spec_.render.height);
    element->output().bi.SetAspect(spec_.render.pixel_aspect);
  }
}

SceneNode* LoadedScene::find_node(const std::wstring& name) const { return find_in(roots_, name, false); }

StandaloneViewport* LoadedScene::viewport(int index) const {
  if (index < 0 || index >= viewport_count()) return nullptr;
  return viewports_[static_cast<std::size_t>(index)].get();
}

StandaloneCamera::StandaloneCamera(const CameraSpec& spec, int ticks_per_frame)
    : spec_(spec), ticks_per_frame_(ticks_per_frame) {
  if (spec.has_effect) effect_ = make_camera_effect(spec.effect, ticks_per_frame);
}

StandaloneCamera::~StandaloneCamera() = default;

BOOL StandaloneCamera::GetMultiPassEffectEnabled(TimeValue, Interval& valid) {
  // The effect's switch is not animated: valid for all time.
  valid = Interval{INT_MIN, INT_MAX};
  return spec_.has_effect && spec_.effect.enabled ? 1 : 0;
}

CameraView StandaloneCamera::view_at(TimeValue t) const { return camera_view_at(spec_, frame_at(t, ticks_per_frame_)); }

SceneNode::SceneNode(const NodeSpec& spec, int ticks_per_frame) : spec_(spec) {
  switch (spec.kind) {
    case NodeSpec::Kind::camera: object_ = std::make_unique<StandaloneCamera>(spec.camera, ticks_per_frame); break;
    case NodeSpec::Kind::geometry: object_ = std::make_unique<PlainObject>(kGeometryClass); break;
    case NodeSpec::Kind::light: object_ = std::make_unique<PlainObject>(kLightClass); break;
    case NodeSpec::Kind::group: break;
  }
  for (const NodeSpec& child : spec.children) children_.push_back(std::make_unique<SceneNode>(child, ticks_per_frame));
}

Object* SceneNode::EvalWorldState(TimeValue, bool) { return object_.get(); }

INode* SceneNode::GetChildNode(int index) {
  if (index < 0 || index >= NumberOfChildren()) return nullptr;
  return children_[static_cast<std::size_t>(index)].get();
}

StandaloneCamera* SceneNode::camera() const {
  return spec_.kind == NodeSpec::Kind::camera ? static_cast<StandaloneCamera*>(object_.get()) : nullptr;
}

CameraView StandaloneViewport::own_view() const {
  CameraView view;
  view.position = spec_.position;
  view.target = spec_.target;
  view.fov_degrees = spec_.fov_degrees;
  return view;
}

StandaloneRenderElement::StandaloneRenderElement(const RenderElementSpec& spec) : spec_(spec) {
  output_.bi.SetName(spec.file_name.c_str());
}

StandaloneRenderElementMgr::StandaloneRenderElementMgr(const SceneSpec& scene) : active_(scene.elements_active) {
  for (const RenderElementSpec& element : scene.elements)
    elements_.push_back(std::make_unique<StandaloneRenderElement>(element));
}

IRenderElement* StandaloneRenderElementMgr::GetRenderElement(int index) {
  if (index < 0 || index >= NumRenderElements()) return nullptr;
  return elements_[static_cast<std::size_t>(index)].get();
}

bool StandaloneRenderer::HasRequirement(int requirement) const {
  if (requirement == MAX_REQUIREMENT_FLOAT_OUTPUT) return spec_.float_output;
  if (requirement == MAX_REQUIREMENT_SAVES_OWN_OUTPUT) return spec_.saves_own_output;
  return false;
}

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

namespace {

struct RunnerSlot {
  std::mutex mutex;
  SceneScriptRunner runner = host::script::run_text;
};

RunnerSlot& slot() {
  static RunnerSlot instance;
  return instance;
}

}  // namespace

void set_scene_script_runner(SceneScriptRunner runner) {
  std::lock_guard<std::mutex> lock(slot().mutex);
  slot().runner = runner ? std::move(runner) : SceneScriptRunner(host::script::run_text);
}

bool run_scene_script(const std::wstring& script) {
  if (script.empty()) return true;
  SceneScriptRunner runner;
  {
    // A copy, so a script may install another runner without deadlocking.
    std::lock_guard<std::mutex> lock(slot().mutex);
    runner = slot().runner;
  }
  return runner(script);
}

}  // namespace paravelle::host::standalone
