#include "transport/number_format.h"

#include <cstdio>
#include <locale>
#include <sstream>

namespace paravelle {
namespace {

template <typename Char, typename T>
std::basic_string<Char> classic_format(const T& value) {
  std::basic_ostringstream<Char> stream;
  stream.imbue(std::locale::classic());
  stream << value;
  return stream.str();
}

}  // namespace

std::string format_number(std::int32_t value) { return classic_format<char>(value); }
std::string format_number(long value) { return classic_format<char>(value); }
std::string format_number(unsigned long value) { return classic_format<char>(value); }
std::string format_number(unsigned long long value) { return classic_format<char>(value); }
std::string format_number(float value) { return classic_format<char>(value); }

std::wstring format_wide_number(std::int32_t value) { return classic_format<wchar_t>(value); }
std::wstring format_wide_number(float value) { return classic_format<wchar_t>(value); }
std::wstring format_wide_number(unsigned long long value) { return classic_format<wchar_t>(value); }
std::wstring format_wide_bool(bool value) { return classic_format<wchar_t>(value); }

std::string format_pointer(const void* pointer) {
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llX",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)));
  return digits;
}

}  // namespace paravelle
