#include "host/standalone/scene_scripts.h"

#include <mutex>

#include "host/maxscript_runtime.h"

namespace paravelle::host::standalone {
namespace {

struct RunnerSlot {
  std::mutex mutex;
  SceneScriptRunner runner = host::script::run_text;
};

RunnerSlot& slot() {
  static RunnerSlot instance;
  return instance;
}

}  // namespace

void set_scene_script_runner(SceneScriptRunner runner) {
  std::lock_guard<std::mutex> lock(slot().mutex);
  slot().runner = runner ? std::move(runner) : SceneScriptRunner(host::script::run_text);
}

bool run_scene_script(const std::wstring& script) {
  if (script.empty()) return true;
  SceneScriptRunner runner;
  {
    // A copy, so a script may install another runner without deadlocking.
    std::lock_guard<std::mutex> lock(slot().mutex);
    runner = slot().runner;
  }
  return runner(script);
}

}  // namespace paravelle::host::standalone
