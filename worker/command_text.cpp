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

namespace {

// Reads fields the way the node's tokenizer does; stops after the first field when `first_only`.
std::vector<std::string> read_fields(std::string_view text, bool first_only) {
  std::vector<std::string> fields;
  if (text.empty()) return fields;
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
      fields.push_back(std::move(field));
      field.clear();
      if (first_only) return fields;
    } else {
      field += c;
    }
  }
  fields.push_back(std::move(field));
  return fields;
}

}  // namespace

std::vector<std::string> split_command_fields(std::string_view text) { return read_fields(text, false); }

std::string first_command_field(std::string_view text) {
  auto fields = read_fields(text, true);
  return fields.empty() ? std::string() : std::move(fields.front());
}

}  // namespace paravelle::worker
