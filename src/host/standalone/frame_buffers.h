#pragma once
// The buffers one render fills, and how they reach the bitmaps: the beauty pass into
// the frame's bitmap, the extra channels into the render elements' bitmaps.
//
// Render element content (RGBA):
//   alpha    (a, a, a, 1)
//   zdepth   (v, v, v, 1), v = (z_max - z) / (z_max - z_min) clamped to 0..1: white
//            at z_min, black at z_max and beyond and where nothing was hit
//   normals  world normal mapped to colour, ((n + 1) / 2, a); (0, 0, 0, 0) where
//            nothing was hit
//   diffuse  the surface colour before lighting, (d, a)

#include <vector>

#include "host/bitmap.h"
#include "host/standalone/raytrace/render.h"
#include "host/standalone/scene_model.h"

namespace paravelle::host::standalone {

// Pixels of the buffers that were rendered: [left, right) x [top, bottom).
struct PixelArea {
  int left = 0, top = 0, right = 0, bottom = 0;
};

class FrameBuffers {
 public:
  FrameBuffers(int width, int height, bool extra_channels);
  // Points the engine's target at these buffers.
  void attach(raytrace::Target& target);

  void copy_beauty(Bitmap& bitmap, const PixelArea& area) const;
  void copy_element(const RenderElementSpec& element, Bitmap& bitmap, const PixelArea& area) const;

 private:
  BMM_Color_fl element_pixel(const RenderElementSpec& element, std::size_t index) const;
  int width_, height_;
  std::vector<float> rgba_, alpha_, z_depth_, normals_, diffuse_;
};

}  // namespace paravelle::host::standalone
