#pragma once
// The host's current renderer as the frame pipeline uses it: opened at the first frame
// of a job (and after each close), with the multipass decision made at that moment;
// closed in restart mode after every frame and at the end of the job.

#include <cstdint>
#include <string>

#include "host/core.h"
#include "job/job_state.h"
#include "transport/simple_socket.h"

namespace paravelle::render {

// The time of a frame in ticks (ticks per frame times the frame). std::runtime_error
// "Frame <n> at <ticks> ticks per frame lies outside the scene's time range." when it does
// not fit the host's 32-bit time, rather than wrapping round to another frame's time.
TimeValue frame_time(std::int32_t frame);

// The job's region rectangle as the renderer takes it (left, top, right, bottom).
RECT region_rect(const job::JobState& state);

// Opens the renderer for the job's camera or viewport and decides multipass; nothing
// when it is open already. std::runtime_error on failure (rendererOpen stays false).
void SetupRenderParameters(job::JobState& state, std::int32_t frame, win32::simple_socket& connection);

// Closes the renderer when it is open. std::runtime_error with the trap's text and the
// crash report when closing faulted; rendererOpen then stays true.
void CloseRenderer(job::JobState& state);

// Renders every pass of the camera's multipass effect into a pass bitmap, accumulating
// into main_bitmap and into each render element's accumulator. The pass bitmap is freed
// on every way out; std::runtime_error on failure, also when the pass bitmap cannot be
// made or an element has no accumulator.
void render_multipass(job::JobState& state, TimeValue t, Bitmap* main_bitmap, win32::simple_socket& connection);

// One render into `bitmap` through CallCurRendererRenderFrame, with the job's region when
// it renders one; logs "<indent>CallCurRendererRenderFrame returned code 1" (0 for a
// failure). A trapped fault raises std::runtime_error with the trap's text and the crash
// report. Returns the renderer's result.
int render_trapped(job::JobState& state, TimeValue t, Bitmap* bitmap, RendProgressCallback& callback, ViewParams* view,
                   win32::simple_socket& connection, const std::string& indent);

// The renderer calls that may crash the host, each under the machine-fault trap. On a
// trapped fault error_text becomes "Trapped SEH Exception in <call>(): " and the fault's
// name (the crash report is in lastCrashReport) and the result is 0; otherwise error_text
// is empty and the host's result comes back.
int CallOpenCurRenderer(job::JobState& state, INode* camera, ViewExp* view, int rendType, int width, int height,
                        std::string& error_text);
void CallCloseCurRenderer(job::JobState& state, std::string& error_text);
int CallCurRendererRenderFrame(job::JobState& state, TimeValue t, Bitmap* bitmap, RendProgressCallback* callback,
                               float frameDuration, ViewParams* view, RECT* region, std::string& error_text);

}  // namespace paravelle::render
