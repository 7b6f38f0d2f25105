#pragma once
// What a command handler works with: the job state, the command's fields, where its
// replies go, and the farm connection a running job talks on.

#include <string>

#include "daemon/command_fields.h"
#include "daemon/command_replies.h"
#include "job/job_state.h"
#include "transport/simple_socket.h"

namespace paravelle::daemon {

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
