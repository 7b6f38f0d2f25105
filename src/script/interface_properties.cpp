#include "script/interface_properties.h"

#include <string>

#include "host/core.h"
#include "host/maxscript_runtime.h"
#include "host/platform.h"
#include "job/farm_connection.h"

namespace paravelle::script {

namespace {

// True when the daemon runs, after letting the host's pending work run.
bool running_after_drain() {
  if (!job::daemonRunning) return false;
  host::drain_messages();
  return true;
}

Value* text_while_running(const std::wstring& text) {
  if (!running_after_drain()) return &undefined;
  return new String(text);
}

}  // namespace

int CurrentFrame(const job::JobState& state) {
  if (running_after_drain()) return state.currentFrame;
  return GetCOREInterface()->GetTime() / GetTicksPerFrame();
}

int CurrentTask(const job::JobState& state) { return running_after_drain() ? state.currentTask : -1; }

Value* SceneFileName(const job::JobState& state) { return text_while_running(state.sceneFileName); }
Value* SceneFilePath(const job::JobState& state) { return text_while_running(state.sceneFilePath); }
Value* JobsDataFolder(const job::JobState& state) { return text_while_running(state.jobsDataFolder); }
Value* PluginsFolder(const job::JobState& state) { return text_while_running(state.pluginsFolder); }
Value* TempFolder(const job::JobState& state) { return text_while_running(state.tempFolder); }

}  // namespace paravelle::script
