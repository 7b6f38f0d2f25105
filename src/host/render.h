#pragma once
// The renderer as the plug-in drives it: parameters, progress reports, render
// elements, and the renderer object itself.

#include "host/bitmap.h"
#include "host/types.h"

// Parameters the host fills for a render (render type, size, time step).
struct RendParams {
  int rendType = 0;  // 1 region at full size, 4 region cropped, 0 whole view
  int width = 0;
  int height = 0;
  float pixelAspect = 1.0f;
  TimeValue frameDuration = 0;
};

constexpr int RENDPROG_CONTINUE = 1;
constexpr int RENDPROG_ABORT = 0;

// The renderer reports what it does through this; it may call from its own threads.
class RendProgressCallback {
 public:
  virtual ~RendProgressCallback() = default;
  virtual void SetTitle(const wchar_t* title) = 0;
  // Returns RENDPROG_CONTINUE to go on or RENDPROG_ABORT to stop the render.
  virtual int Progress(int done, int total) = 0;
  virtual void SetCurField(int) {}
  virtual void SetSceneStats(int, int, int, int, int) {}
  virtual void SetStep(int, int) {}
};

// Renderer requirements.
constexpr int MAX_REQUIREMENT_SAVES_OWN_OUTPUT = 2;
constexpr int MAX_REQUIREMENT_FLOAT_OUTPUT = 3;

class Renderer {
 public:
  virtual ~Renderer() = default;
  virtual Class_ID ClassID() const = 0;
  virtual bool HasRequirement(int requirement) const = 0;
};

// An extra image the renderer produces beside the beauty pass.
class IRenderElement {
 public:
  virtual ~IRenderElement() = default;
  virtual BOOL IsEnabled() const = 0;
  // Points `bitmap` at the element's own output description and bitmap slot.
  virtual void GetPBBitmap(PBBitmap*& bitmap) = 0;
  virtual const wchar_t* ElementName() const = 0;
};

class IRenderElementMgr {
 public:
  virtual ~IRenderElementMgr() = default;
  virtual BOOL GetElementsActive() const = 0;
  virtual int NumRenderElements() const = 0;
  virtual IRenderElement* GetRenderElement(int index) = 0;
};
