#include "script/job_steps.h"

#include "diag/trap.h"
#include "render/frame_pipeline.h"
#include "render/job_start.h"

namespace paravelle::script {

void CallStartJob(daemon::JobState& state, const std::wstring& fileName, const std::wstring& cameraName,
                  std::string& trapText) {
  diag::run_trapped("Trapped SEH Exception in StartJob(): ", trapText, state.lastCrashReport,
                    [&] { render::StartJob(state, fileName, cameraName); });
}

void CallEndJob(daemon::JobState& state, std::string& trapText) {
  diag::run_trapped("Trapped SEH Exception in EndJob(): ", trapText, state.lastCrashReport, [&] { render::EndJob(state); });
}

std::uint16_t CallRenderFrame(daemon::JobState& state, std::int32_t frame, win32::simple_socket& connection,
                              std::string& trapText) {
  return diag::run_trapped("Trapped SEH Exception in RenderFrame(): ", trapText, state.lastCrashReport,
                           std::uint16_t{1}, [&] { return render::RenderFrame(state, frame, connection); });
}

}  // namespace paravelle::script
