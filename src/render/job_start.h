#pragma once
// Starting and ending a job: the per-job resets, gamma and the missing-file policy, the
// scene load with its failure texts, the choice of viewport and camera, the renderer's
// kind; at the end the renderer is closed and the job marked ended. Failures are
// std::runtime_error whose what() the farm receives after "ERROR: ". Both run under the
// job's machine-fault trap (script/job_steps.h).

#include <string>

#include "daemon/job_state.h"
#include "transport/simple_socket.h"

namespace paravelle::render {

void StartJob(daemon::JobState& state, const std::wstring& sceneFile, const std::wstring& cameraName);
void EndJob(daemon::JobState& state);

// Gamma of the host's image files, when the farm asked for it; otherwise the host's stays.
void ApplyGamma(const daemon::JobState& state);
// The missing-file policy as the host's default actions, one log line per message type.
void ApplyDefaultActions(daemon::JobState& state);
// The host's current default actions, to the log and the farm (before every render).
void ReportDefaultActions(daemon::JobState& state, win32::simple_socket& connection);

// The scene load under the machine-fault trap: LoadFromFile with the load flags 14 on the
// job's core interface. On a trapped fault errorText becomes "Trapped SEH Exception in
// LoadFromFile(): " and the fault's name (the crash report is in lastCrashReport) and the
// result is false; host and standard exceptions pass through unchanged.
bool CallLoadFromFile(daemon::JobState& state, const std::wstring& file, std::string& errorText);

}  // namespace paravelle::render
