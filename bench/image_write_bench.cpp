// Writing a full-HD frame through the host's image writer against OpenImageIO writing the
// same pixels straight to the file. The writer adds an in-memory encode, a temporary
// name and a rename; the aim is to stay within 1.1x of the direct write.

#include <benchmark/benchmark.h>

#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "host/bitmap.h"
#include "host/standalone/image_file.h"

namespace {

constexpr int width = 1920;
constexpr int height = 1080;

// A render-like frame: smooth shading with fine noise, opaque except a soft-edged hole.
const std::vector<float>& frame() {
  static const std::vector<float> pixels = [] {
    std::vector<float> rgba(std::size_t(width) * height * 4);
    unsigned seed = 12345;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        seed = seed * 1664525u + 1013904223u;
        const float noise = float(seed >> 8) / float(1u << 24) * 0.02f;
        const float d = std::hypot(float(x - 960), float(y - 540)) / 200.0f;
        const float alpha = std::clamp(d - 0.5f, 0.0f, 1.0f);
        float* p = rgba.data() + (std::size_t(y) * width + x) * 4;
        p[0] = alpha * (float(x) / width + noise);
        p[1] = alpha * (float(y) / height + noise);
        p[2] = alpha * (0.5f + 0.4f * std::sin(float(x + y) * 0.01f) + noise);
        p[3] = alpha;
      }
    }
    return rgba;
  }();
  return pixels;
}

std::string target(const char* name) {
  static const std::filesystem::path folder = [] {
    const auto path = std::filesystem::temp_directory_path() / "paravelle-image-bench";
    std::filesystem::create_directories(path);
    return path;
  }();
  return (folder / name).string();
}

void host_writer(benchmark::State& state, const char* name, int type) {
  const paravelle::host::standalone::ImagePixels pixels{width, height, frame().data()};
  const std::string path = target(name);
  for (auto _ : state) {
    if (paravelle::host::standalone::write_image_file(path, pixels, type, true, 1.0f).code != BMMRES_SUCCESS) {
      state.SkipWithError("write_image_file failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void direct_oiio(benchmark::State& state, const char* name, OIIO::TypeDesc type) {
  const std::string path = target(name);
  for (auto _ : state) {
    auto output = OIIO::ImageOutput::create(path);
    OIIO::ImageSpec spec(width, height, 4, type);
    spec.attribute("tiff:write_exif", 0);
    if (!output || !output->open(path, spec) || !output->write_image(OIIO::TypeDesc::FLOAT, frame().data()) ||
        !output->close()) {
      state.SkipWithError("OpenImageIO write failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(host_writer, exr_half, "host.exr", BMM_TRUE_64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(direct_oiio, exr_half, "direct.exr", OIIO::TypeDesc::HALF)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(host_writer, exr_float, "hostf.exr", BMM_FLOAT_RGBA_32)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(direct_oiio, exr_float, "directf.exr", OIIO::TypeDesc::FLOAT)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(host_writer, png_16bit, "host.png", BMM_TRUE_64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(direct_oiio, png_16bit, "direct.png", OIIO::TypeDesc::UINT16)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
