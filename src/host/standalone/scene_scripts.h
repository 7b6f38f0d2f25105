#pragma once
// The hook through which the scripts a scene carries (after load, before each frame) run.
// The host's own script runtime runs them unless another runner is installed (tests
// install recorders here).

#include <functional>
#include <string>

namespace paravelle::host::standalone {

// Runs a scene script; false when the script raised an error (already printed on the listener).
using SceneScriptRunner = std::function<bool(const std::wstring& script)>;

// Installs a runner; null puts back the default, host::script::run_text.
void set_scene_script_runner(SceneScriptRunner runner);
bool run_scene_script(const std::wstring& script);  // true for an empty script

}  // namespace paravelle::host::standalone
