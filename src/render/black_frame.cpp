#include "render/black_frame.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include "job/farm_connection.h"
#include "transport/number_format.h"

namespace paravelle::render {
namespace {

using job::LogToFarm;

// Dark colour, and either transparent or opaque. A NaN channel fails its comparison, so
// such a pixel never counts as black.
bool is_black(const BMM_Color_fl& p, float threshold) {
  return (p.r <= threshold) & (p.g <= threshold) & (p.b <= threshold) &
         ((p.a <= threshold) | (p.a >= 1.0f - threshold));
}

// The pixels [from, width) of a row.
std::int64_t count_black(const BMM_Color_fl* line, int from, int width, float threshold) {
  std::int64_t black = 0;
  for (int x = from; x < width; ++x) black += is_black(line[x], threshold);
  return black;
}

#if defined(__SSE2__) || defined(_M_X64)
// The test runs over every pixel of every frame the farm asks to check. Four pixels at a
// time are turned from pixels into channels (the reds of all four, the greens, ...), so
// each comparison tests four pixels, with the same comparisons (and NaN results) as
// is_black; a pixel that passes all of them adds one to its lane's count.
std::int64_t count_black(const BMM_Color_fl* line, int width, float threshold) {
  const __m128 dark = _mm_set1_ps(threshold);
  const __m128 opaque = _mm_set1_ps(1.0f - threshold);
  __m128i counts = _mm_setzero_si128();  // at most 2^29 a lane: a row is below 2^31 pixels
  int x = 0;
  for (; x + 4 <= width; x += 4) {
    __m128 r = _mm_loadu_ps(&line[x].r), g = _mm_loadu_ps(&line[x + 1].r);
    __m128 b = _mm_loadu_ps(&line[x + 2].r), a = _mm_loadu_ps(&line[x + 3].r);
    _MM_TRANSPOSE4_PS(r, g, b, a);
    const __m128 colour = _mm_and_ps(_mm_and_ps(_mm_cmple_ps(r, dark), _mm_cmple_ps(g, dark)), _mm_cmple_ps(b, dark));
    const __m128 alpha = _mm_or_ps(_mm_cmple_ps(a, dark), _mm_cmpge_ps(a, opaque));
    counts = _mm_sub_epi32(counts, _mm_castps_si128(_mm_and_ps(colour, alpha)));  // a passing lane is -1
  }
  alignas(16) std::int32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), counts);
  return std::int64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3] + count_black(line, x, width, threshold);
}
#else
std::int64_t count_black(const BMM_Color_fl* line, int width, float threshold) {
  return count_black(line, 0, width, threshold);
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

void CheckBlackFrame(const job::JobState& state, Bitmap* bitmap, win32::simple_socket& connection) {
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
  LogToFarm(connection,
            number(black) + L" of " + number(total) + L" pixels are considered black (" + number(percentage) + L"%)");
  if (percentage < state.blackPixelPercentage) return;
  LogToFarm(connection, number(percentage) + L"% of the output image is considered black, failing render...");
  throw std::runtime_error(format_number(static_cast<unsigned long long>(percentage)) +
                           "% of the output image is black, which equals or exceeds the minimum of " +
                           format_number(state.blackPixelPercentage) + "%");
}

}  // namespace paravelle::render
