#pragma once
// Deterministic stratified sample positions. The jitter of a sample depends only on the
// whole-image pixel and the sample's cell, never on the thread or the time, so a pixel
// comes out the same however the image is split up.

#include <cstdint>

namespace paravelle::host::standalone::raytrace {

struct SamplePoint {
  double x, y;  // offset inside the pixel, each in [0, 1)
};

// SplitMix64's finaliser: cheap, and every input bit moves every output bit.
constexpr std::uint64_t mix_bits(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Cell (cell_x, cell_y) of an n x n grid over pixel (x, y), jittered inside the cell.
constexpr SamplePoint stratified_sample(int x, int y, int cell_x, int cell_y, int n) {
  const std::uint64_t pixel =
      (static_cast<std::uint64_t>(static_cast<std::uint32_t>(x)) << 32) | static_cast<std::uint32_t>(y);
  const std::uint64_t cell =
      static_cast<std::uint64_t>(cell_y) * static_cast<std::uint64_t>(n) + static_cast<std::uint64_t>(cell_x);
  const std::uint64_t bits = mix_bits(mix_bits(pixel) + cell * 0x9E3779B97F4A7C15ull);
  constexpr double kUnit = 1.0 / 16777216.0;  // 24 bits of jitter per axis
  const double jitter_x = static_cast<double>(bits >> 40) * kUnit;
  const double jitter_y = static_cast<double>((bits >> 16) & 0xFFFFFFu) * kUnit;
  return {(cell_x + jitter_x) / n, (cell_y + jitter_y) / n};
}

}  // namespace paravelle::host::standalone::raytrace
