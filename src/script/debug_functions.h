#pragma once
// Debug_StartJob, Debug_EndJob and Debug_RenderFrame: one job step run straight from a
// script, without a farm. A trapped fault prints "SEH Exception: <trap text>" on the
// listener, a standard exception "Exception: <text>"; either is also logged and gives
// false. Other exceptions pass to the script.

#include <string>

#include "job/job_state.h"

namespace paravelle::script {

bool DebugStartJob(job::JobState& state, const std::wstring& fileName, const std::wstring& cameraName);
bool DebugEndJob(job::JobState& state);
// The frame is rendered with a connection that was never connected: whatever the render
// tries to send fails and is handled where it is sent. True only for a render result of 0.
bool DebugRenderFrame(job::JobState& state, int frameIndex);

}  // namespace paravelle::script
