#include "daemon/command_handlers.h"

namespace paravelle::daemon {

void CurrentTaskCommand(const CommandContext& context) {
  if (context.parameter_count() != 1) return context.reply_count_error("CurrentTask", "1 parameter");
  const auto task = parse_int32(context.parameter(1));
  if (!task)
    return context.reply(L"ERROR: CurrentTask: Parameter 1 , \"" + context.parameter(1) +
                         L"\", is not a valid task number.");
  context.state.currentTask = *task;
}

void SlaveFoldersCommand(const CommandContext& context) {
  if (context.parameter_count() != 2) return context.reply_count_error("SlaveFolders", "2 parameters");
  context.state.jobsDataFolder = with_backslashes(context.parameter(1));
  context.state.pluginsFolder = with_backslashes(context.parameter(2));
}

void TempFolderCommand(const CommandContext& context) {
  if (context.parameter_count() != 1) return context.reply_count_error("TempFolder", "1 parameter");
  context.state.tempFolder = with_backslashes(context.parameter(1));
}

void FrameNumberBaseCommand(const CommandContext& context) {
  if (context.parameter_count() != 1) return context.reply_count_error("FrameNumberBase", "1 parameter");
  const auto base = parse_int32(context.parameter(1));
  if (!base)
    return context.reply(L"ERROR: FrameNumberBase: Parameter 1, \"" + context.parameter(1) +
                         L"\", is not a valid value for frame number base.");
  context.state.frameNumberBase = *base;
}

}  // namespace paravelle::daemon
