#include "script/job_steps.h"

#include <stdexcept>

#include "diag/host_call_trap.h"

namespace paravelle::script {

namespace {

// This build of the plug-in has no job operations: each step refuses plainly rather than
// letting a debugging script believe a scene was loaded or a frame rendered.
void start_job(daemon::JobState&, const std::wstring&, const std::wstring&) {
  throw std::runtime_error("StartJob: jobs are not available in this build of the plug-in");
}

void end_job(daemon::JobState&) {
  throw std::runtime_error("EndJob: jobs are not available in this build of the plug-in");
}

std::uint16_t render_frame(daemon::JobState&, std::int32_t, win32::simple_socket&) {
  throw std::runtime_error("RenderFrame: jobs are not available in this build of the plug-in");
}

}  // namespace

void CallStartJob(daemon::JobState& state, const std::wstring& fileName, const std::wstring& cameraName,
                  std::string& trapText) {
  diag::run_trapped_host_call("Trapped SEH Exception in StartJob(): ", trapText, state.lastCrashReport,
                              [&] { start_job(state, fileName, cameraName); });
}

void CallEndJob(daemon::JobState& state, std::string& trapText) {
  diag::run_trapped_host_call("Trapped SEH Exception in EndJob(): ", trapText, state.lastCrashReport,
                              [&] { end_job(state); });
}

std::uint16_t CallRenderFrame(daemon::JobState& state, std::int32_t frame, win32::simple_socket& connection,
                              std::string& trapText) {
  return diag::run_trapped_host_call("Trapped SEH Exception in RenderFrame(): ", trapText, state.lastCrashReport,
                                     std::uint16_t{1}, [&] { return render_frame(state, frame, connection); });
}

}  // namespace paravelle::script
