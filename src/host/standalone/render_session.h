#pragma once
// The open renderer: what OpenCurRenderer chose (camera or viewport, region type,
// size) and the rendering of one frame through the engine.
//
// Views: view parameters given to a frame (a multipass pass) replace the camera's
// view; otherwise the camera node's view at the frame's time; otherwise the
// viewport's camera, or the viewport's own view.
// Regions (right and bottom exclusive, clamped to the image):
//   type 4 with a region: the bitmap holds only the region (it is the region's size);
//     the image it is cut from has the size given to OpenCurRenderer;
//   any other type with a region: the bitmap is the whole image and only the
//     region's pixels are rendered; the rest of the bitmap is left as it was;
//   no region: the whole bitmap is rendered.

#include <string>

#include "host/core.h"
#include "host/standalone/loaded_scene.h"

namespace paravelle::host::standalone {

class RenderSession {
 public:
  void open(INode* camera, ViewExp* view, int rend_type, int width, int height);
  void close() { open_ = false; }
  bool is_open() const { return open_; }
  int rend_type() const { return rend_type_; }

  // 1 when the frame was rendered; 0 when it failed (`problem` says why; empty when
  // the progress callback aborted it).
  int render(LoadedScene& scene, TimeValue t, Bitmap* bitmap, RendProgressCallback* progress, ViewParams* view,
             RECT* region, std::wstring& problem) const;

 private:
  bool view_at(TimeValue t, ViewParams* view, CameraView& out, std::wstring& problem) const;

  bool open_ = false;
  INode* camera_ = nullptr;
  ViewExp* view_ = nullptr;
  int rend_type_ = 0;
  int width_ = 0;
  int height_ = 0;
};

}  // namespace paravelle::host::standalone
