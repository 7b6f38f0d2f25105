#include "render/frame_pipeline.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

#include "host/core.h"
#include "render/renderer.h"

namespace paravelle::render {

using daemon::JobState;

// This build renders no frames yet: a task must fail plainly rather than report a frame
// that was never rendered or written.
std::uint16_t RenderFrame(JobState&, std::int32_t frame, win32::simple_socket&) {
  FrameTime(frame);
  throw std::runtime_error("RenderFrame: frame rendering is not built into this version of the plug-in yet");
}

void PrepareBitmapInfo(BitmapInfo& info) {
  Interface& core = *GetCOREInterface();
  const Renderer* renderer = core.GetCurrentRenderer(true);
  const bool wantsFloat = renderer && renderer->HasRequirement(MAX_REQUIREMENT_FLOAT_OUTPUT);
  info.SetType(wantsFloat ? BMM_FLOAT_RGBA_32 : BMM_TRUE_64);
  info.SetFlags(MAP_HAS_ALPHA);
  info.SetWidth(core.GetRendWidth());
  info.SetHeight(core.GetRendHeight());
  info.SetAspect(core.GetRendApect());
}

void ReleaseRenderElementBitmaps(JobState& state) {
  const auto count = std::min(static_cast<std::size_t>(std::max(state.renderElementCount, 0)),
                              state.renderElementBitmaps.size());
  for (std::size_t i = 0; i < count; ++i) {
    PBBitmap* output = state.renderElementBitmaps[i];
    if (!output) continue;
    if (output->bm) output->bm->DeleteThis();
    output->bm = nullptr;
  }
  for (Bitmap* accumulator : state.renderElementAccumulators) {
    if (accumulator) accumulator->DeleteThis();
  }
  state.renderElementAccumulators.clear();
}

}  // namespace paravelle::render
