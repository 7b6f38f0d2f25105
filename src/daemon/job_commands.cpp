// The job commands: StartJob, RenderTask and EndJob. Each runs its job step under the
// machine-fault trap and always ends with its final reply, so a failed step costs the farm
// one task, never the session.

#include <exception>

#include "daemon/command_handlers.h"
#include "diag/log_file.h"
#include "host/platform.h"
#include "render/frame_pipeline.h"
#include "render/job_start.h"
#include "render/path_parts.h"

namespace paravelle::daemon {

using job::JobState;

namespace {

// After an error reply of a task the node pauses, so that a worker that reacts to the
// error (logging it, restarting the node) sees it before the final reply.
constexpr std::uint32_t kTaskErrorPauseMs = 500;

// A trapped fault as the farm sees it: the trap's text and the crash report.
std::string trap_reply(const JobState& state, const std::string& trapText) {
  return "ERROR: " + trapText + "\n" + state.lastCrashReport;
}

void send_error(const CommandContext& context, const std::string& text) {
  diag::log_line("Sending error");
  context.reply(text);
}

}  // namespace

void StartJobCommand(const CommandContext& context) {
  if (context.parameter_count() != 2) return context.reply_count_error("StartJob", "2 parameters");
  JobState& state = context.state;
  const std::wstring& scene_file = context.parameter(1);
  // Scripts read these even when the job fails to start.
  const render::PathParts parts = render::split_path(with_backslashes(scene_file));
  state.sceneFileName = parts.file_name;
  state.sceneFilePath = parts.parent;

  std::string trapText;
  try {
    render::CallStartJob(state, scene_file, context.parameter(2), trapText);
  } catch (const std::exception& error) {
    send_error(context, std::string("ERROR: ") + error.what());
  }
  if (!trapText.empty()) send_error(context, trap_reply(state, trapText));
  diag::log_line("Sending success");
  context.reply(L"SUCCESS Scene loaded successfully");
}

void RenderTaskCommand(const CommandContext& context) {
  if (context.parameter_count() != 1) return context.reply_count_error("RenderTask", "1 parameter");
  const auto frame = parse_int32(context.parameter(1));
  if (!frame)
    return context.reply(L"ERROR: RenderTask: Parameter 1 , \"" + context.parameter(1) +
                         L"\", is not a valid frame number.");
  JobState& state = context.state;
  // Stored before the job check: a script asking for the current frame sees the task's.
  state.currentFrame = *frame;
  if (!state.jobRunning) return context.reply(L"ERROR: RenderTask: Called without being in a job.");

  context.reply(L"STARTED");
  std::string trapText;
  std::uint16_t status = 1;
  try {
    status = render::CallRenderFrame(state, state.currentFrame, context.connection, trapText);
  } catch (const std::exception& error) {
    context.reply(std::string("ERROR: ") + error.what());
    host::sleep_ms(kTaskErrorPauseMs);
  }
  if (!trapText.empty()) {
    context.reply(trap_reply(state, trapText));
    host::sleep_ms(kTaskErrorPauseMs);
  }
  context.reply(status != 0 ? L"ERROR: Failed to save file." : L"SUCCESS");
}

void EndJobCommand(const CommandContext& context) {
  JobState& state = context.state;
  std::string trapText;
  try {
    render::CallEndJob(state, trapText);
  } catch (const std::exception& error) {
    send_error(context, std::string("ERROR: ") + error.what());
  }
  if (!trapText.empty()) send_error(context, trap_reply(state, trapText));
  context.reply(L"SUCCESS");
}

}  // namespace paravelle::daemon
