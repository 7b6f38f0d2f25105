// What a job costs the farm beyond the host's own work: command round trips as a farm
// worker sees them (a script command and a one-frame task against a settings command),
// the progress callback's share of a render, and the node's overhead around a 320x240
// frame.
//
// Each comparison runs its sides alternately in one benchmark and reports the medians and
// their ratio as counters, so both sides see the same machine load.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "daemon/session.h"
#include "diag/log_file.h"
#include "host/core.h"
#include "host/platform.h"
#include "render/progress_callback.h"
#include "support/loopback.h"
#include "transport/messages.h"
#include "worker/farm_worker.h"

namespace {

using Clock = std::chrono::steady_clock;
using paravelle::win32::simple_socket;

constexpr int wait_ms = 60000;

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

double milliseconds_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A scene for the frame measurements: a few objects, shadows, 2 render threads; the frame
// is saved to `output` when one is given.
std::string write_scene(int width, int height, int samples, const std::string& output = "") {
  const auto path = std::filesystem::temp_directory_path() / "paravelle-job-bench.json";
  std::ofstream(path) << R"({"format": "paravelle-scene", "version": 1,
    "render": {"width": )"
                      << width << R"(, "height": )" << height << R"(, "samples_per_axis": )" << samples
                      << R"(, "threads": 2, "tile_size": 16, "save_file": )" << (output.empty() ? "false" : "true")
                      << R"(, "output_file": ")" << output << R"("},
    "environment": {"background": [0.1, 0.1, 0.1], "ambient": [0.1, 0.1, 0.1]},
    "nodes": [
      {"name": "Cam", "type": "camera", "position": [0, -12, 4], "target": [0, 0, 1]},
      {"name": "A", "type": "sphere", "radius": 1, "position": [-2, 0, 1], "colour": [0.8, 0.2, 0.2]},
      {"name": "B", "type": "sphere", "radius": 1, "position": [2, 0, 1], "colour": [0.2, 0.2, 0.8]},
      {"name": "C", "type": "box", "size": [1, 1, 2], "position": [0, 2, 1], "colour": [0.7, 0.7, 0.2]},
      {"name": "Floor", "type": "plane", "normal": [0, 0, 1], "colour": [0.6, 0.6, 0.6]},
      {"name": "Key", "type": "point_light", "position": [5, -5, 8]}],
    "viewports": [{"camera": "Cam"}]})";
  return path.string();
}

// The plug-in's log goes to a scratch file for the benchmark's lifetime.
class ScratchLog {
 public:
  ScratchLog() : path_(std::filesystem::temp_directory_path() / "paravelle-job-bench.log") {
    paravelle::diag::log_file.close();
    paravelle::diag::log_file.clear();
    paravelle::diag::log_file.open(path_);
  }
  ~ScratchLog() {
    paravelle::diag::log_file.close();
    std::filesystem::remove(path_);
  }

 private:
  std::filesystem::path path_;
};

// A daemon session in this process against the reference worker, over loopback.
class LiveNode {
 public:
  LiveNode() {
    session_ = std::async(std::launch::async, [this] {
      return paravelle::daemon::RunParavelleDaemon(job_, connection_, farm.port(), L"b");
    });
    farm.open_session(wait_ms, "b");
  }
  ~LiveNode() {
    farm.close();
    session_.wait();
  }
  // Milliseconds from sending the command to its last reply.
  double round_trip(const std::string& command) {
    const auto start = Clock::now();
    farm.command(command, wait_ms);
    return milliseconds_since(start);
  }
  double task_round_trip(const std::string& command) {
    const auto start = Clock::now();
    farm.job_command(command, wait_ms);
    return milliseconds_since(start);
  }

  paravelle::worker::FarmWorker farm;

 private:
  ScratchLog log_;
  paravelle::job::JobState job_;
  simple_socket connection_;
  std::future<bool> session_;
};

// Every message goes out at once (TCP_NODELAY on both ends): a script command, which
// answers with two messages in a row, costs about what a settings command does. Counters:
// the medians and the ratios to the settings command.
void BM_CommandRoundTrips(benchmark::State& state) {
  LiveNode node;
  const std::string scene = write_scene(64, 48, 1);
  const auto started = node.farm.job_command("StartJob," + scene + ",Cam", wait_ms).replies();
  if (started != std::vector<std::string>{"SUCCESS Scene loaded successfully"}) {
    state.SkipWithError("the job did not start");
    return;
  }
  std::vector<double> settings, script, task;
  for (auto _ : state) {
    // A settings command that answers: one message each way.
    settings.push_back(node.round_trip("CurrentTask"));
    // STARTED, then the result: two messages in a row from the node.
    script.push_back(node.round_trip("ExecuteStringScript,0,\\\"ok\\\""));
    settings.push_back(node.round_trip("CurrentTask"));
    task.push_back(node.task_round_trip("RenderTask,0"));
  }
  node.farm.job_command("EndJob", wait_ms);
  state.counters["settings_ms"] = median(settings);
  state.counters["script_ms"] = median(script);
  state.counters["task_ms"] = median(task);
  state.counters["script_over_settings"] = median(script) / median(settings);
  state.counters["task_over_settings"] = median(task) / median(settings);
}
BENCHMARK(BM_CommandRoundTrips)->Iterations(30)->UseRealTime()->Unit(benchmark::kMillisecond);

class NullCallback : public RendProgressCallback {
 public:
  void SetTitle(const wchar_t*) override {}
  int Progress(int, int) override { return RENDPROG_CONTINUE; }
};

// The worst case: every tile's report passes the rate limit and goes to the farm.
class ReportingEveryTile : public paravelle::render::ParavelleRenderCallback {
 public:
  using ParavelleRenderCallback::ParavelleRenderCallback;
  int Progress(int done, int total) override {
    paravelle::render::lastProgressTick.store(paravelle::host::tick_count() - 5000);
    return ParavelleRenderCallback::Progress(done, total);
  }
};

// One 320x240 render (2 threads, 16-pixel tiles: 300 tiles) with the progress callback
// against the same render with a callback that does nothing, alternately. Arg 0: the
// rate limit as it is; arg 1: every tile reported to the farm.
void BM_ProgressCallbackCost(benchmark::State& state) {
  const ScratchLog log;
  Interface* const core = GetCOREInterface();
  const std::string scene = write_scene(320, 240, 2);
  if (!core->LoadFromFile(std::wstring(scene.begin(), scene.end()).c_str(), 14)) {
    state.SkipWithError("scene did not load");
    return;
  }
  std::uint16_t port;
  const int listener = paravelle::bench_support::listen_on_loopback(port);
  // The farm's end reads and drops whatever arrives.
  std::thread farm([listener] {
    const int fd = ::accept(listener, nullptr, nullptr);
    std::string message;
    while (paravelle::bench_support::read_frame(fd, message)) {
    }
    ::close(fd);
  });
  {
    simple_socket connection;
    connection.connect("127.0.0.1", port, simple_socket::protocol_tcp);
    BitmapInfo info;
    info.SetWidth(320);
    info.SetHeight(240);
    Bitmap* const bitmap = TheManager->Create(&info);
    core->OpenCurRenderer(core->GetINodeByName(L"Cam"), nullptr, 0, 320, 240);
    const auto render = [&](RendProgressCallback& callback) {
      const auto start = Clock::now();
      core->CurRendererRenderFrame(0, bitmap, &callback, 1.0f, nullptr, nullptr);
      return milliseconds_since(start);
    };
    std::vector<double> with_callback, without;
    for (auto _ : state) {
      NullCallback null_callback;
      without.push_back(render(null_callback));
      if (state.range(0) == 1) {
        ReportingEveryTile callback(connection, L"");
        with_callback.push_back(render(callback));
      } else {
        paravelle::render::ParavelleRenderCallback callback(connection, L"");
        with_callback.push_back(render(callback));
      }
    }
    core->CloseCurRenderer();
    bitmap->DeleteThis();
    state.counters["null_callback_ms"] = median(without);
    state.counters["callback_ms"] = median(with_callback);
    state.counters["cost_percent"] = (median(with_callback) / median(without) - 1.0) * 100.0;
  }
  farm.join();
  ::close(listener);
}
BENCHMARK(BM_ProgressCallbackCost)->Arg(0)->Arg(1)->Iterations(15)->UseRealTime()->Unit(benchmark::kMillisecond);

// The farm's view of one 320x240 task: from sending RenderTask to
// STARTED, the renderer's own time (from its "Calling renderer" line to its "returned
// code" line), and from the renderer's return to the final reply.
// Arg 0: the scene does not save its image; arg 1: it writes an EXR file.
void BM_TaskOverhead(benchmark::State& state) {
  LiveNode node;
  const auto output = std::filesystem::temp_directory_path() / "paravelle-job-bench-out";
  std::filesystem::create_directories(output);
  const std::string scene = write_scene(320, 240, 2, state.range(0) == 1 ? (output / "frame.exr").string() : "");
  if (node.farm.job_command("StartJob," + scene + ",Cam", wait_ms).errors().size() != 0) {
    state.SkipWithError("the job did not start");
    return;
  }
  Clock::time_point started, calling, returned;
  node.farm.set_observer([&](paravelle::worker::Direction direction, const std::string& message) {
    if (direction != paravelle::worker::Direction::from_node) return;
    const auto now = Clock::now();
    if (message == "STARTED") started = now;
    if (message == "FUNCTION: STDOUT: MaxParavelle: Calling renderer") calling = now;
    if (message.starts_with("FUNCTION: STDOUT: MaxParavelle: CallCurRendererRenderFrame returned code")) returned = now;
  });
  node.farm.job_command("RenderTask,1", wait_ms);  // opens the renderer
  std::vector<double> to_started, rendering, to_final;
  for (auto _ : state) {
    const auto sent = Clock::now();
    if (node.farm.job_command("RenderTask,1", wait_ms).final_reply() != "SUCCESS") {
      state.SkipWithError("the task failed");
      break;
    }
    const auto done = Clock::now();
    to_started.push_back(std::chrono::duration<double, std::milli>(started - sent).count());
    rendering.push_back(std::chrono::duration<double, std::milli>(returned - calling).count());
    to_final.push_back(std::chrono::duration<double, std::milli>(done - returned).count());
  }
  node.farm.set_observer({});
  node.farm.job_command("EndJob", wait_ms);
  std::filesystem::remove_all(output);
  state.counters["to_started_ms"] = median(to_started);
  state.counters["render_ms"] = median(rendering);
  state.counters["return_to_reply_ms"] = median(to_final);
}
BENCHMARK(BM_TaskOverhead)->Arg(0)->Arg(1)->Iterations(15)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
