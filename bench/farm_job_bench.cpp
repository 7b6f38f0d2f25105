// The reference farm's own costs: per frame on a node that does no work (everything the farm
// does around a frame: RenderTask, progress, the output check, bookkeeping), a job start's settings
// sent back to back against one bare round trip, and a real node's start (process to handshake).
// Each pair is measured in the same run, alternating the two sides; medians are reported.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <vector>

#include "worker/job_runner.h"
#include "worker/settings_batch.h"

namespace {

using namespace paravelle::worker;
using Seconds = std::chrono::duration<double>;

std::filesystem::path beside_me(const char* name) {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / name;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

struct Scratch {
  std::filesystem::path path;
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "farm-bench-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~Scratch() { std::filesystem::remove_all(path); }
};

class Silent : public RunObserver {
 public:
  void node_state(int, const std::string&) override {}
  void frame_started(int, std::int32_t, int) override {}
  void node_message(int, const std::string&) override {}
  void frame_finished(int, const FrameRecord&, bool) override {}
  void note(const std::string&, bool) override {}
};

NodeLaunch launch_in(const Scratch& scratch, const char* node) {
  NodeLaunch launch;
  launch.node_binary = beside_me(node).string();
  launch.work_dir = scratch.path / "work";
  launch.report_dir = scratch.path;
  launch.token = "bench";
  return launch;
}

bool started(NodeSession& node, const JobFile& job) {
  try {
    node.start_job(job, {});
    return true;
  } catch (const WorkerError&) {
    return false;
  }
}

// 100 tiny frames on one node that answers at once: the farm's own cost per frame, node start excluded.
void BM_FarmCostPerFrameOnAnInstantNode(benchmark::State& state) {
  Scratch scratch;
  JobFile job;
  job.source = scratch.path / "job.json";
  job.scene = "/scenes/a.json";
  std::vector<std::int32_t> frames(100);
  for (int i = 0; i < 100; ++i) frames[static_cast<std::size_t>(i)] = i + 1;
  RunnerOptions options;
  options.launch = launch_in(scratch, "fake-node");
  Silent silent;
  std::vector<double> per_frame_ms;
  for (auto _ : state) {
    const JobReport report = run_job_frames(job, frames, options, silent);
    if (!report.all_done()) state.SkipWithError("a frame failed");
    double render = 0;
    for (const auto& record : report.frames) render += record.render_seconds;
    // Everything but the node start: the elapsed time over the frames, per frame.
    per_frame_ms.push_back(report.elapsed_seconds * 1000 / 100);
    state.counters["render_task_ms"] = render * 1000 / 100;
  }
  state.counters["farm_ms_per_frame_median"] = median(per_frame_ms);
}
BENCHMARK(BM_FarmCostPerFrameOnAnInstantNode)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// 100 frames of a 32x24 scene on one real node: everything around the node's own RenderTask
// (the output check, the bookkeeping, the next command), per frame, next to the RenderTask itself.
void BM_FarmCostPerFrameOnARealNode(benchmark::State& state) {
  Scratch scratch;
  std::ofstream(scratch.path / "scene.json") << R"({"format": "paravelle-scene", "version": 1,
    "render": {"width": 32, "height": 24, "samples_per_axis": 1, "threads": 1},
    "nodes": [{"name": "Cam", "type": "camera", "position": [0, -10, 0], "target": [0, 0, 0]},
              {"name": "Ball", "type": "sphere", "radius": 2, "position": [0, 0, 0]}],
    "viewports": [{"camera": "Cam"}]})";
  JobFile job;
  job.source = scratch.path / "job.json";
  job.scene = (scratch.path / "scene.json").string();
  job.camera = "Cam";
  job.settings_after_start = {"OverrideSaveFile,1",
                              "OutputImageFilename," + (scratch.path / "out" / "f_.png").string()};
  std::vector<std::int32_t> frames(100);
  for (int i = 0; i < 100; ++i) frames[static_cast<std::size_t>(i)] = i + 1;
  NodeSession node(launch_in(scratch, "paravelle-node"), 1, 1, {});
  node.open();
  if (!started(node, job)) state.SkipWithError("the job start failed");
  std::vector<double> task_ms, around_ms;
  for (auto _ : state) {
    for (const auto frame : frames) {
      const auto begin = Clock::now();
      const NodeTry outcome = node.render(frame, {});
      if (!outcome.succeeded || outcome.outputs.empty()) state.SkipWithError("a frame failed");
      const double total = Seconds(Clock::now() - begin).count() * 1000;
      task_ms.push_back(outcome.render_seconds * 1000);
      around_ms.push_back(total - outcome.render_seconds * 1000);
    }
  }
  state.counters["render_task_ms_median"] = median(task_ms);
  state.counters["farm_ms_per_frame_median"] = median(around_ms);
  node.finish();
}
BENCHMARK(BM_FarmCostPerFrameOnARealNode)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The demo's eleven settings and the synchronising command, against the synchronising command
// alone, on a real node: what the batch costs beyond the one round trip it needs.
void BM_SettingsBatchAgainstOneRoundTrip(benchmark::State& state) {
  Scratch scratch;
  NodeSession node(launch_in(scratch, "paravelle-node"), 1, 1, {});
  node.open();
  const std::vector<std::string> settings = {"SlaveFolders,/tmp/paravelle/jobs,/tmp/paravelle/plugins",
                                             "TempFolder,/tmp/paravelle/temp",
                                             "GammaCorrection,2.2,2.2",
                                             "IgnoreMissingExternalFiles",
                                             "IgnoreMissingXREFs",
                                             "CurrentTask,7",
                                             "FrameNumberBase,0",
                                             "HideFrameBuffer",
                                             "FailOnBlackFrames,90,0.05",
                                             "RegionRendering,10,100,50,300,250,CROP",
                                             "CONTINUE"};
  FarmWorker& worker = node.worker_for_benchmarks();
  std::vector<double> batch_ms, single_ms;
  for (auto _ : state) {
    auto begin = Clock::now();
    if (!send_settings(worker, settings, 10000).failures.empty()) state.SkipWithError("a setting failed");
    batch_ms.push_back(Seconds(Clock::now() - begin).count() * 1000);
    begin = Clock::now();
    send_settings(worker, {"CONTINUE"}, 10000);
    single_ms.push_back(Seconds(Clock::now() - begin).count() * 1000);
  }
  state.counters["batch_ms_median"] = median(batch_ms);
  state.counters["one_round_trip_ms_median"] = median(single_ms);
  node.finish();
}
BENCHMARK(BM_SettingsBatchAgainstOneRoundTrip)->Iterations(50)->Unit(benchmark::kMillisecond)->UseRealTime();

// The demo's job start (five settings, StartJob of the example scene, six settings) against the
// bare StartJob on the same node: what the farm adds to the node's own work.
void BM_JobStartAgainstStartJobAlone(benchmark::State& state) {
  Scratch scratch;
  NodeSession node(launch_in(scratch, "paravelle-node"), 1, 1, {});
  node.open();
  JobFile job;
  job.source = scratch.path / "job.json";
  job.scene = std::string(PARAVELLE_SOURCE_DIR) + "/examples/scenes/spinning-spheres.json";
  job.camera = "ShotCam";
  job.settings_before_start = {"SlaveFolders,/tmp/paravelle/jobs,/tmp/paravelle/plugins",
                               "TempFolder,/tmp/paravelle/temp", "GammaCorrection,2.2,2.2",
                               "IgnoreMissingExternalFiles", "IgnoreMissingXREFs"};
  job.settings_after_start = {"CurrentTask,7",
                              "FrameNumberBase,0",
                              "HideFrameBuffer",
                              "FailOnBlackFrames,90,0.05",
                              "RegionRendering,10,100,50,300,250,CROP",
                              "CONTINUE"};
  const std::string start_job = "StartJob," + *job.scene + ",ShotCam";
  FarmWorker& worker = node.worker_for_benchmarks();
  std::vector<double> full_ms, alone_ms;
  for (auto _ : state) {
    auto begin = Clock::now();
    if (!started(node, job)) state.SkipWithError("the job start failed");
    full_ms.push_back(Seconds(Clock::now() - begin).count() * 1000);
    worker.job_command("EndJob", 10000);
    begin = Clock::now();
    worker.job_command(start_job, 10000);
    alone_ms.push_back(Seconds(Clock::now() - begin).count() * 1000);
    worker.job_command("EndJob", 10000);
  }
  state.counters["job_start_ms_median"] = median(full_ms);
  state.counters["start_job_alone_ms_median"] = median(alone_ms);
  state.counters["farm_adds_ms"] = median(full_ms) - median(alone_ms);
  try {
    node.finish();
  } catch (const NodeRefused&) {
    // Its EndJob is refused: the job was ended by hand above.
  }
}
BENCHMARK(BM_JobStartAgainstStartJobAlone)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

// A real node from its process start to the handshake's answer.
void BM_NodeStart(benchmark::State& state) {
  Scratch scratch;
  std::vector<double> start_ms;
  for (auto _ : state) {
    NodeSession node(launch_in(scratch, "paravelle-node"), 1, static_cast<int>(start_ms.size()) + 1, {});
    node.open();
    start_ms.push_back(node.start_seconds() * 1000);
    node.finish();
  }
  state.counters["start_ms_median"] = median(start_ms);
}
BENCHMARK(BM_NodeStart)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
