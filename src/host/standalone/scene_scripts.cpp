#include "host/standalone/scene_scripts.h"

#include <mutex>

namespace host::standalone {
namespace {

struct RunnerSlot {
  std::mutex mutex;
  SceneScriptRunner runner;
};

RunnerSlot& slot() {
  static RunnerSlot instance;
  return instance;
}

}  // namespace

void set_scene_script_runner(SceneScriptRunner runner) {
  std::lock_guard<std::mutex> lock(slot().mutex);
  slot().runner = std::move(runner);
}

bool run_scene_script(const std::wstring& script) {
  if (script.empty()) return true;
  SceneScriptRunner runner;
  {
    // A copy, so a script may install another runner without deadlocking.
    std::lock_guard<std::mutex> lock(slot().mutex);
    runner = slot().runner;
  }
  return runner ? runner(script) : true;
}

}  // namespace host::standalone
