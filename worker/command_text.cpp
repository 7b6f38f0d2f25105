#include "worker/command_text.h"

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

}  // namespace paravelle::worker
