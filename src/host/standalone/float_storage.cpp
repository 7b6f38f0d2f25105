#include "host/standalone/float_storage.h"

#include <algorithm>
#include <cstddef>

namespace paravelle::host::standalone {

static_assert(sizeof(BMM_Color_fl) == 4 * sizeof(float), "pixels must be four packed floats");

FloatStorage::FloatStorage(int width, int height)
    : width_(width), height_(height), pixels_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {}

bool FloatStorage::GetPixel(int x, int y, BMM_Color_fl& colour) const {
  if (!inside(x, y)) return false;
  colour = pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)];
  return true;
}

bool FloatStorage::PutPixel(int x, int y, const BMM_Color_fl& colour) {
  if (!inside(x, y)) return false;
  pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)] = colour;
  return true;
}

int FloatStorage::GetLinearPixels(int x, int y, int pixels, BMM_Color_fl* line) const {
  if (!line || pixels < 0 || !inside(x, y) || pixels > width_ - x) return 0;
  const std::size_t start =
      static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x);
  std::copy_n(pixels_.begin() + static_cast<std::ptrdiff_t>(start), pixels, line);
  return 1;
}

int FloatStorage::CopyImage(Bitmap* from, int operation, const BMM_Color_fl& fill, BitmapInfo* placement) {
  if (operation != COPY_IMAGE_CUSTOM_POSITION || !from || !placement) return 0;
  const BitmapStorage* source = from->Storage();
  if (!source || source == this) return 0;
  const int source_width = source->Width();
  const int source_height = source->Height();
  const int placed_width = placement->GetCustWidth() > 0 ? placement->GetCustWidth() : source_width;
  const int placed_height = placement->GetCustHeight() > 0 ? placement->GetCustHeight() : source_height;
  const long long left = placement->GetCustomX();
  const long long top = placement->GetCustomY();
  for (int y = 0; y < height_; ++y) {
    for (int x = 0; x < width_; ++x) {
      const long long u = x - left;
      const long long v = y - top;
      BMM_Color_fl colour = fill;
      if (u >= 0 && v >= 0 && u < placed_width && v < placed_height) {
        const int sx = static_cast<int>(u * source_width / placed_width);
        const int sy = static_cast<int>(v * source_height / placed_height);
        source->GetPixel(sx, sy, colour);
      }
      PutPixel(x, y, colour);
    }
  }
  return 1;
}

}  // namespace paravelle::host::standalone
