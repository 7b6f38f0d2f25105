#pragma once
// The hook through which the script runtime runs the scripts a scene carries (after
// load, before each frame). The host only stores the texts; the runtime installs
// itself here so the host library does not depend on the interpreter.

#include <functional>
#include <string>

namespace host::standalone {

// Runs a scene script; false when the script raised an error (already printed on the listener).
using SceneScriptRunner = std::function<bool(const std::wstring& script)>;

void set_scene_script_runner(SceneScriptRunner runner);  // the script runtime installs itself
bool run_scene_script(const std::wstring& script);       // true when no runner is installed or the script is empty

}  // namespace host::standalone
