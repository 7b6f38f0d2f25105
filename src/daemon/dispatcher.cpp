#include "daemon/dispatcher.h"

#include <functional>
#include <unordered_map>

#include "daemon/command_handlers.h"
#include "diag/log_file.h"
#include "transport/text.h"

namespace paravelle::daemon {

using job::JobState;

namespace {

using Handler = std::function<void(const CommandContext&)>;

// A command without parameters that switches one setting.
template <bool JobState::*Field, bool Value>
void set_flag(const CommandContext& context) {
  context.state.*Field = Value;
}

void ContinueCommand(const CommandContext&) { diag::log_line("Warning: ignoring CONTINUE statement"); }

const std::unordered_map<std::wstring, Handler>& command_table() {
  static const std::unordered_map<std::wstring, Handler> table = {
      {L"StartJob", StartJobCommand},
      {L"RenderTask", RenderTaskCommand},
      {L"EndJob", EndJobCommand},
      {L"CurrentTask", CurrentTaskCommand},
      {L"SlaveFolders", SlaveFoldersCommand},
      {L"TempFolder", TempFolderCommand},
      {L"FrameNumberBase", FrameNumberBaseCommand},
      {L"RegionRendering", RegionRenderingCommand},
      {L"UseJpegOutput", UseJpegOutputCommand},
      {L"FailOnBlackFrames", FailOnBlackFramesCommand},
      {L"BlackFramesCheckRenderElements", set_flag<&JobState::blackFramesCheckRenderElements, true>},
      {L"DisableAltOutput", set_flag<&JobState::useAltOutput, false>},
      {L"ExecuteMaxScriptFile", ExecuteMaxScriptFileCommand},
      {L"ExecuteStringScript", ExecuteStringScriptCommand},
      {L"OverrideSaveFile", OverrideSaveFileCommand},
      {L"OutputImageFilename", OutputImageFilenameCommand},
      {L"OutputImageReFilename", OutputImageReFilenameCommand},
      {L"GammaCorrection", GammaCorrectionCommand},
      {L"PathConfigFile", PathConfigFileCommand},
      {L"IgnoreRenderElementsByName", IgnoreRenderElementsByNameCommand},
      {L"MergePathConfigFile", set_flag<&JobState::mergePathConfigFile, true>},
      {L"LocalRendering", set_flag<&JobState::localRendering, true>},
      {L"RestartRendererMode", set_flag<&JobState::restartRendererMode, true>},
      {L"HideFrameBuffer", set_flag<&JobState::showFrameBuffer, false>},
      {L"IgnoreMissingExternalFiles", set_flag<&JobState::ignoreMissingExternalFiles, true>},
      {L"IgnoreMissingUVWs", set_flag<&JobState::ignoreMissingUVWs, true>},
      {L"IgnoreMissingDLLs", set_flag<&JobState::ignoreMissingDLLs, true>},
      {L"IgnoreMissingXREFs", set_flag<&JobState::ignoreMissingXREFs, true>},
      {L"DisableMultipass", set_flag<&JobState::disableMultipass, true>},
      {L"RemovePadding", set_flag<&JobState::removePadding, true>},
      {L"IgnoreRenderElements", set_flag<&JobState::renderElementsEnabled, false>},
      {L"CONTINUE", ContinueCommand},
  };
  return table;
}

void log_command(const std::wstring& command, const CommandFields& fields) {
  diag::log_file << "Command: " << to_string(command) << std::endl;
  for (const std::wstring& field : fields) diag::log_file << to_string(field) << std::endl;
  diag::log_file << std::endl;
}

}  // namespace

void DispatchCommand(JobState& state, const std::wstring& command, CommandReplies& replies,
                     win32::simple_socket& connection) {
  const CommandFields fields = split_command(command);
  log_command(command, fields);

  const CommandContext context{state, fields, replies, connection};
  // An empty message has no command word; it is answered like any unknown word.
  const std::wstring word = fields.empty() ? std::wstring() : fields.front();
  const auto& table = command_table();
  if (const auto entry = table.find(word); entry != table.end()) return entry->second(context);
  context.reply(L"ERROR: Unexpected command \"" + word + L"\" received.");
}

}  // namespace paravelle::daemon
