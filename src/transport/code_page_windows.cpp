// The code-page converters on Windows: the system's own, asked for the length first and
// then for the text, so the result ends at the text's first NUL as the system sees it.

#include "transport/text.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <cwchar>

namespace paravelle {
namespace {

// Called right after the failed call, before anything else can change the thread's last error.
template <class Text>
Text fallback_or_raise(const std::optional<Text>& fallback, const char* converter) {
  const DWORD error = ::GetLastError();
  if (fallback) return *fallback;
  throw conversion_error(std::string(converter) + " Error code: " + std::to_string(error),
                         std::error_code(static_cast<int>(error), std::system_category()));
}

}  // namespace

std::string convert_wide_string_to_multibyte(const wchar_t* text, unsigned code_page,
                                             const std::optional<std::string>& fallback) {
  if (!text) return {};
  const char* const name = "convert_wide_string_to_multibyte";
  const int length = ::WideCharToMultiByte(code_page, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length < 1) return fallback_or_raise(fallback, name);
  std::string buffer(static_cast<std::size_t>(length) + 1, '\0');
  if (::WideCharToMultiByte(code_page, 0, text, -1, buffer.data(), length + 1, nullptr, nullptr) < 1)
    return fallback_or_raise(fallback, name);
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

std::wstring convert_multibyte_to_wide_string(const char* text, unsigned code_page,
                                              const std::optional<std::wstring>& fallback) {
  if (!text) return {};
  const char* const name = "convert_multibyte_to_wide_string";
  const int length = ::MultiByteToWideChar(code_page, 0, text, -1, nullptr, 0);
  if (length < 1) return fallback_or_raise(fallback, name);
  std::wstring buffer(static_cast<std::size_t>(length) + 1, L'\0');
  if (::MultiByteToWideChar(code_page, 0, text, -1, buffer.data(), length + 1) < 1)
    return fallback_or_raise(fallback, name);
  buffer.resize(std::wcslen(buffer.c_str()));
  return buffer;
}

}  // namespace paravelle
