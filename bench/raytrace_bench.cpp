// Throughput of the standalone host's ray tracer: pixel samples per second per core, and
// how much a second thread buys.

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <vector>

#include "host/standalone/raytrace/render.h"

namespace rt = paravelle::host::standalone::raytrace;

namespace {

constexpr int kWidth = 320, kHeight = 240, kSamplesPerAxis = 2;

class Quiet : public rt::Progress {
 public:
  void title(const std::wstring&) override {}
  bool tile_done(int, int) override { return true; }
};

// A table top: a floor, a row of spheres, a few boxes, three lights with shadows.
rt::Scene bench_scene() {
  rt::Scene scene;
  scene.planes.push_back({{0, 0, 0}, {0, 0, 1}, {0.6f, 0.6f, 0.55f}});
  for (int i = 0; i < 8; ++i)
    scene.spheres.push_back({{-7.0 + 2.0 * i, 2.0 * (i % 3), 0.8}, 0.8, {0.2f + 0.1f * i, 0.3f, 0.9f - 0.1f * i}});
  scene.boxes.push_back({{-6, -3, 0}, {-4, -1, 2}, {0.8f, 0.2f, 0.2f}});
  scene.boxes.push_back({{3, -4, 0}, {5, -2, 1}, {0.2f, 0.8f, 0.2f}});
  scene.boxes.push_back({{-1, 5, 0}, {1, 7, 4}, {0.9f, 0.9f, 0.3f}});
  scene.point_lights.push_back({{5, -5, 8}, {1, 1, 1}, 0.8, true});
  scene.point_lights.push_back({{-6, -2, 5}, {0.6f, 0.6f, 1}, 0.5, true});
  scene.directional_lights.push_back({{-0.3, 0.5, -1}, {1, 0.9f, 0.8f}, 0.4, true});
  scene.background = {0.1f, 0.1f, 0.15f};
  return scene;
}

rt::Camera bench_camera() {
  rt::Camera camera;
  camera.position = {0, -16, 7};
  camera.target = {0, 1, 0.5};
  camera.fov_degrees = 50;
  return camera;
}

struct Image {
  std::vector<float> rgba = std::vector<float>(4 * kWidth * kHeight);
  std::vector<float> alpha = std::vector<float>(kWidth * kHeight);
  std::vector<float> z = std::vector<float>(kWidth * kHeight);
  rt::Target target() {
    rt::Target t;
    t.width = kWidth;
    t.height = kHeight;
    t.rgba = rgba.data();
    t.alpha = alpha.data();
    t.z_depth = z.data();
    return t;
  }
};

struct Timing {
  double wall = 0, cpu = 0;  // seconds; cpu is the whole process's, all threads
  Timing& operator+=(const Timing& o) {
    wall += o.wall;
    cpu += o.cpu;
    return *this;
  }
};

double process_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

Timing timed_render(const rt::Scene& scene, Image& image, int threads) {
  rt::Target target = image.target();
  Quiet quiet;
  const double cpu_start = process_cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  rt::render(scene, bench_camera(), target, {.samples_per_axis = kSamplesPerAxis, .threads = threads, .tile_size = 32},
             quiet);
  benchmark::DoNotOptimize(image.rgba.data());
  return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
          process_cpu_seconds() - cpu_start};
}

void BM_RenderThroughput(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  const rt::Scene scene = bench_scene();
  Image image;
  Timing total;
  for (auto _ : state) total += timed_render(scene, image, threads);
  const double samples = double(kWidth) * kHeight * kSamplesPerAxis * kSamplesPerAxis;
  // Per second of CPU the process got: stays meaningful when other work shares the cores.
  state.counters["samples_per_cpu_s"] = samples * static_cast<double>(state.iterations()) / total.cpu;
  state.counters["samples_per_s"] = benchmark::Counter(samples * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["samples_per_s_per_core"] =
      benchmark::Counter(samples * state.iterations() / threads, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RenderThroughput)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// Alternates one- and two-thread renders so both see the same machine load. Besides the
// speed-up it reports the cores the process actually got during the two-thread renders
// and the CPU work of a two-thread render over a one-thread one (1 = no cost of
// splitting), which tell a busy machine apart from a pool that does not scale.
void BM_TwoThreadSpeedUp(benchmark::State& state) {
  const rt::Scene scene = bench_scene();
  Image image;
  Timing one, two;
  for (auto _ : state) {
    one += timed_render(scene, image, 1);
    two += timed_render(scene, image, 2);
  }
  state.counters["speed_up"] = one.wall / two.wall;
  state.counters["cores_used_by_two"] = two.cpu / two.wall;
  state.counters["work_ratio"] = two.cpu / one.cpu;
}
BENCHMARK(BM_TwoThreadSpeedUp)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
