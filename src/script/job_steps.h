#pragma once
// The job's steps as the job commands and the Debug_ script functions run them, each
// under its machine-fault trap: trapText is empty when the step finished, otherwise
// "Trapped SEH Exception in <step>(): " and the fault's name (the crash report is then in
// lastCrashReport). A step that fails raises a standard exception.

#include <cstdint>
#include <string>

#include "daemon/job_state.h"
#include "transport/simple_socket.h"

namespace paravelle::script {

void CallStartJob(daemon::JobState& state, const std::wstring& fileName, const std::wstring& cameraName,
                  std::string& trapText);
void CallEndJob(daemon::JobState& state, std::string& trapText);
// 0 when the frame was finished or skipped; 1 after a fault. The frame's bitmaps and names
// are put back on every way out, a fault included.
std::uint16_t CallRenderFrame(daemon::JobState& state, std::int32_t frame, win32::simple_socket& connection,
                              std::string& trapText);

}  // namespace paravelle::script
