#pragma once
// The render layer's hold on the host's bitmaps and their descriptions: a description's
// file name, the description the render settings give, the 16-bit sides of the host's
// images, and a bitmap owned until the scope that made it ends.

#include <cstdint>
#include <memory>
#include <string>

#include "host/bitmap.h"

namespace paravelle::render {

// A description's file name, the empty text for none.
std::wstring name_of(const BitmapInfo& info);

// Type, alpha flag, size and aspect of the render settings.
void PrepareBitmapInfo(BitmapInfo& info);

// The host's image sides are 16 bits; a size that does not fit would wrap round to an image
// of some other size, so it is refused: std::runtime_error "The <what> of <width>x<height>
// pixels does not fit an image (0 to 65535 pixels a side)".
void check_image_size(const char* what, std::int64_t width, std::int64_t height);

struct BitmapDeleter {
  void operator()(Bitmap* bitmap) const { bitmap->DeleteThis(); }
};
// Freed on every way out of the scope that made it.
using OwnedBitmap = std::unique_ptr<Bitmap, BitmapDeleter>;

}  // namespace paravelle::render
