#include "render/frame_pipeline.h"

#include <stdexcept>

#include "host/core.h"
#include "render/renderer.h"

namespace paravelle::render {

// This build renders no frames yet: a task must fail plainly rather than report a frame
// that was never rendered or written.
std::uint16_t RenderFrame(daemon::JobState&, std::int32_t frame, win32::simple_socket&) {
  FrameTime(frame);
  throw std::runtime_error("RenderFrame: frame rendering is not built into this version of the plug-in yet");
}

void PrepareBitmapInfo(BitmapInfo& info) {
  Interface* const core = GetCOREInterface();
  const Renderer* const renderer = core->GetCurrentRenderer(true);
  const bool float_output = renderer && renderer->HasRequirement(MAX_REQUIREMENT_FLOAT_OUTPUT);
  info.SetType(float_output ? BMM_FLOAT_RGBA_32 : BMM_TRUE_64);
  info.SetFlags(MAP_HAS_ALPHA);
  info.SetWidth(core->GetRendWidth());
  info.SetHeight(core->GetRendHeight());
  info.SetAspect(core->GetRendApect());
}

void ReleaseRenderElementBitmaps(daemon::JobState& state) {
  for (std::int32_t i = 0; i < state.renderElementCount; ++i) {
    PBBitmap* const element = state.renderElementBitmaps.at(static_cast<std::size_t>(i));
    if (!element || !element->bm) continue;
    element->bm->DeleteThis();
    element->bm = nullptr;
  }
  for (Bitmap* accumulator : state.renderElementAccumulators)
    if (accumulator) accumulator->DeleteThis();
  state.renderElementAccumulators.clear();
}

}  // namespace paravelle::render
