#pragma once
// One frame of the open job: scene time, the frame's file names, bitmaps and render
// elements, the render (single or multipass), the black-frame test, the outputs, and
// everything put back for the next frame. Runs under the frame's machine-fault trap
// (script/job_steps.h).

#include <cstdint>

#include "daemon/job_state.h"
#include "host/bitmap.h"
#include "transport/simple_socket.h"

namespace paravelle::render {

// 0 when the frame was finished or skipped; every failure is a std::runtime_error whose
// text the farm receives. The frame's bitmaps are freed and its names restored on every
// way out.
std::uint16_t RenderFrame(daemon::JobState& state, std::int32_t frame, win32::simple_socket& connection);

// Type, alpha flag, size and aspect of the render settings.
void PrepareBitmapInfo(BitmapInfo& info);

// Deletes the frame's element bitmaps and accumulators (pointers become null).
void ReleaseRenderElementBitmaps(daemon::JobState& state);

}  // namespace paravelle::render
