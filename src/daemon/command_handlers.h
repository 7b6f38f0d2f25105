#pragma once
// The handlers of the command table, grouped by the files that hold them.

#include "daemon/command_context.h"

namespace paravelle::daemon {

// Job commands.
void StartJobCommand(const CommandContext& context);
void RenderTaskCommand(const CommandContext& context);
void EndJobCommand(const CommandContext& context);

// Settings: the task, the folders and the frame numbers.
void CurrentTaskCommand(const CommandContext& context);
void SlaveFoldersCommand(const CommandContext& context);
void TempFolderCommand(const CommandContext& context);
void FrameNumberBaseCommand(const CommandContext& context);

// Settings: render and scene.
void RegionRenderingCommand(const CommandContext& context);
void UseJpegOutputCommand(const CommandContext& context);
void FailOnBlackFramesCommand(const CommandContext& context);
void OverrideSaveFileCommand(const CommandContext& context);
void OutputImageFilenameCommand(const CommandContext& context);
void OutputImageReFilenameCommand(const CommandContext& context);
void GammaCorrectionCommand(const CommandContext& context);
void PathConfigFileCommand(const CommandContext& context);
void IgnoreRenderElementsByNameCommand(const CommandContext& context);

// Script commands.
void ExecuteMaxScriptFileCommand(const CommandContext& context);
void ExecuteStringScriptCommand(const CommandContext& context);

}  // namespace paravelle::daemon
