#pragma once
// The read-only properties of TaskmereUtil. While the daemon runs they report the job
// state (after servicing the host's queue); otherwise the frame at the time slider, -1
// for the task, and `undefined` for the texts.

#include "job/job_state.h"

class Value;

namespace paravelle::script {

int CurrentFrame(const job::JobState& state);
int CurrentTask(const job::JobState& state);
Value* SceneFileName(const job::JobState& state);
Value* SceneFilePath(const job::JobState& state);
Value* JobsDataFolder(const job::JobState& state);
Value* PluginsFolder(const job::JobState& state);
Value* TempFolder(const job::JobState& state);

}  // namespace paravelle::script
