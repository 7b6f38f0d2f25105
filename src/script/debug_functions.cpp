#include "script/debug_functions.h"

#include <exception>

#include "diag/log_file.h"
#include "host/maxscript.h"
#include "render/frame_pipeline.h"
#include "render/job_start.h"
#include "transport/simple_socket.h"
#include "transport/text.h"

namespace paravelle::script {

namespace {

void report(const wchar_t* format, const std::string& text) {
  thread_local_current_stdout()->printf(format, to_wstring(text).c_str());
  diag::log_line(text);
}

// `step` fills the trap text and answers whether the step succeeded.
template <class Step>
bool run_debug_step(Step&& step) {
  std::string trapText;
  try {
    const bool succeeded = step(trapText);
    if (!trapText.empty()) {
      report(L"SEH Exception: %s\n", trapText);
      return false;
    }
    return succeeded;
  } catch (const std::exception& error) {
    report(L"Exception: %s\n", error.what());
    return false;
  }
}

}  // namespace

bool DebugStartJob(job::JobState& state, const std::wstring& fileName, const std::wstring& cameraName) {
  return run_debug_step([&](std::string& trapText) {
    render::CallStartJob(state, fileName, cameraName, trapText);
    return true;
  });
}

bool DebugEndJob(job::JobState& state) {
  return run_debug_step([&](std::string& trapText) {
    render::CallEndJob(state, trapText);
    return true;
  });
}

bool DebugRenderFrame(job::JobState& state, int frameIndex) {
  return run_debug_step([&](std::string& trapText) {
    win32::simple_socket unconnected;
    return render::CallRenderFrame(state, frameIndex, unconnected, trapText) == 0;
  });
}

}  // namespace paravelle::script
