#include "worker/command_text.h"

#include <stdexcept>

namespace paravelle::worker {

std::string command_field(std::string_view text) {
  std::string field;
  bool needs_quotes = false;
  for (const char c : text) {
    switch (c) {
      case '\\': field += "\\\\"; break;
      case '"': field += "\\\""; break;
      case '\n': field += "\\n"; break;
      case ',':
        needs_quotes = true;
        field += c;
        break;
      default: field += c;
    }
  }
  return needs_quotes ? "\"" + field + "\"" : field;
}

std::string command_text(std::string_view word, const std::vector<std::string>& fields) {
  std::string text(word);
  for (const auto& field : fields) text += "," + command_field(field);
  return text;
}

std::string first_command_field(std::string_view text) {
  std::string field;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      if (++i == text.size()) throw std::invalid_argument("the command text ends with a backslash");
      const char escaped = text[i];
      if (escaped == 'n')
        field += '\n';
      else if (escaped == '\\' || escaped == '"' || escaped == ',')
        field += escaped;
      else
        throw std::invalid_argument(std::string("unknown escape sequence \\") + escaped);
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      break;
    } else {
      field += c;
    }
  }
  return field;
}

}  // namespace paravelle::worker
