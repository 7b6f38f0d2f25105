#include "transport/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif
// Where wide text has 32-bit units and the compiler can build one function for a later
// instruction set, AVX2 takes twice the units per step as SSE2 when the processor has it.
// Not on Windows: there MinGW's GCC keeps 256-bit registers on a stack it does not align.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#define PARAVELLE_TEXT_AVX2 1
#include <immintrin.h>
#endif

#include <utf8.h>

namespace paravelle {
namespace {

// Plain ASCII runs are copied a register at a time (sixteen units with SSE2, which every
// x86-64 processor has, thirty-two with AVX2 where it is used; eight bytes at a time
// elsewhere), tested for a unit above 0x7F as they go. Each returns how many units at the
// start of in[0, count) were ASCII and copied.

#if defined(PARAVELLE_TEXT_AVX2)

static_assert(sizeof(wchar_t) == 4);

// Thirty-two units a step; the rest, from the first step holding a unit above 0x7F on, is
// left to the SSE2 loop.
__attribute__((target("avx2"))) std::size_t copy_ascii_blocks_avx2(const wchar_t* in, std::size_t count, char* out) {
  std::size_t k = 0;
  const __m256i high_bits = _mm256_set1_epi32(~0x7F);
  // The packs work within each 128-bit lane; this puts the four-byte groups back in order.
  const __m256i lane_order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (; k + 32 <= count; k += 32) {
    const auto* block = reinterpret_cast<const __m256i*>(in + k);
    const __m256i a = _mm256_loadu_si256(block), b = _mm256_loadu_si256(block + 1);
    const __m256i c = _mm256_loadu_si256(block + 2), d = _mm256_loadu_si256(block + 3);
    if (!_mm256_testz_si256(_mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d)), high_bits)) break;
    const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), _mm256_permutevar8x32_epi32(bytes, lane_order));
  }
  return k;
}

__attribute__((target("avx2"))) std::size_t copy_ascii_blocks_avx2(const unsigned char* in, std::size_t count,
                                                                   wchar_t* out) {
  std::size_t k = 0;
  for (; k + 32 <= count; k += 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + k));
    if (_mm256_movemask_epi8(bytes) != 0) break;
    const __m128i low = _mm256_castsi256_si128(bytes), high = _mm256_extracti128_si256(bytes, 1);
    auto* units = reinterpret_cast<__m256i*>(out + k);
    _mm256_storeu_si256(units, _mm256_cvtepu8_epi32(low));
    _mm256_storeu_si256(units + 1, _mm256_cvtepu8_epi32(_mm_srli_si128(low, 8)));
    _mm256_storeu_si256(units + 2, _mm256_cvtepu8_epi32(high));
    _mm256_storeu_si256(units + 3, _mm256_cvtepu8_epi32(_mm_srli_si128(high, 8)));
  }
  return k;
}

// A conversion made before this is set (another file's static initialiser) takes SSE2 alone,
// with the same result.
const bool processor_has_avx2 = __builtin_cpu_supports("avx2");

template <class In, class Out>
std::size_t copy_ascii_blocks(const In* in, std::size_t count, Out* out) {
  return processor_has_avx2 ? copy_ascii_blocks_avx2(in, count, out) : 0;
}

#else

template <class In, class Out>
std::size_t copy_ascii_blocks(const In*, std::size_t, Out*) {
  return 0;
}

#endif

#if defined(__SSE2__) || defined(_M_X64)

std::size_t copy_ascii_run(const wchar_t* in, std::size_t count, char* out) {
  std::size_t k = copy_ascii_blocks(in, count, out);
  const __m128i zero = _mm_setzero_si128();
  for (; k + 16 <= count; k += 16) {
    const auto* block = reinterpret_cast<const __m128i*>(in + k);
    __m128i bytes;
    if constexpr (sizeof(wchar_t) == 4) {
      const __m128i a = _mm_loadu_si128(block), b = _mm_loadu_si128(block + 1);
      const __m128i c = _mm_loadu_si128(block + 2), d = _mm_loadu_si128(block + 3);
      const __m128i high = _mm_and_si128(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)), _mm_set1_epi32(~0x7F));
      if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, zero)) != 0xFFFF) break;
      bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
    } else {
      const __m128i a = _mm_loadu_si128(block), b = _mm_loadu_si128(block + 1);
      const __m128i high = _mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi16(static_cast<short>(0xFF80)));
      if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, zero)) != 0xFFFF) break;
      bytes = _mm_packus_epi16(a, b);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), bytes);
  }
  for (; k < count && static_cast<std::uint32_t>(in[k]) < 0x80; ++k) out[k] = static_cast<char>(in[k]);
  return k;
}

std::size_t copy_ascii_run(const unsigned char* in, std::size_t count, wchar_t* out) {
  std::size_t k = copy_ascii_blocks(in, count, out);
  const __m128i zero = _mm_setzero_si128();
  for (; k + 16 <= count; k += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k));
    if (_mm_movemask_epi8(bytes) != 0) break;
    const __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
    auto* units = reinterpret_cast<__m128i*>(out + k);
    if constexpr (sizeof(wchar_t) == 4) {
      _mm_storeu_si128(units, _mm_unpacklo_epi16(low, zero));
      _mm_storeu_si128(units + 1, _mm_unpackhi_epi16(low, zero));
      _mm_storeu_si128(units + 2, _mm_unpacklo_epi16(high, zero));
      _mm_storeu_si128(units + 3, _mm_unpackhi_epi16(high, zero));
    } else {
      _mm_storeu_si128(units, low);
      _mm_storeu_si128(units + 1, high);
    }
  }
  for (; k < count && in[k] < 0x80; ++k) out[k] = static_cast<wchar_t>(in[k]);
  return k;
}

#else

std::size_t copy_ascii_run(const wchar_t* in, std::size_t count, char* out) {
  std::size_t k = 0;
  for (; k + 8 <= count; k += 8) {
    std::uint32_t bits = 0;
    for (std::size_t j = 0; j < 8; ++j) bits |= static_cast<std::uint32_t>(in[k + j]);
    if (bits >= 0x80) break;
    for (std::size_t j = 0; j < 8; ++j) out[k + j] = static_cast<char>(in[k + j]);
  }
  for (; k < count && static_cast<std::uint32_t>(in[k]) < 0x80; ++k) out[k] = static_cast<char>(in[k]);
  return k;
}

std::size_t copy_ascii_run(const unsigned char* in, std::size_t count, wchar_t* out) {
  std::size_t k = 0;
  for (; k + 8 <= count; k += 8) {
    std::uint64_t word;
    std::memcpy(&word, in + k, sizeof word);
    if (word & 0x8080808080808080u) break;
    for (std::size_t j = 0; j < 8; ++j) out[k + j] = static_cast<wchar_t>(in[k + j]);
  }
  for (; k < count && in[k] < 0x80; ++k) out[k] = static_cast<wchar_t>(in[k]);
  return k;
}

#endif

// The result grows through a small buffer on the stack that is appended whenever it fills:
// it is reserved once and never zero-filled first (a 60 KB message in 32-bit wide units
// would otherwise cost a 240 KB memset before a unit was converted).
template <class Unit>
class staged_output {
 public:
  static constexpr std::size_t kCapacity = 4096 / sizeof(Unit) * 2;

  explicit staged_output(std::basic_string<Unit>& result) : result_(result) {}
  Unit* start() { return buffer_; }
  // Where `count` units may be written, from `cursor` on or after a flush.
  Unit* room_for(std::size_t count, Unit* cursor) {
    if (cursor + count <= buffer_ + kCapacity) return cursor;
    finish(cursor);
    return buffer_;
  }
  std::size_t space(const Unit* cursor) const { return static_cast<std::size_t>(buffer_ + kCapacity - cursor); }
  void finish(const Unit* cursor) { result_.append(buffer_, static_cast<std::size_t>(cursor - buffer_)); }

 private:
  std::basic_string<Unit>& result_;
  // On a cache line's start: wide stores that straddle two lines cost twice.
  alignas(64) Unit buffer_[kCapacity];
};

// Every pass of the conversions below first makes room for a whole block, so that each
// copies something or converts one character.
constexpr std::size_t kMinRoom = 64;

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

// One pass straight between the units and the bytes.
std::string to_utf8(const std::wstring& text) {
  const std::size_t size = text.size();
  const wchar_t* const units = text.data();
  std::string bytes;
  bytes.reserve(size);
  staged_output<char> staged(bytes);
  char* out = staged.start();
  for (std::size_t i = 0; i < size;) {
    out = staged.room_for(kMinRoom, out);
    const std::size_t copied = copy_ascii_run(units + i, std::min(size - i, staged.space(out)), out);
    i += copied;
    out += copied;
    if (i < size && static_cast<std::uint32_t>(units[i]) >= 0x80) {
      out = staged.room_for(4, out);
      out = append_utf8(next_character(text, i), out);
    }
  }
  staged.finish(out);
  return bytes;
}

// Never more units than bytes: a four-byte sequence becomes a pair of units.
std::wstring from_utf8(std::string_view bytes) {
  const std::size_t size = bytes.size();
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::wstring text;
  text.reserve(size);
  staged_output<wchar_t> staged(text);
  wchar_t* out = staged.start();
  for (std::size_t i = 0; i < size;) {
    out = staged.room_for(kMinRoom, out);
    const std::size_t copied = copy_ascii_run(in + i, std::min(size - i, staged.space(out)), out);
    i += copied;
    out += copied;
    if (i < size && in[i] >= 0x80) {
      out = staged.room_for(2, out);
      const char32_t c = next_code_point(in, size, i);
      if (c < 0x10000) {
        *out++ = static_cast<wchar_t>(c);
      } else {
        *out++ = static_cast<wchar_t>(0xD7C0 + (c >> 10));
        *out++ = static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
      }
    }
  }
  staged.finish(out);
  return text;
}

std::string to_string(const std::wstring& text) {
  return convert_wide_string_to_multibyte(text.c_str(), kCodePageAnsi, std::string("<error:to_string>"));
}

std::wstring to_wstring(const std::string& text) {
  return convert_multibyte_to_wide_string(text.c_str(), kCodePageAnsi, std::wstring(L"<error:to_wstring>"));
}

}  // namespace paravelle
