#include "daemon/command_context.h"

#include <algorithm>

#include <boost/lexical_cast.hpp>
#include <boost/tokenizer.hpp>

#include "diag/log_file.h"
#include "transport/number_format.h"
#include "transport/text.h"

namespace paravelle::daemon {
namespace {

template <typename T>
std::optional<T> parse(const std::wstring& field) {
  try {
    return boost::lexical_cast<T>(field);
  } catch (const boost::bad_lexical_cast&) {
    return std::nullopt;
  }
}

}  // namespace

CommandFields split_command(const std::wstring& text) {
  using Separator = boost::escaped_list_separator<wchar_t>;
  const boost::tokenizer<Separator, std::wstring::const_iterator, std::wstring> tokens(text,
                                                                                       Separator(L'\\', L',', L'"'));
  return CommandFields(tokens.begin(), tokens.end());
}

std::optional<std::int32_t> parse_int32(const std::wstring& field) { return parse<std::int32_t>(field); }
std::optional<float> parse_float(const std::wstring& field) { return parse<float>(field); }
std::optional<bool> parse_bool(const std::wstring& field) { return parse<bool>(field); }

std::wstring with_backslashes(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

void CommandContext::reply(const std::wstring& text) const { replies.send(text); }

void CommandContext::reply(const std::string& narrow_text) const { replies.send(to_wstring(narrow_text)); }

void CommandContext::reply_count_error(const char* command, const char* expected) const {
  reply(std::string("ERROR: ") + command + ": Expected " + expected + ", got " +
        format_number(static_cast<std::int32_t>(parameter_count())));
}

void log_setting(const std::string& text) { diag::log_line(text); }

}  // namespace paravelle::daemon
