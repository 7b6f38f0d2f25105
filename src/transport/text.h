#pragma once
// Conversions between the three kinds of text the plug-in handles: wide text (UTF-16
// units), narrow text in the ANSI code page, and UTF-8 message bytes.

#include <optional>
#include <string>

namespace paravelle {

// The ANSI code page (Windows-1252 where the system has no ANSI code page of its own).
constexpr unsigned code_page_ansi = 0;
constexpr unsigned code_page_utf8 = 65001;

// Wide text as UTF-16 units. Where wchar_t has 32 bits, wide text that did not come from
// these conversions (a wide literal, a file-system name) can hold a character above U+FFFF
// as one unit: it becomes its surrogate pair, and a unit above U+10FFFF, which is no
// character, becomes U+FFFD. Text that is UTF-16 already comes back as it is.
std::wstring to_utf16_units(std::wstring text);

// Raise utfcpp's exceptions on malformed input; never substitute characters (a unit
// above U+10FFFF raises utf8::invalid_utf16, one above U+FFFF is its surrogate pair).
std::string to_utf8(const std::wstring& text);
std::wstring from_utf8(const std::string& bytes);

// Never raise: a conversion that fails yields the fallback text.
std::string to_string(const std::wstring& text);
std::wstring to_wstring(const std::string& text);

// The underlying converters. The text ends at its first NUL. Without a fallback, a
// failure raises std::runtime_error with the converter's name and the error code.
std::string convert_wide_string_to_multibyte(const wchar_t* text, unsigned code_page,
                                             const std::optional<std::string>& fallback = std::nullopt);
std::wstring convert_multibyte_to_wide_string(const char* text, unsigned code_page,
                                              const std::optional<std::wstring>& fallback = std::nullopt);

}  // namespace paravelle
