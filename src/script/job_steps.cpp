#include "script/job_steps.h"

#include "diag/host_call_trap.h"
#include "render/frame_pipeline.h"
#include "render/job_start.h"

namespace paravelle::script {

void CallStartJob(daemon::JobState& state, const std::wstring& fileName, const std::wstring& cameraName,
                  std::string& trapText) {
  diag::run_trapped_host_call("Trapped SEH Exception in StartJob(): ", trapText, state.lastCrashReport,
                              [&] { render::StartJob(state, fileName, cameraName); });
}

void CallEndJob(daemon::JobState& state, std::string& trapText) {
  diag::run_trapped_host_call("Trapped SEH Exception in EndJob(): ", trapText, state.lastCrashReport,
                              [&] { render::EndJob(state); });
}

std::uint16_t CallRenderFrame(daemon::JobState& state, std::int32_t frame, win32::simple_socket& connection,
                              std::string& trapText) {
  // Out here, the scope outlives a fault that abandons the frame's stack, and puts back
  // what the frame made on that way out too.
  render::FrameScope scope(state);
  return diag::run_trapped_host_call("Trapped SEH Exception in RenderFrame(): ", trapText, state.lastCrashReport,
                                     std::uint16_t{1}, [&] {
                                       render::RenderFrame(state, frame, connection, scope);
                                       return std::uint16_t{0};
                                     });
}

}  // namespace paravelle::script
