#pragma once
// Pixel storage of the standalone host's bitmaps: float RGBA, row-major, top row first.

#include <vector>

#include "host/bitmap.h"

namespace paravelle::host::standalone {

class FloatStorage : public BitmapStorage {
 public:
  // Throws std::bad_alloc (or std::length_error) when the pixels cannot be allocated.
  FloatStorage(int width, int height);

  int Width() const override { return width_; }
  int Height() const override { return height_; }
  bool GetPixel(int x, int y, BMM_Color_fl& colour) const override;
  bool PutPixel(int x, int y, const BMM_Color_fl& colour) override;
  int GetLinearPixels(int x, int y, int pixels, BMM_Color_fl* line) const override;
  // Only COPY_IMAGE_CUSTOM_POSITION is supported (other operations return 0). The
  // source lands at the placement's custom x/y with its custom width/height (0 or
  // less: the source's own size; a different size scales nearest-neighbour); every
  // other pixel becomes `fill`; what falls outside this storage is dropped.
  // Returns 1 on success.
  int CopyImage(Bitmap* from, int operation, const BMM_Color_fl& fill, BitmapInfo* placement) override;

  // Four floats per pixel, contiguous.
  const float* data() const { return &pixels_.front().r; }
  float* data() { return &pixels_.front().r; }

 private:
  bool inside(int x, int y) const { return x >= 0 && y >= 0 && x < width_ && y < height_; }
  int width_;
  int height_;
  std::vector<BMM_Color_fl> pixels_;
};

}  // namespace paravelle::host::standalone
