#include "host/standalone/scene_objects.h"

#include <climits>

#include "host/standalone/camera_effects.h"

namespace paravelle::host::standalone {

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

CameraView StandaloneCamera::view_at(TimeValue t) const {
  return camera_view_at(spec_, frame_at(t, ticks_per_frame_));
}

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

}  // namespace paravelle::host::standalone
