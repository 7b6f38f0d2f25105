#pragma once
// Conversions between the three kinds of text the plug-in handles: wide text (UTF-16
// units), narrow text in the ANSI code page, and UTF-8 message bytes.

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace paravelle {

// The ANSI code page (Windows-1252 where the system has no ANSI code page of its own).
constexpr unsigned kCodePageAnsi = 0;
constexpr unsigned kCodePageUtf8 = 65001;

// Raise utfcpp's exceptions on malformed input (the same classes, for the same inputs, as
// its checked converters); never substitute characters. Where wide text has 32-bit units,
// a unit above U+FFFF is taken as the character it names, never cut to 16 bits.
std::string to_utf8(const std::wstring& text);
std::wstring from_utf8(std::string_view bytes);

// Never raise: a conversion that fails yields the fallback text.
std::string to_string(const std::wstring& text);
std::wstring to_wstring(const std::string& text);

// A code-page conversion the system refused. The text names the converter and quotes the
// system's error number; the exception keeps the number as data, like the socket's errors.
class conversion_error : public std::runtime_error {
 public:
  conversion_error(const std::string& text, std::error_code code) : std::runtime_error(text), code_(code) {}
  const std::error_code& code() const noexcept { return code_; }

 private:
  std::error_code code_;
};

// The underlying converters. The text ends at its first NUL. Without a fallback, a
// failure raises conversion_error with the converter's name and the error code.
std::string convert_wide_string_to_multibyte(const wchar_t* text, unsigned code_page,
                                             const std::optional<std::string>& fallback = std::nullopt);
std::wstring convert_multibyte_to_wide_string(const char* text, unsigned code_page,
                                              const std::optional<std::wstring>& fallback = std::nullopt);

}  // namespace paravelle
