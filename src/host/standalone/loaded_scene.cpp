#include "host/standalone/loaded_scene.h"

namespace paravelle::host::standalone {
namespace {

SceneNode* find_in(const std::vector<std::unique_ptr<SceneNode>>& nodes, const std::wstring& name,
                   bool cameras_only) {
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

}  // namespace paravelle::host::standalone
