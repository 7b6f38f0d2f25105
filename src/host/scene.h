#pragma once
// Scene objects the plug-in looks at: nodes, the objects they evaluate to, cameras
// with their multipass effects, and viewports.

#include "host/types.h"

class Bitmap;
class CameraObject;
class INode;

// What a node evaluates to at a time: a camera, a light, geometry or nothing.
class Object {
 public:
  virtual ~Object() = default;
  virtual Class_ID ClassID() const = 0;
};

// A view of the scene for one render: camera transform and projection.
struct ViewParams {
  Matrix3 affineTM;     // camera to world
  int projType = 0;     // 0 perspective, 1 parallel
  float fov = 0.7854f;  // horizontal field of view in radians
  float zoom = 1.0f;
  float hither = 0.1f;
  float yon = 1.0e30f;
  float aperture = 0.0f;       // lens radius for depth of field (0: pinhole)
  float focalDistance = 0.0f;  // distance of the plane in focus
};

// A camera's multipass effect (depth of field, motion blur).
class IMultiPassCameraEffect {
 public:
  virtual ~IMultiPassCameraEffect() = default;
  virtual Class_ID ClassID() const = 0;
  virtual int TotalPasses(TimeValue t) = 0;
  // The view for pass `pass` (from 0); may move `t` for effects that sample time.
  virtual ViewParams* Apply(INode* camera, CameraObject* cameraObject, int pass, TimeValue& t) = 0;
  // Merges pass `pass` of `source` into `destination` (a running average).
  virtual void AccumulateBitmap(Bitmap* destination, Bitmap* source, int pass, TimeValue t) = 0;
  virtual void PostRender() = 0;
};

class CameraObject : public Object {
 public:
  virtual BOOL GetMultiPassEffectEnabled(TimeValue t, Interval& valid) = 0;
  virtual IMultiPassCameraEffect* GetIMultiPassCameraEffect() = 0;
};

class INode {
 public:
  virtual ~INode() = default;
  virtual const wchar_t* GetName() const = 0;
  // The object the node evaluates to at time t, or null for a plain node or group.
  virtual Object* EvalWorldState(TimeValue t, bool eval_hidden = true) = 0;
  virtual int NumberOfChildren() const = 0;
  virtual INode* GetChildNode(int index) = 0;
};

// A viewport: either looks through a camera node or has a view of its own.
class ViewExp {
 public:
  virtual ~ViewExp() = default;
  // The camera node the viewport looks through, or null for a perspective view.
  virtual INode* GetViewCamera() = 0;
};
