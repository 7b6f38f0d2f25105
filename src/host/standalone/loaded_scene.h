#pragma once
// A scene as the host holds it after loading: the file's content (scene_model.h) and the
// host objects built from it: nodes and what they evaluate to (cameras, geometry,
// lights), viewports, render elements and the renderer; the scene at one moment in the
// ray-tracing engine's terms; and the hook through which the scripts a scene carries run.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/render.h"
#include "host/scene.h"
#include "host/standalone/camera_view.h"
#include "host/standalone/raytrace/render.h"
#include "host/standalone/scene_model.h"

namespace paravelle::host::standalone {

// Geometry and lights: the plug-in only asks for their class identifier.
class PlainObject : public Object {
 public:
  explicit PlainObject(Class_ID id) : id_(id) {}
  Class_ID ClassID() const override { return id_; }

 private:
  Class_ID id_;
};

class StandaloneCamera : public CameraObject {
 public:
  StandaloneCamera(const CameraSpec& spec, int ticks_per_frame);
  ~StandaloneCamera() override;

  Class_ID ClassID() const override { return spec_.class_id; }
  BOOL GetMultiPassEffectEnabled(TimeValue t, Interval& valid) override;
  IMultiPassCameraEffect* GetIMultiPassCameraEffect() override { return effect_.get(); }

  CameraView view_at(TimeValue t) const;
  int ticks_per_frame() const { return ticks_per_frame_; }

 private:
  const CameraSpec& spec_;
  int ticks_per_frame_;
  std::unique_ptr<IMultiPassCameraEffect> effect_;
};

class SceneNode : public INode {
 public:
  SceneNode(const NodeSpec& spec, int ticks_per_frame);
  const wchar_t* GetName() const override { return spec_.name.c_str(); }
  Object* EvalWorldState(TimeValue t, bool eval_hidden = true) override;
  int NumberOfChildren() const override { return static_cast<int>(children_.size()); }
  INode* GetChildNode(int index) override;

  // Null unless the node is a camera.
  StandaloneCamera* camera() const;
  const std::vector<std::unique_ptr<SceneNode>>& children() const { return children_; }

 private:
  const NodeSpec& spec_;
  std::unique_ptr<Object> object_;
  std::vector<std::unique_ptr<SceneNode>> children_;
};

class StandaloneViewport : public ViewExp {
 public:
  StandaloneViewport(const ViewportSpec& spec, SceneNode* camera) : spec_(spec), camera_(camera) {}
  INode* GetViewCamera() override { return camera_; }
  // The viewport's own view, used when it has no camera.
  CameraView own_view() const;

 private:
  ViewportSpec spec_;
  SceneNode* camera_;
};

class StandaloneRenderElement : public IRenderElement {
 public:
  explicit StandaloneRenderElement(const RenderElementSpec& spec);
  BOOL IsEnabled() const override { return spec_.enabled; }
  void GetPBBitmap(PBBitmap*& bitmap) override { bitmap = &output_; }
  const wchar_t* ElementName() const override { return spec_.name.c_str(); }

  const RenderElementSpec& spec() const { return spec_; }
  PBBitmap& output() { return output_; }

 private:
  const RenderElementSpec& spec_;
  PBBitmap output_;
};

class StandaloneRenderElementMgr : public IRenderElementMgr {
 public:
  StandaloneRenderElementMgr(const SceneSpec& scene);
  BOOL GetElementsActive() const override { return active_; }
  int NumRenderElements() const override { return static_cast<int>(elements_.size()); }
  IRenderElement* GetRenderElement(int index) override;
  const std::vector<std::unique_ptr<StandaloneRenderElement>>& elements() const { return elements_; }

 private:
  bool active_;
  std::vector<std::unique_ptr<StandaloneRenderElement>> elements_;
};

class StandaloneRenderer : public Renderer {
 public:
  explicit StandaloneRenderer(const RendererSpec& spec) : spec_(spec) {}
  Class_ID ClassID() const override { return spec_.class_id; }
  bool HasRequirement(int requirement) const override;

 private:
  const RendererSpec& spec_;
};

// The scene at one moment, in the ray-tracing engine's terms.
raytrace::Scene engine_scene_at(const SceneSpec& scene, double frame);
raytrace::Camera engine_camera(const CameraView& view);

// The hook through which the scripts a scene carries (after load, before each frame) run.
// The host's own script runtime runs them unless another runner is installed (tests
// install recorders here).
// Runs a scene script; false when the script raised an error (already printed on the listener).
using SceneScriptRunner = std::function<bool(const std::wstring& script)>;

// Installs a runner; null puts back the default, host::script::run_text.
void set_scene_script_runner(SceneScriptRunner runner);
bool run_scene_script(const std::wstring& script);  // true for an empty script

// A scene as the host holds it after loading: the file's content and the host
// objects built from it. Objects point into `spec`, so a LoadedScene is never copied.
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
