// One 1920x1080 frame through RenderFrame (names, bitmaps, the render with its progress
// callback, the lines to the farm, the write through the host's bitmap output, the clean-up)
// against the same render called directly plus OpenImageIO writing its pixels straight to a
// file. The two alternate; what the pipeline adds should stay under 5% of the frame.

#include <benchmark/benchmark.h>

#include <OpenImageIO/imageio.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "host/core.h"
#include "host/standalone/float_storage.h"
#include "job/job_state.h"
#include "render/frame_pipeline.h"
#include "render/job_start.h"
#include "support/alternating.h"
#include "support/loopback.h"
#include "transport/simple_socket.h"

namespace {

namespace fs = std::filesystem;

constexpr int width = 1920;
constexpr int height = 1080;

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string write_scene(const fs::path& folder) {
  const std::string scene = (folder / "scene.json").string();
  std::ofstream(scene) << R"({"format": "paravelle-scene", "version": 1,
    "render": {"width": )"
                       << width << R"(, "height": )" << height << R"(, "samples_per_axis": 1,
               "save_file": true, "output_file": ")"
                       << (folder / "out" / "beauty.exr").string() << R"("},
    "environment": {"background": [0.1, 0.1, 0.1], "ambient": [0.1, 0.1, 0.1]},
    "nodes": [
      {"name": "Cam", "type": "camera", "position": [0, -12, 4], "target": [0, 0, 1]},
      {"name": "A", "type": "sphere", "radius": 1, "position": [-2, 0, 1], "colour": [0.8, 0.2, 0.2]},
      {"name": "B", "type": "sphere", "radius": 1, "position": [2, 0, 1], "colour": [0.2, 0.2, 0.8]},
      {"name": "Floor", "type": "plane", "normal": [0, 0, 1], "colour": [0.6, 0.6, 0.6]},
      {"name": "Key", "type": "point_light", "position": [5, -5, 8]}],
    "viewports": [{"camera": "Cam"}]})";
  return scene;
}

// The farm's end of the connection: reads and drops whatever the node says.
class SilentFarm {
 public:
  SilentFarm() {
    std::uint16_t port = 0;
    listener_ = paravelle::bench_support::listen_on_loopback(port);
    connection.connect("127.0.0.1", port, paravelle::win32::simple_socket::protocol_tcp);
    peer_ = ::accept(listener_, nullptr, nullptr);
    reader_ = std::thread([this] {
      char buffer[65536];
      while (::recv(peer_, buffer, sizeof buffer, 0) > 0) {
      }
    });
  }
  ~SilentFarm() {
    connection.disconnect(true);
    ::shutdown(peer_, SHUT_RDWR);
    reader_.join();
    ::close(peer_);
    ::close(listener_);
  }
  paravelle::win32::simple_socket connection;

 private:
  int listener_ = -1;
  int peer_ = -1;
  std::thread reader_;
};

struct BitmapDeleter {
  void operator()(Bitmap* bitmap) const { bitmap->DeleteThis(); }
};

// The frame without the plug-in: the host renders into a bitmap, OpenImageIO writes it.
bool direct_frame(Interface& core, TimeValue t, const std::string& file) {
  BitmapInfo info;
  info.SetWidth(width);
  info.SetHeight(height);
  const std::unique_ptr<Bitmap, BitmapDeleter> bitmap(TheManager->Create(&info));
  if (!core.CurRendererRenderFrame(t, bitmap.get(), nullptr, 1.0f, nullptr, nullptr)) return false;
  const auto* storage = dynamic_cast<const paravelle::host::standalone::FloatStorage*>(bitmap->Storage());
  auto output = OIIO::ImageOutput::create(file);
  const OIIO::ImageSpec spec(width, height, 4, OIIO::TypeDesc::HALF);
  return output && output->open(file, spec) && output->write_image(OIIO::TypeDesc::FLOAT, storage->data()) &&
         output->close();
}

void BM_FramePipelineAgainstDirectRenderAndWrite(benchmark::State& state) {
  const fs::path folder = fs::temp_directory_path() / "paravelle-frame-bench";
  fs::remove_all(folder);
  fs::create_directories(folder / "out");
  SilentFarm farm;
  paravelle::job::JobState job;
  paravelle::render::StartJob(job, wide(write_scene(folder)), L"Cam");
  job.showFrameBuffer = false;
  Interface& core = *GetCOREInterface();
  // The first frame opens the renderer, which stays open for the frames that are timed.
  paravelle::render::RenderFrame(job, 0, farm.connection);
  int frame = 1;
  bool failed = false;
  paravelle::bench_support::run_alternating(
      state, "pipeline",
      [&] {
        try {
          paravelle::render::RenderFrame(job, frame++, farm.connection);
        } catch (const std::exception&) {
          failed = true;
        }
      },
      "direct", [&] { failed |= !direct_frame(core, frame * GetTicksPerFrame(), (folder / "direct.exr").string()); });
  if (failed) state.SkipWithError("a frame failed");
  paravelle::render::EndJob(job);
  fs::remove_all(folder);
}
BENCHMARK(BM_FramePipelineAgainstDirectRenderAndWrite)->Iterations(9)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
