#include "host/standalone/frame_buffers.h"

#include <algorithm>
#include <cmath>

namespace paravelle::host::standalone {
namespace {

template <typename PixelFn>
void copy_area(Bitmap& bitmap, const PixelArea& area, int width, PixelFn pixel) {
  BitmapStorage* storage = bitmap.Storage();
  if (!storage) return;
  const int right = std::min(area.right, storage->Width());
  const int bottom = std::min(area.bottom, storage->Height());
  for (int y = area.top; y < bottom; ++y)
    for (int x = area.left; x < right; ++x)
      storage->PutPixel(
          x, y, pixel(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)));
}

}  // namespace

FrameBuffers::FrameBuffers(int width, int height, bool extra_channels) : width_(width), height_(height) {
  const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  rgba_.assign(pixels * 4, 0.0f);
  if (!extra_channels) return;
  alpha_.assign(pixels, 0.0f);
  z_depth_.assign(pixels, 0.0f);
  normals_.assign(pixels * 3, 0.0f);
  diffuse_.assign(pixels * 3, 0.0f);
}

void FrameBuffers::attach(raytrace::Target& target) {
  target.width = width_;
  target.height = height_;
  target.rgba = rgba_.data();
  target.alpha = alpha_.empty() ? nullptr : alpha_.data();
  target.z_depth = z_depth_.empty() ? nullptr : z_depth_.data();
  target.normals = normals_.empty() ? nullptr : normals_.data();
  target.diffuse = diffuse_.empty() ? nullptr : diffuse_.data();
}

void FrameBuffers::copy_beauty(Bitmap& bitmap, const PixelArea& area) const {
  copy_area(bitmap, area, width_, [&](std::size_t i) {
    return BMM_Color_fl{rgba_[4 * i], rgba_[4 * i + 1], rgba_[4 * i + 2], rgba_[4 * i + 3]};
  });
}

void FrameBuffers::copy_element(const RenderElementSpec& element, Bitmap& bitmap, const PixelArea& area) const {
  if (alpha_.empty()) return;
  copy_area(bitmap, area, width_, [&](std::size_t i) { return element_pixel(element, i); });
}

BMM_Color_fl FrameBuffers::element_pixel(const RenderElementSpec& element, std::size_t i) const {
  const float a = alpha_[i];
  switch (element.content) {
    case RenderElementSpec::Content::alpha: return {a, a, a, 1.0f};
    case RenderElementSpec::Content::zdepth: {
      const double z = z_depth_[i];
      float v = 0.0f;
      if (a > 0.0f && std::isfinite(z))
        v = static_cast<float>(std::clamp((element.z_max - z) / (element.z_max - element.z_min), 0.0, 1.0));
      return {v, v, v, 1.0f};
    }
    case RenderElementSpec::Content::normals:
      // The engine has mapped the normal to colour already.
      if (a <= 0.0f) return {0, 0, 0, 0};
      return {normals_[3 * i], normals_[3 * i + 1], normals_[3 * i + 2], a};
    case RenderElementSpec::Content::diffuse: return {diffuse_[3 * i], diffuse_[3 * i + 1], diffuse_[3 * i + 2], a};
  }
  return {};
}

}  // namespace paravelle::host::standalone
