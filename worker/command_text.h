// Building command texts the node splits correctly: fields are separated by commas, a double
// quote toggles quoting, and a backslash escapes only n, backslash and double quote.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace paravelle::worker {

// One field, quoted or escaped only where it must be, so that the node reads back exactly `text`.
std::string command_field(std::string_view text);
// word,field1,field2 ... with every field encoded by command_field.
std::string command_text(std::string_view word, const std::vector<std::string>& fields);

// Every field of a command text as the node reads it: quotes dropped, escapes resolved
// (\\, \", \, and \n). Throws std::invalid_argument for a text the node cannot split, which
// would end the node's session: another escape ("unknown escape sequence \x"), or a backslash
// at the end. An empty text has no fields.
std::vector<std::string> split_command_fields(std::string_view text);
// The first field alone; only the text up to the end of that field must be readable.
std::string first_command_field(std::string_view text);

}  // namespace paravelle::worker
