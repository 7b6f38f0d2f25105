#pragma once
// Starting and ending a job: the per-job resets, gamma and the missing-file policy, the
// scene load with its failure texts, the choice of viewport and camera, the renderer's
// kind; at the end the renderer is closed and the job marked ended. Failures are
// std::runtime_error whose what() the farm receives after "ERROR: ". Callers run both
// under the job's machine-fault trap, as CallStartJob and CallEndJob do.

#include <string>

#include "job/job_state.h"
#include "transport/simple_socket.h"

namespace paravelle::render {

void StartJob(job::JobState& state, const std::wstring& scene_file, const std::wstring& cameraName);
void EndJob(job::JobState& state);

// StartJob and EndJob as the job commands and the Debug_ script functions run them, under
// the machine-fault trap: trapText is empty when the step finished, otherwise "Trapped SEH
// Exception in <step>(): " and the fault's name (the crash report is then in
// lastCrashReport). A step that fails raises a standard exception.
void CallStartJob(job::JobState& state, const std::wstring& fileName, const std::wstring& cameraName,
                  std::string& trapText);
void CallEndJob(job::JobState& state, std::string& trapText);

// Gamma of the host's image files, when the farm asked for it; otherwise the host's stays.
void ApplyGamma(const job::JobState& state);
// The missing-file policy as the host's default actions, one log line per message type.
void ApplyDefaultActions(job::JobState& state);
// The host's current default actions, to the log and the farm (before every render).
void ReportDefaultActions(job::JobState& state, win32::simple_socket& connection);

// The scene load under the machine-fault trap: LoadFromFile with the load flags 14 on the
// job's core interface. On a trapped fault trapText becomes "Trapped SEH Exception in
// LoadFromFile(): " and the fault's name (the crash report is in lastCrashReport) and the
// result is false; host and standard exceptions pass through unchanged.
bool CallLoadFromFile(job::JobState& state, const std::wstring& file, std::string& trapText);

}  // namespace paravelle::render
