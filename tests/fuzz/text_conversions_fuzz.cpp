// The text conversions, fed raw bytes: as UTF-8 message bytes, as UTF-16 units and as
// narrow text. Round trips must hold wherever the conversion is defined, and malformed
// input must raise utfcpp's exceptions, never come out changed.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <typeinfo>

#include <utf8.h>

#include "fuzz_check.h"
#include "transport/text.h"

namespace {

using namespace paravelle;

// The type of utfcpp's exception a conversion raised, or "none".
template <class Conversion>
std::string raised_by(Conversion&& conversion) {
  try {
    conversion();
  } catch (const utf8::exception& error) {
    return typeid(error).name();
  }
  return "none";
}

// Our one-pass converters must agree with utfcpp's checked ones: same text, or the same
// exception for the same input.
void utf8_round_trip(const std::string& bytes) {
  std::u16string reference;
  const std::string reference_raised =
      raised_by([&] { utf8::utf8to16(bytes.begin(), bytes.end(), std::back_inserter(reference)); });
  std::wstring wide;
  FUZZ_CHECK(raised_by([&] { wide = from_utf8(bytes); }) == reference_raised);
  if (reference_raised != "none") {
    FUZZ_CHECK(!utf8::is_valid(bytes.begin(), bytes.end()));
    return;
  }
  FUZZ_CHECK(std::wstring(reference.begin(), reference.end()) == wide);
  for (wchar_t unit : wide) FUZZ_CHECK(static_cast<std::uint32_t>(unit) <= 0xFFFF);
  FUZZ_CHECK(to_utf8(wide) == bytes);
}

bool is_valid_utf16(const std::u16string& units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 == units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

void utf16_round_trip(const std::u16string& units) {
  const std::wstring wide(units.begin(), units.end());
  std::string reference;
  const std::string reference_raised =
      raised_by([&] { utf8::utf16to8(units.begin(), units.end(), std::back_inserter(reference)); });
  std::string bytes;
  FUZZ_CHECK(raised_by([&] { bytes = to_utf8(wide); }) == reference_raised);
  if (reference_raised != "none") {
    FUZZ_CHECK(!is_valid_utf16(units));
    return;
  }
  FUZZ_CHECK(bytes == reference);
  FUZZ_CHECK(is_valid_utf16(units));
  FUZZ_CHECK(from_utf8(bytes) == wide);
}

void ansi_round_trips(const std::string& narrow, const std::u16string& units) {
  // Every byte of the code page stands for one character and comes back as itself; the
  // text ends at its first NUL.
  const std::string until_nul = narrow.substr(0, narrow.find('\0'));
  const std::wstring widened = to_wstring(narrow);
  FUZZ_CHECK(widened.size() == until_nul.size());
  FUZZ_CHECK(to_string(widened) == until_nul);

  // Wide text narrows to one byte per character: itself where the code page has it, the
  // default character where it has not.
  const std::wstring wide(units.begin(), units.end());
  const std::string narrowed = to_string(wide);
  const std::wstring back = to_wstring(narrowed);
  FUZZ_CHECK(back.size() <= wide.size());
  std::size_t i = 0;
  for (wchar_t c : back) {
    FUZZ_CHECK(i < wide.size());
    FUZZ_CHECK(c == L'?' || c == wide[i]);
    const bool pair =
        wide[i] >= 0xD800 && wide[i] <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF;
    i += pair ? 2 : 1;
  }

  // The system's UTF-8 code page never fails: it replaces what it cannot convert, and what
  // it gives is valid both ways.
  const std::wstring lenient = convert_multibyte_to_wide_string(narrow.c_str(), kCodePageUtf8);
  FUZZ_CHECK(from_utf8(to_utf8(lenient)) == lenient);
  const std::string lenient_bytes = convert_wide_string_to_multibyte(wide.c_str(), kCodePageUtf8);
  FUZZ_CHECK(utf8::is_valid(lenient_bytes.begin(), lenient_bytes.end()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2) units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  utf8_round_trip(bytes);
  utf16_round_trip(units);
  ansi_round_trips(bytes, units);
  return 0;
}
