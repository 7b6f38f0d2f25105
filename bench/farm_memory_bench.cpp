// How the farm's memory grows with a job's length: paravelle-farm runs the same job of 1,000 and of
// 100,000 frames on two nodes that answer at once (fake-node), writing the report, a log per frame and
// the summary, as an operator would run it. The figure is the farm process's peak resident set
// (wait4's ru_maxrss, which also covers the nodes it reaped; they stay far smaller). The target is
// at most 20 MB at 100,000 frames; growth per frame is reported from the two runs of one program run.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::filesystem::path beside_me(const char* name) {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / name;
}

struct Scratch {
  std::filesystem::path path;
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "farm-memory-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~Scratch() { std::filesystem::remove_all(path); }
};

struct FarmRun {
  long peak_kb = 0;
  double seconds = 0;
  int status = -1;
};

FarmRun run_farm(const Scratch& scratch, int frames) {
  std::ofstream(scratch.path / "scene.json") << "{}";
  std::ofstream(scratch.path / "job.json") << R"({"format": "paravelle-job", "version": 1, "scene": "scene.json",
    "settings_after_start": ["HideFrameBuffer"], "frames": "1-)"
                                           << frames << "\"}";
  std::vector<std::string> args = {beside_me("paravelle-farm").string(),
                                   (scratch.path / "job.json").string(),
                                   "--node",
                                   beside_me("fake-node").string(),
                                   "--nodes",
                                   "2",
                                   "--quiet",
                                   "--report",
                                   (scratch.path / "report.json").string(),
                                   "--work-dir",
                                   (scratch.path / "work").string()};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  FarmRun run;
  const auto begin = std::chrono::steady_clock::now();
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    rusage usage{};
    if (::wait4(pid, &run.status, 0, &usage) == pid) run.peak_kb = usage.ru_maxrss;
  }
  posix_spawn_file_actions_destroy(&actions);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  return run;
}

std::map<int, long> peaks_kb;

void BM_FarmPeakMemory(benchmark::State& state) {
  const int frames = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Scratch scratch;
    const FarmRun run = run_farm(scratch, frames);
    if (!WIFEXITED(run.status) || WEXITSTATUS(run.status) != 0)
      state.SkipWithError("the farm did not render every frame");
    peaks_kb[frames] = run.peak_kb;
    state.counters["peak_rss_MB"] = static_cast<double>(run.peak_kb) / 1024.0;
    state.counters["frames_per_s"] = frames / run.seconds;
    // The growth from the smallest job of this run to this one, per frame.
    if (const auto smallest = peaks_kb.begin(); smallest->first < frames) {
      state.counters["bytes_per_frame"] =
          static_cast<double>(run.peak_kb - smallest->second) * 1024.0 / static_cast<double>(frames - smallest->first);
    }
  }
}
BENCHMARK(BM_FarmPeakMemory)->Arg(1000)->Arg(100000)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
