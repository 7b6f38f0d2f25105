#pragma once
// Helpers shared by the runtime's files: printed forms and conversion errors.

#include <cstddef>
#include <string>

#include "host/maxscript_runtime.h"

namespace paravelle::host::script {

// The longest text a script can make (by `+`, `format`, `as string`, printing): past it a
// loop that doubles a string, or an array that holds itself twice over, would take all
// memory before it ended.
constexpr std::size_t kMaximumStringLength = std::size_t{1} << 24;

// Throws RuntimeError("String too long: ...") when `length` is past the limit.
void check_string_length(std::size_t length, int line = 0);

// The most elements an array may hold: `a[n] = v` grows an array to n elements at once.
constexpr std::size_t kMaximumArrayLength = std::size_t{1} << 24;
void check_array_length(std::size_t length, int line = 0);

// Arrays print this many elements and then "...", unless options.printAllElements is on.
constexpr std::size_t kPrintedElements = 20;

// sprin1 and sprint of a value as text; a text past the limit is a RuntimeError.
std::wstring print_form(Value* value);
std::wstring display_form(Value* value);

// "Unable to convert: <printed value> to type: <type>", an error of the language's own
// kind. (Value::to_string and to_bool, which the plug-in calls, raise the same text as a
// plain runtime error, as they always did.)
[[noreturn]] void throw_conversion_error(Value* value, const wchar_t* type, int line = 0);

// The printed form of a floating-point number (1.0, 2.5, 0.333333, 1e+20).
std::wstring format_float(double value);

// Lower-cased copy, for the language's case-insensitive names.
std::wstring fold_case(std::wstring_view text);

}  // namespace paravelle::host::script
