#pragma once
// Helpers shared by the runtime's files: printed forms and conversion errors.

#include <string>

#include "host/maxscript_runtime.h"

namespace host::script {

// sprin1 and sprint of a value as text.
std::wstring print_form(Value* value);
std::wstring display_form(Value* value);

// "Unable to convert: <printed value> to type: <type>"
[[noreturn]] void throw_conversion_error(Value* value, const wchar_t* type, int line = 0);

// The printed form of a floating-point number (1.0, 2.5, 0.333333, 1e+20).
std::wstring format_float(double value);

// Lower-cased copy, for the language's case-insensitive names.
std::wstring fold_case(std::wstring_view text);

}  // namespace host::script
