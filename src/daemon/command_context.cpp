#include "daemon/command_context.h"

#include "diag/log_file.h"
#include "transport/number_format.h"
#include "transport/text.h"

namespace paravelle::daemon {

void CommandContext::reply(const std::wstring& text) const { replies.send(text); }

void CommandContext::reply(const std::string& narrow_text) const { replies.send(to_wstring(narrow_text)); }

void CommandContext::reply_count_error(const char* command, const char* expected) const {
  reply(std::string("ERROR: ") + command + ": Expected " + expected + ", got " +
        format_number(static_cast<std::int32_t>(parameter_count())));
}

void log_setting(const std::string& text) { diag::log_line(text); }

}  // namespace paravelle::daemon
