#include "daemon/command_fields.h"

#include <algorithm>

#include <boost/lexical_cast.hpp>
#include <boost/tokenizer.hpp>

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

}  // namespace paravelle::daemon
