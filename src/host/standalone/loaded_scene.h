#pragma once
// A scene as the host holds it after loading: the file's content and the host
// objects built from it. Objects point into `spec`, so a LoadedScene is never copied.

#include <memory>
#include <vector>

#include "host/standalone/scene_model.h"
#include "host/standalone/scene_objects.h"

namespace paravelle::host::standalone {

class LoadedScene {
 public:
  explicit LoadedScene(SceneSpec spec, std::string folder = {});
  LoadedScene(const LoadedScene&) = delete;
  LoadedScene& operator=(const LoadedScene&) = delete;

  SceneSpec& spec() { return spec_; }
  const SceneSpec& spec() const { return spec_; }
  // The folder of the scene file (native), empty for the start-up scene.
  const std::string& folder() const { return folder_; }

  // First node with exactly this name, depth-first in file order.
  SceneNode* find_node(const std::wstring& name) const;
  const std::vector<std::unique_ptr<SceneNode>>& roots() const { return roots_; }

  StandaloneViewport* viewport(int index) const;
  int viewport_count() const { return static_cast<int>(viewports_.size()); }
  StandaloneRenderElementMgr& elements() { return elements_; }
  StandaloneRenderer& renderer() { return renderer_; }

 private:
  SceneSpec spec_;
  std::string folder_;
  std::vector<std::unique_ptr<SceneNode>> roots_;
  std::vector<std::unique_ptr<StandaloneViewport>> viewports_;
  StandaloneRenderElementMgr elements_;
  StandaloneRenderer renderer_;
};

}  // namespace paravelle::host::standalone
