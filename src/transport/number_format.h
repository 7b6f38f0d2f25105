#pragma once
// Numbers as they appear inside messages and log lines: classic locale, plain decimal
// without grouping, floats in the general format with six significant digits.

#include <cstdint>
#include <string>

namespace paravelle {

std::string format_number(std::int32_t value);
std::string format_number(long value);
std::string format_number(unsigned long value);
std::string format_number(unsigned long long value);
std::string format_number(float value);

std::wstring format_wide_number(std::int32_t value);
std::wstring format_wide_number(float value);
std::wstring format_wide_number(unsigned long long value);
std::wstring format_wide_bool(bool value);

// A pointer as the host's logs show it: 16 upper-case hexadecimal digits, no prefix.
std::string format_pointer(const void* pointer);

}  // namespace paravelle
