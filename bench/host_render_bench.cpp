// Cost of one frame through the standalone host's interface (open, render, close) and
// of accumulating a multipass pass, at the sizes the examples use.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "host/core.h"
#include "host/standalone/camera_effects.h"

namespace {

struct BitmapDeleter {
  void operator()(Bitmap* bitmap) const { bitmap->DeleteThis(); }
};
using BitmapPtr = std::unique_ptr<Bitmap, BitmapDeleter>;

BitmapPtr make(int width, int height) {
  BitmapInfo info;
  info.SetWidth(width);
  info.SetHeight(height);
  return BitmapPtr(TheManager->Create(&info));
}

std::wstring write_scene(int width, int height) {
  const auto path = std::filesystem::temp_directory_path() / "paravelle-host-render-bench.json";
  std::ofstream(path) << R"({"format": "paravelle-scene", "version": 1,
    "render": {"width": )"
                      << width << R"(, "height": )" << height << R"(},
    "environment": {"background": [0.1, 0.1, 0.1], "ambient": [0.1, 0.1, 0.1]},
    "nodes": [
      {"name": "Cam", "type": "camera", "position": [0, -12, 4], "target": [0, 0, 1]},
      {"name": "A", "type": "sphere", "radius": 1, "position": [-2, 0, 1], "colour": [0.8, 0.2, 0.2]},
      {"name": "B", "type": "sphere", "radius": 1, "position": [2, 0, 1], "colour": [0.2, 0.2, 0.8]},
      {"name": "Floor", "type": "plane", "normal": [0, 0, 1], "colour": [0.6, 0.6, 0.6]},
      {"name": "Key", "type": "point_light", "position": [5, -5, 8]}],
    "viewports": [{"camera": "Cam"}]})";
  const std::string native = path.string();
  return std::wstring(native.begin(), native.end());
}

void BM_RenderFrame(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = width * 3 / 4;
  Interface* core = GetCOREInterface();
  if (!core->LoadFromFile(write_scene(width, height).c_str(), 14)) {
    state.SkipWithError("scene did not load");
    return;
  }
  BitmapPtr bitmap = make(width, height);
  for (auto _ : state) {
    core->OpenCurRenderer(core->GetINodeByName(L"Cam"), nullptr, 0, width, height);
    benchmark::DoNotOptimize(core->CurRendererRenderFrame(0, bitmap.get(), nullptr, 1.0f, nullptr, nullptr));
    core->CloseCurRenderer();
  }
  state.SetItemsProcessed(state.iterations() * width * height);
}
BENCHMARK(BM_RenderFrame)->Arg(160)->Arg(320)->Unit(benchmark::kMillisecond);

void BM_AccumulatePass(benchmark::State& state) {
  BitmapPtr sum = make(640, 480);
  BitmapPtr pass = make(640, 480);
  int p = 0;
  for (auto _ : state) paravelle::host::standalone::accumulate_running_average(sum.get(), pass.get(), p++ % 16);
  state.SetItemsProcessed(state.iterations() * 640 * 480);
}
BENCHMARK(BM_AccumulatePass)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
