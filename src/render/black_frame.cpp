#include "render/black_frame.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "script/farm_log.h"
#include "transport/number_format.h"

namespace paravelle::render {
namespace {

using script::LogToFarm;

// Dark colour, and either transparent or opaque. A NaN channel fails its comparison, so
// such a pixel never counts as black. The test runs over every pixel of every frame the
// farm asks to check, so where the processor has them it compares the four channels of
// a pixel at once.
#if defined(__SSE2__) || defined(_M_X64)
// All ones in each lane that passes: red, green, blue at most the threshold; alpha at
// most it, or at least 1 - it.
struct DarkTest {
  __m128 dark, opaque, alphaLane;
  __m128 lanes(const BMM_Color_fl& pixel) const {
    const __m128 p = _mm_loadu_ps(&pixel.r);
    return _mm_or_ps(_mm_cmple_ps(p, dark), _mm_and_ps(_mm_cmpge_ps(p, opaque), alphaLane));
  }
};

std::int64_t count_black(const BMM_Color_fl* line, int width, float threshold) {
  const DarkTest test{_mm_set1_ps(threshold), _mm_set1_ps(1.0f - threshold),
                      _mm_castsi128_ps(_mm_set_epi32(-1, 0, 0, 0))};
  std::int64_t black = 0;
  int x = 0;
  // Four pixels at a time: their sixteen lane results narrowed to one bit each, a pixel
  // black when its four bits are all set.
  for (; x + 4 <= width; x += 4) {
    const __m128i first = _mm_packs_epi32(_mm_castps_si128(test.lanes(line[x])), _mm_castps_si128(test.lanes(line[x + 1])));
    const __m128i second =
        _mm_packs_epi32(_mm_castps_si128(test.lanes(line[x + 2])), _mm_castps_si128(test.lanes(line[x + 3])));
    const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(first, second)));
    const unsigned whole = bits & (bits >> 1) & (bits >> 2) & (bits >> 3) & 0x1111u;
    black += (whole & 1u) + ((whole >> 4) & 1u) + ((whole >> 8) & 1u) + ((whole >> 12) & 1u);
  }
  for (; x < width; ++x) black += _mm_movemask_ps(test.lanes(line[x])) == 0xF;
  return black;
}
#else
std::int64_t count_black(const BMM_Color_fl* line, int width, float threshold) {
  const float opaque = 1.0f - threshold;
  std::int64_t black = 0;
  for (int x = 0; x < width; ++x) {
    const BMM_Color_fl& p = line[x];
    black += (p.r <= threshold) & (p.g <= threshold) & (p.b <= threshold) & ((p.a <= threshold) | (p.a >= opaque));
  }
  return black;
}
#endif

// The whole image, a row per host call; the count does not depend on the order the
// pixels are visited in.
std::int64_t count_black(const BitmapStorage& storage, int width, int height, float threshold) {
  std::vector<BMM_Color_fl> line(static_cast<std::size_t>(width));
  std::int64_t black = 0;
  for (int y = 0; y < height; ++y) {
    if (!storage.GetLinearPixels(0, y, width, line.data()))
      throw std::runtime_error("Could not read row " + format_number(std::int32_t{y}) +
                               " of the output image to test it for black pixels");
    black += count_black(line.data(), width, threshold);
  }
  return black;
}

}  // namespace

void CheckBlackFrame(const daemon::JobState& state, Bitmap* bitmap, win32::simple_socket& connection) {
  LogToFarm(connection, L"  blackPixelPercentage = " + format_wide_number(state.blackPixelPercentage) + L"%");
  LogToFarm(connection, L"  blackPixelThreshold = " + format_wide_number(state.blackPixelThreshold));
  const BitmapStorage* storage = bitmap ? bitmap->Storage() : nullptr;
  const int width = storage ? storage->Width() : 0;
  const int height = storage ? storage->Height() : 0;
  // No pixels, no share of black ones: refuse rather than divide by zero.
  if (width <= 0 || height <= 0)
    throw std::runtime_error("The output image has no pixels (" + format_number(std::int32_t{width}) + "x" +
                             format_number(std::int32_t{height}) + "), so it cannot be tested for black pixels");

  const std::int64_t black = count_black(*storage, width, height, state.blackPixelThreshold);
  const std::int64_t total = std::int64_t{width} * height;
  const std::int64_t percentage = black * 100 / total;
  const auto number = [](std::int64_t value) { return format_wide_number(static_cast<unsigned long long>(value)); };
  LogToFarm(connection, number(black) + L" of " + number(total) + L" pixels are considered black (" +
                            number(percentage) + L"%)");
  if (percentage < state.blackPixelPercentage) return;
  LogToFarm(connection, number(percentage) + L"% of the output image is considered black, failing render...");
  throw std::runtime_error(format_number(static_cast<unsigned long long>(percentage)) +
                           "% of the output image is black, which equals or exceeds the minimum of " +
                           format_number(state.blackPixelPercentage) + "%");
}

}  // namespace paravelle::render
