#pragma once
// The read-only properties of TaskmereUtil. While the daemon runs they report the job
// state (after servicing the host's queue); otherwise the frame at the time slider, -1
// for the task, and `undefined` for the texts.

#include "daemon/job_state.h"

class Value;

namespace paravelle::script {

int CurrentFrame(const daemon::JobState& state);
int CurrentTask(const daemon::JobState& state);
Value* SceneFileName(const daemon::JobState& state);
Value* SceneFilePath(const daemon::JobState& state);
Value* JobsDataFolder(const daemon::JobState& state);
Value* PluginsFolder(const daemon::JobState& state);
Value* TempFolder(const daemon::JobState& state);

}  // namespace paravelle::script
