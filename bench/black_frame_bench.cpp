// The black-frame test of an 8192x4096 float image against a plain read of the same
// pixels (every word of the buffer added up). The test reads a row per host
// call and should stay within 2x of the plain read.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "host/bitmap.h"
#include "host/standalone/float_storage.h"
#include "job/job_state.h"
#include "render/black_frame.h"
#include "support/alternating.h"
#include "transport/simple_socket.h"

namespace {

constexpr int width = 8192;
constexpr int height = 4096;

struct BitmapDeleter {
  void operator()(Bitmap* bitmap) const { bitmap->DeleteThis(); }
};

// Mostly black, with a lit band, so the test has both kinds of pixel to tell apart.
std::unique_ptr<Bitmap, BitmapDeleter> frame() {
  BitmapInfo info;
  info.SetWidth(width);
  info.SetHeight(height);
  std::unique_ptr<Bitmap, BitmapDeleter> bitmap(TheManager->Create(&info));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      bitmap->Storage()->PutPixel(x, y, y % 64 < 8 ? BMM_Color_fl{0.8f, 0.6f, 0.4f, 1} : BMM_Color_fl{0, 0, 0, 1});
  return bitmap;
}

void BM_BlackFrameAgainstPlainRead(benchmark::State& state) {
  const auto bitmap = frame();
  const auto* storage = dynamic_cast<const paravelle::host::standalone::FloatStorage*>(bitmap->Storage());
  if (!storage) return state.SkipWithError("not the standalone host's storage");
  const float* pixels = storage->data();
  paravelle::job::JobState job;
  job.blackPixelPercentage = 100;  // the band keeps it below: the test passes
  job.blackPixelThreshold = 0.1f;
  paravelle::win32::simple_socket unconnected;  // the log lines go nowhere
  paravelle::bench_support::run_alternating(
      state, "check", [&] { paravelle::render::CheckBlackFrame(job, bitmap.get(), unconnected); }, "plain_read",
      [&] {
        // Every byte of the pixels once, straight from the host's buffer, as fast as the
        // memory gives them: the words are added as integers, which the compiler vectorises.
        const auto* words = reinterpret_cast<const std::uint32_t*>(pixels);
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < std::size_t(width) * height * 4; ++i) sum += words[i];
        benchmark::DoNotOptimize(sum);
      });
}
BENCHMARK(BM_BlackFrameAgainstPlainRead)->Iterations(7)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
