#pragma once
// What a command handler works with: the command's fields, the job state, where its
// replies go, and the farm connection a running job talks on. A command comes as the farm
// sends it: comma-separated fields, double quotes around commas that belong to a field,
// backslash escapes (\n, \\, \").

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "daemon/command_replies.h"
#include "job/job_state.h"
#include "transport/simple_socket.h"

namespace paravelle::daemon {

using CommandFields = std::vector<std::wstring>;

// Splits a command text; raises boost::escaped_list_error ("unknown escape sequence",
// "cannot end with escape") for a malformed text. An empty text has no fields.
CommandFields split_command(const std::wstring& text);

// Parameter parsing: the whole field must be the number, nothing before or after.
std::optional<std::int32_t> parse_int32(const std::wstring& field);
std::optional<float> parse_float(const std::wstring& field);
// "1" or "0" (leading zeros and "+" allowed, "-" only before zero).
std::optional<bool> parse_bool(const std::wstring& field);

// Every forward slash as a backslash: the farm sends paths with '/' because '\' is
// the escape character of the command syntax.
std::wstring with_backslashes(std::wstring path);

struct CommandContext {
  job::JobState& state;
  const CommandFields& fields;
  CommandReplies& replies;
  // The renderer and the scripts of a job report on it while the command runs; only the
  // command's own replies go through `replies`.
  win32::simple_socket& connection;

  std::size_t parameter_count() const { return fields.empty() ? 0 : fields.size() - 1; }
  // Parameter i counts from 1, as the replies name them.
  const std::wstring& parameter(std::size_t i) const { return fields.at(i); }

  void reply(const std::wstring& text) const;
  void reply(const std::string& narrow_text) const;
  // "ERROR: <command>: Expected <n> parameter(s), got <count>"
  void reply_count_error(const char* command, const char* expected) const;
};

// Writes one log entry about a command's settings.
void log_setting(const std::string& text);

}  // namespace paravelle::daemon
