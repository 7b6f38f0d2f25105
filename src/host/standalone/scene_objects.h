#pragma once
// The host objects a loaded scene consists of: nodes and what they evaluate to
// (cameras, geometry, lights), viewports, render elements and the renderer.

#include <memory>
#include <string>
#include <vector>

#include "host/render.h"
#include "host/scene.h"
#include "host/standalone/camera_view.h"
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

}  // namespace paravelle::host::standalone
