// The commands that run scripts: ExecuteStringScript and ExecuteMaxScriptFile. Script
// errors and missing files are not caught here: they end the session, which reports them.

#include <cstdint>
#include <cwctype>
#include <limits>
#include <optional>

#include "daemon/command_handlers.h"
#include "daemon/mxs/file_in.h"
#include "daemon/mxs/frame.h"
#include "daemon/mxs/string_script.h"
#include "diag/log_file.h"
#include "host/core.h"
#include "transport/number_format.h"
#include "transport/text.h"

namespace paravelle::daemon {

using job::JobState;

namespace {

std::wstring lower_case(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

// "true" or "false" in any case; anything else is no answer.
std::optional<bool> parse_flag(const std::wstring& field) {
  const std::wstring lower = lower_case(field);
  if (lower == L"true") return true;
  if (lower == L"false") return false;
  return std::nullopt;
}

bool is_string(const Value* value) { return value->is_kind_of(&String_class); }

// A string's whole text: a NUL in it is a character like any other.
std::wstring text_of(Value* value) {
  return is_string(value) ? static_cast<String*>(value)->text() : std::wstring(value->to_string());
}

// The frame's time in ticks, or nothing when it does not fit the host's 32-bit time.
std::optional<TimeValue> frame_time(std::int32_t frame) {
  const std::int64_t ticks = std::int64_t{GetTicksPerFrame()} * frame;
  if (ticks < std::numeric_limits<TimeValue>::min() || ticks > std::numeric_limits<TimeValue>::max())
    return std::nullopt;
  return static_cast<TimeValue>(ticks);
}

void set_scene_time(JobState& state, std::int32_t frame, TimeValue time) {
  state.currentFrame = frame;
  Interface* const core = GetCOREInterface();
  constexpr BOOL kRedraw = 1;
  core->SetTime(time, kRedraw);
  diag::log_line("Set Time to " + format_number(state.currentFrame));
  diag::log_line("GetTime(): " + format_number(std::int32_t{core->GetTime()}));
}

void reply_success_check(const CommandContext& context, Value* result) {
  if (result->is_kind_of(&Ok_class) || (result->is_kind_of(&Boolean_class) && result->truth()))
    return context.reply(L"SUCCESS");
  if (result->is_kind_of(&Boolean_class))
    return context.reply(L"ERROR: ExecuteMaxScriptFile: Script did not return success. Returned value was false.");
  context.reply(L"ERROR: ExecuteMaxScriptFile: Script did not return success. Returned value was: " + text_of(result) +
                L".");
}

// A parameter of ExecuteMaxScriptFile that does not read as what it must be: the reply says
// what the parameter specifies and quotes the field as received. The replies count the
// parameters after the script file's name.
void reply_unreadable(const CommandContext& context, std::size_t field, const wchar_t* specifies) {
  context.reply(L"ERROR: ExecuteMaxScriptFile: Parameter " + std::to_wstring(field - 1) + L" specifies " + specifies +
                L" Value received was: '" + context.parameter(field) + L"'.");
}

void reply_string_result(const CommandContext& context, Value* result) {
  if (is_string(result)) return context.reply(L"SUCCESS: " + text_of(result));
  context.reply(
      L"ERROR: ExecuteMaxScriptFile: Requested a return string, but the script did not return a string. Value "
      L"received was: '" +
      text_of(result) + L"'.");
}

}  // namespace

void ExecuteStringScriptCommand(const CommandContext& context) {
  // Fields past the script text (an unquoted comma in the script) are ignored.
  if (context.parameter_count() < 2) return context.reply_count_error("ExecuteScript", "2 parameters");
  const auto frame = parse_int32(context.parameter(1));
  if (!frame)
    return context.reply(L"ERROR: ExecuteScript: Parameter 1 , \"" + context.parameter(1) +
                         L"\", is not a valid frame number.");
  context.state.currentFrame = *frame;
  context.reply(L"STARTED");

  diag::log_line("Executing script... ");
  mxs::frame<1> kept;
  Value*& result = kept.link();
  {
    mxs::string_script script(context.parameter(2), MAXScript::ScriptSource::Dynamic);
    result = script.eval();
  }
  diag::log_line("... Done Executing script ");

  if (is_string(result)) return context.reply(L"SUCCESS: " + text_of(result));
  context.reply(L"ERROR: Script did not return a string: " + text_of(result));
}

void ExecuteMaxScriptFileCommand(const CommandContext& context) {
  context.reply(L"STARTED");
  if (context.parameter_count() < 4) return context.reply_count_error("ExecuteMaxScriptFile", "4 parameters");
  // Used as received: the host's file layer takes forward slashes as they come.
  const std::wstring& script_file = context.parameter(1);

  const auto set_frame = parse_flag(context.parameter(2));
  if (!set_frame)
    return reply_unreadable(context, 2, L"whether or not to set the current frame. It must be 'true' or 'false'.");
  // Checked even when it is not used, so a malformed command fails the same way either way.
  const auto frame = parse_int32(context.parameter(3));
  if (!frame)
    return reply_unreadable(context, 3,
                            L"the current frame (it is ignored if parameter 1 is false). This value must be an "
                            L"integer.");
  const auto return_string = parse_flag(context.parameter(4));
  if (!return_string)
    return reply_unreadable(context, 4,
                            L"whether or not the value of the script's execution is returned as a string. It must "
                            L"be 'true' or 'false'.");

  if (*set_frame) {
    const auto time = frame_time(*frame);
    if (!time)
      return context.reply("ERROR: ExecuteMaxScriptFile: Frame " + format_number(*frame) + " at " +
                           format_number(std::int32_t{GetTicksPerFrame()}) +
                           " ticks per frame lies outside the scene's time range.");
    set_scene_time(context.state, *frame, *time);
  }

  diag::log_line("Executing script " + to_string(script_file));
  mxs::frame<1> kept;
  Value*& result = kept.link();
  result = mxs::file_in(script_file);
  diag::log_line("Done Executing script " + to_string(script_file));

  if (*return_string) return reply_string_result(context, result);
  reply_success_check(context, result);
}

}  // namespace paravelle::daemon
