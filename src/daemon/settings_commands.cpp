// The settings commands: the task, the folders, and how the next scene is loaded and each
// task rendered and saved. They only store values in the job state, for the job start and
// the frames to act on; most answer nothing when they succeed, and many only log their
// errors and switch their setting off.

#include <algorithm>
#include <cmath>

#include "daemon/command_handlers.h"
#include "transport/number_format.h"
#include "transport/text.h"

namespace paravelle::daemon {

using job::JobState;

namespace {

// The log line of a settings command that got the wrong number of parameters and
// therefore switches its setting off.
void log_count_and_switch_off(const CommandContext& context, const char* command, int expected, bool& setting) {
  log_setting(std::string(command) + ": requires " + format_number(expected) + " parameters, got " +
              format_number(static_cast<std::int32_t>(context.parameter_count())) + ", setting to false");
  setting = false;
}

// The commands whose one parameter names a file: the name is stored as received and
// the setting switched on, or a count error switches the setting off. True when stored.
bool store_single_name(const CommandContext& context, const char* command, bool& use, std::wstring& name) {
  if (context.parameter_count() != 1) {
    log_count_and_switch_off(context, command, 1, use);
    return false;
  }
  use = true;
  name = context.parameter(1);
  return true;
}

// The same for the commands that log what they do: `intro` first, then `stored` and the
// name once it is stored.
void store_logged_name(const CommandContext& context, const char* command, const char* intro, const char* stored,
                       bool& use, std::wstring& name) {
  log_setting(intro);
  if (store_single_name(context, command, use, name)) log_setting(stored + to_string(name));
}

std::string quoted_parameter(const CommandContext& context, std::size_t i) {
  return "\"" + to_string(context.parameter(i)) + "\"";
}

void reply_invalid_gamma(const CommandContext& context, std::size_t i) {
  context.reply(L"ERROR: GammaCorrection: Parameter " + std::to_wstring(i) + L", \"" + context.parameter(i) +
                L"\", is not a valid gamma value.");
}

// A gamma that is not a finite number above zero (nan, infinity, 0, a negative value)
// would turn every image of the next job into nonsense; it is refused when it arrives,
// and the gamma settings stay as they were.
bool usable_gamma(float gamma) { return std::isfinite(gamma) && gamma > 0.0f; }

void reply_unusable_gamma(const CommandContext& context, std::size_t i) {
  context.reply(L"ERROR: GammaCorrection: Parameter " + std::to_wstring(i) + L", \"" + context.parameter(i) +
                L"\", is not a usable gamma value: it must be a finite number greater than 0.");
}

}  // namespace

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

void UseJpegOutputCommand(const CommandContext& context) {
  store_single_name(context, "UseJpegOutput", context.state.useJpegOutput, context.state.jpegOutputPath);
}

void FailOnBlackFramesCommand(const CommandContext& context) {
  JobState& state = context.state;
  if (context.parameter_count() != 2)
    return log_count_and_switch_off(context, "FailOnBlackFrames", 2, state.failOnBlackFrames);
  state.failOnBlackFrames = true;
  if (const auto percentage = parse_int32(context.parameter(1))) {
    state.blackPixelPercentage = std::clamp(*percentage, 0, 100);
  } else {
    log_setting("FailOnBlackFrames: Parameter 1, " + quoted_parameter(context, 1) + ", is not a valid percentage.");
    state.failOnBlackFrames = false;
  }
  // A threshold that is not a number would make every comparison false and so never
  // find a black pixel; it is refused like any other text that is not a threshold.
  const auto threshold = parse_float(context.parameter(2));
  if (threshold && !std::isnan(*threshold)) {
    state.blackPixelThreshold = std::clamp(*threshold, 0.0f, 1.0f);
  } else {
    log_setting("FailOnBlackFrames: Parameter 2, " + quoted_parameter(context, 2) + ", is not a valid threshold.");
    state.failOnBlackFrames = false;
  }
}

void OverrideSaveFileCommand(const CommandContext& context) {
  JobState& state = context.state;
  log_setting("Overriding save file option");
  if (context.parameter_count() != 1) {
    log_count_and_switch_off(context, "OverrideSaveFile", 1, state.overrideSaveFile);
    state.saveFile = false;
    return;
  }
  state.overrideSaveFile = true;
  const auto save = parse_bool(context.parameter(1));
  if (!save) {
    // A value that is not 0 or 1 switches the override off rather than ending the session.
    state.overrideSaveFile = false;
    state.saveFile = false;
    return context.reply(L"ERROR: OverrideSaveFile: Parameter 1, \"" + context.parameter(1) +
                         L"\", is not a valid value (0 or 1).");
  }
  state.saveFile = *save;
  log_setting(std::string("Overriding save file option to ") + (state.saveFile ? "1" : "0"));
}

void OutputImageFilenameCommand(const CommandContext& context) {
  store_logged_name(context, "OutputImageFilename", "Setting output image filename", "Saving output to ",
                    context.state.useOutputImageFilename, context.state.outputImageFilename);
}

void OutputImageReFilenameCommand(const CommandContext& context) {
  JobState& state = context.state;
  if (context.parameter_count() != 2)
    return log_count_and_switch_off(context, "OutputImageReFilename", 2, state.useRenderElementFilenames);
  const auto index = parse_int32(context.parameter(1));
  if (!index)
    return context.reply(L"ERROR: OutputImageReFilename: Parameter 1 , \"" + context.parameter(1) +
                         L"\", is not a valid index.");
  std::vector<std::wstring>& names = state.renderElementFilenames;
  // A negative index, read as unsigned, is past the end: the name is appended.
  if (static_cast<std::uint32_t>(*index) < names.size())
    names[static_cast<std::uint32_t>(*index)] = context.parameter(2);
  else
    names.push_back(context.parameter(2));
  state.useRenderElementFilenames = true;
  log_setting("Saving render element " + format_number(*index) + " output to " + to_string(context.parameter(2)));
}

void GammaCorrectionCommand(const CommandContext& context) {
  JobState& state = context.state;
  if (context.parameter_count() != 2)
    return log_count_and_switch_off(context, "GammaCorrection", 2, state.gammaCorrection);
  const auto gamma_in = parse_float(context.parameter(1));
  if (!gamma_in) return reply_invalid_gamma(context, 1);
  if (!usable_gamma(*gamma_in)) return reply_unusable_gamma(context, 1);
  const auto gamma_out = parse_float(context.parameter(2));
  if (!gamma_out) {
    // A second value that is no number at all keeps the first, as it always has.
    state.gammaIn = *gamma_in;
    return reply_invalid_gamma(context, 2);
  }
  if (!usable_gamma(*gamma_out)) return reply_unusable_gamma(context, 2);
  state.gammaIn = *gamma_in;
  state.gammaOut = *gamma_out;
  state.gammaCorrection = true;
  log_setting("Enabling gamma correction");
  log_setting("Gamma in: " + format_number(state.gammaIn));
  log_setting("Gamma out: " + format_number(state.gammaOut));
}

void PathConfigFileCommand(const CommandContext& context) {
  store_logged_name(context, "PathConfigFile", "Setting alternate path config file",
                    "Using alternate path config file ", context.state.usePathConfigFile, context.state.pathConfigFile);
}

void IgnoreRenderElementsByNameCommand(const CommandContext& context) {
  if (context.parameter_count() == 0)
    return log_setting("IgnoreRenderElementsByName: did not specify any render elements to skip");
  auto& names = context.state.ignoredRenderElementNames;
  names.insert(names.end(), context.fields.begin() + 1, context.fields.end());
}

}  // namespace paravelle::daemon
