#include "script/interface_properties.h"

#include <string>

#include "daemon/session.h"
#include "host/core.h"
#include "host/maxscript_runtime.h"
#include "host/platform.h"

namespace paravelle::script {

namespace {

// True when the daemon runs, after letting the host's pending work run.
bool running_after_drain() {
  if (!daemon::daemonRunning) return false;
  host::drain_messages();
  return true;
}

Value* text_while_running(const std::wstring& text) {
  if (!running_after_drain()) return &undefined;
  return new String(text);
}

}  // namespace

int CurrentFrame(const daemon::JobState& state) {
  if (running_after_drain()) return state.currentFrame;
  return GetCOREInterface()->GetTime() / GetTicksPerFrame();
}

int CurrentTask(const daemon::JobState& state) { return running_after_drain() ? state.currentTask : -1; }

Value* SceneFileName(const daemon::JobState& state) { return text_while_running(state.sceneFileName); }
Value* SceneFilePath(const daemon::JobState& state) { return text_while_running(state.sceneFilePath); }
Value* JobsDataFolder(const daemon::JobState& state) { return text_while_running(state.jobsDataFolder); }
Value* PluginsFolder(const daemon::JobState& state) { return text_while_running(state.pluginsFolder); }
Value* TempFolder(const daemon::JobState& state) { return text_while_running(state.tempFolder); }

}  // namespace paravelle::script
