// A file of its own: the bitmap helpers that the frame pipeline, the renderer and the outputs share.

#include "render/bitmaps.h"

#include <limits>
#include <stdexcept>

#include "host/core.h"

namespace paravelle::render {

std::wstring name_of(const BitmapInfo& info) { return info.Name() ? std::wstring(info.Name()) : std::wstring(); }

void PrepareBitmapInfo(BitmapInfo& info) {
  Interface& core = *GetCOREInterface();
  const Renderer* renderer = core.GetCurrentRenderer(true);
  const bool wants_float = renderer && renderer->HasRequirement(MAX_REQUIREMENT_FLOAT_OUTPUT);
  info.SetType(wants_float ? BMM_FLOAT_RGBA_32 : BMM_TRUE_64);
  info.SetFlags(MAP_HAS_ALPHA);
  info.SetWidth(core.GetRendWidth());
  info.SetHeight(core.GetRendHeight());
  info.SetAspect(core.GetRendApect());
}

void check_image_size(const char* what, std::int64_t width, std::int64_t height) {
  constexpr std::int64_t kLargest = std::numeric_limits<std::uint16_t>::max();
  if (width < 0 || height < 0 || width > kLargest || height > kLargest) {
    throw std::runtime_error(std::string("The ") + what + " of " + std::to_string(width) + "x" +
                             std::to_string(height) + " pixels does not fit an image (0 to 65535 pixels a side)");
  }
}

}  // namespace paravelle::render
