#include "transport/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include <utf8.h>

namespace paravelle {
namespace {

// Plain ASCII goes sixteen characters at a time: one test and one copy of a block.
constexpr std::size_t ascii_block = 16;

#if defined(__SSE2__) || defined(_M_X64)

// Copies sixteen units to sixteen bytes when all of them are ASCII.
bool copy_ascii_block(const wchar_t* units, char* out) {
  __m128i vectors[ascii_block * sizeof(wchar_t) / 16];
  std::memcpy(vectors, units, sizeof vectors);
  __m128i bits = vectors[0];
  for (const __m128i& v : vectors) bits = _mm_or_si128(bits, v);
  const __m128i not_ascii = sizeof(wchar_t) == 4 ? _mm_set1_epi32(~0x7F) : _mm_set1_epi16(static_cast<short>(0xFF80));
  const __m128i zero = _mm_setzero_si128();
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(bits, not_ascii), zero)) != 0xFFFF) return false;
  __m128i low, high;
  if constexpr (sizeof(wchar_t) == 4) {
    low = _mm_packs_epi32(vectors[0], vectors[1]);
    high = _mm_packs_epi32(vectors[2], vectors[3]);
  } else {
    low = vectors[0];
    high = vectors[1];
  }
  const __m128i bytes = _mm_packus_epi16(low, high);
  std::memcpy(out, &bytes, ascii_block);
  return true;
}

// Widens sixteen bytes to sixteen units when all of them are ASCII.
bool copy_ascii_block(const unsigned char* in, wchar_t* out) {
  __m128i bytes;
  std::memcpy(&bytes, in, ascii_block);
  if (_mm_movemask_epi8(bytes) != 0) return false;
  const __m128i zero = _mm_setzero_si128();
  const __m128i halves[2] = {_mm_unpacklo_epi8(bytes, zero), _mm_unpackhi_epi8(bytes, zero)};
  if constexpr (sizeof(wchar_t) == 4) {
    const __m128i words[4] = {_mm_unpacklo_epi16(halves[0], zero), _mm_unpackhi_epi16(halves[0], zero),
                              _mm_unpacklo_epi16(halves[1], zero), _mm_unpackhi_epi16(halves[1], zero)};
    std::memcpy(out, words, sizeof words);
  } else {
    std::memcpy(out, halves, sizeof halves);
  }
  return true;
}

#else

bool copy_ascii_block(const wchar_t* units, char* out) {
  std::uint32_t bits = 0;
  for (std::size_t k = 0; k < ascii_block; ++k) bits |= static_cast<std::uint32_t>(units[k]);
  if (bits >= 0x80) return false;
  for (std::size_t k = 0; k < ascii_block; ++k) out[k] = static_cast<char>(units[k]);
  return true;
}

bool copy_ascii_block(const unsigned char* in, wchar_t* out) {
  unsigned bits = 0;
  for (std::size_t k = 0; k < ascii_block; ++k) bits |= in[k];
  if (bits >= 0x80) return false;
  for (std::size_t k = 0; k < ascii_block; ++k) out[k] = static_cast<wchar_t>(in[k]);
  return true;
}

#endif

bool is_lead_surrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_trail_surrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
bool is_trail_byte(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The character that the units at text[i] stand for; i moves past them.
char32_t next_character(const std::wstring& text, std::size_t& i) {
  const auto unit = static_cast<std::uint32_t>(text[i++]);
  if (unit > 0xFFFF) {
    if (unit > 0x10FFFF) throw utf8::invalid_utf16(static_cast<std::uint16_t>(unit));
    return unit;
  }
  if (is_trail_surrogate(unit)) throw utf8::invalid_utf16(static_cast<std::uint16_t>(unit));
  if (!is_lead_surrogate(unit)) return unit;
  if (i == text.size()) throw utf8::invalid_utf16(static_cast<std::uint16_t>(unit));
  const auto trail = static_cast<std::uint32_t>(text[i++]);
  if (!is_trail_surrogate(trail)) throw utf8::invalid_utf16(static_cast<std::uint16_t>(trail));
  return ((unit - 0xD800) << 10) + (trail - 0xDC00) + 0x10000;
}

char* append_utf8(char32_t c, char* out) {
  if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  }
  *out++ = static_cast<char>(0x80 | (c & 0x3F));
  return out;
}

// The character of the multi-byte sequence at in[i]; i moves past it. The checks and their
// order are utfcpp's: lead byte, then each trail byte (room first), then the code point,
// then the shortest form.
char32_t next_code_point(const unsigned char* in, std::size_t size, std::size_t& i) {
  const unsigned char lead = in[i];
  int length;
  char32_t c;
  if ((lead >> 5) == 0x6) {
    length = 2;
    c = lead & 0x1F;
  } else if ((lead >> 4) == 0xE) {
    length = 3;
    c = lead & 0x0F;
  } else if ((lead >> 3) == 0x1E) {
    length = 4;
    c = lead & 0x07;
  } else {
    throw utf8::invalid_utf8(lead);
  }
  for (int k = 1; k < length; ++k) {
    if (i + k >= size) throw utf8::not_enough_room();
    if (!is_trail_byte(in[i + k])) throw utf8::invalid_utf8(lead);
    c = (c << 6) | (in[i + k] & 0x3F);
  }
  if (c > 0x10FFFF || is_lead_surrogate(c) || is_trail_surrogate(c)) throw utf8::invalid_code_point(c);
  const int shortest = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  if (length != shortest) throw utf8::invalid_utf8(lead);
  i += static_cast<std::size_t>(length);
  return c;
}

}  // namespace

// One pass straight between the units and the bytes: a 60 KB message is converted once,
// into a buffer sized for plain ASCII that grows only when a character needs more bytes.
std::string to_utf8(const std::wstring& text) {
  const std::size_t size = text.size();
  std::string bytes(size, '\0');
  char* out = bytes.data();
  const wchar_t* const units = text.data();
  for (std::size_t i = 0; i < size;) {
    if (i + ascii_block <= size && copy_ascii_block(units + i, out)) {
      out += ascii_block;
      i += ascii_block;
      continue;
    }
    const auto unit = static_cast<std::uint32_t>(units[i]);
    if (unit < 0x80) {
      *out++ = static_cast<char>(unit);
      ++i;
      continue;
    }
    const char32_t c = next_character(text, i);
    // Room for this character's four bytes at most, and one byte for each unit left.
    const std::size_t written = static_cast<std::size_t>(out - bytes.data());
    const std::size_t needed = written + 4 + (size - i);
    if (needed > bytes.size()) {
      bytes.resize(std::max(needed, bytes.size() * 2));
      out = bytes.data() + written;
    }
    out = append_utf8(c, out);
  }
  bytes.resize(static_cast<std::size_t>(out - bytes.data()));
  return bytes;
}

// Never more units than bytes: a four-byte sequence becomes a pair of units.
std::wstring from_utf8(std::string_view bytes) {
  const std::size_t size = bytes.size();
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::wstring text(size, L'\0');
  wchar_t* out = text.data();
  for (std::size_t i = 0; i < size;) {
    if (i + ascii_block <= size && copy_ascii_block(in + i, out)) {
      out += ascii_block;
      i += ascii_block;
      continue;
    }
    if (in[i] < 0x80) {
      *out++ = static_cast<wchar_t>(in[i++]);
      continue;
    }
    const char32_t c = next_code_point(in, size, i);
    if (c < 0x10000) {
      *out++ = static_cast<wchar_t>(c);
    } else {
      *out++ = static_cast<wchar_t>(0xD7C0 + (c >> 10));
      *out++ = static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    }
  }
  text.resize(static_cast<std::size_t>(out - text.data()));
  return text;
}

std::string to_string(const std::wstring& text) {
  return convert_wide_string_to_multibyte(text.c_str(), code_page_ansi, std::string("<error:to_string>"));
}

std::wstring to_wstring(const std::string& text) {
  return convert_multibyte_to_wide_string(text.c_str(), code_page_ansi, std::wstring(L"<error:to_wstring>"));
}

}  // namespace paravelle
