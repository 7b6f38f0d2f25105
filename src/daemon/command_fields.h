#pragma once
// A command as the farm sends it: comma-separated fields, double quotes around commas
// that belong to a field, backslash escapes (\n, \\, \").

#include <optional>
#include <string>
#include <vector>

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

}  // namespace paravelle::daemon
