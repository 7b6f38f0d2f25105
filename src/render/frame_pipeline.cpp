#include "render/frame_pipeline.h"

#include <algorithm>
#include <cstddef>

#include "host/core.h"

namespace paravelle::render {

using daemon::JobState;

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
