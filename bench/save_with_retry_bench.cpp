// Moving a locally rendered 100 MB file to its destination with SaveWithRetry (a copy
// under a temporary name, renamed into place) against a plain `cp` of the same file to
// the same folder. The aim is to stay within 1.2x of cp.

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "job/job_state.h"
#include "render/output_files.h"
#include "support/alternating.h"
#include "transport/simple_socket.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr std::size_t file_size = 100u << 20;

std::wstring host_path(const fs::path& path) {
  const std::string native = path.string();
  return std::wstring(native.begin(), native.end());
}

bool run_cp(const std::string& from, const std::string& to) {
  const char* arguments[] = {"cp", from.c_str(), to.c_str(), nullptr};
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "cp", nullptr, nullptr, const_cast<char**>(arguments), environ) != 0) return false;
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_SaveWithRetryAgainstCp(benchmark::State& state) {
  const fs::path folder = fs::temp_directory_path() / "paravelle-save-bench";
  fs::remove_all(folder);
  fs::create_directories(folder / "temp");
  fs::create_directories(folder / "out");
  const fs::path rendered = folder / "temp" / "rendered.exr";
  {
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 2654435761u >> 24);
    std::ofstream out(rendered, std::ios::binary);
    for (std::size_t written = 0; written < file_size; written += block.size()) out.write(block.data(), block.size());
  }
  paravelle::job::JobState job;
  job.useAltOutput = true;
  paravelle::win32::simple_socket unconnected;  // the log lines go nowhere
  const fs::path local = folder / "temp" / "beauty0001.exr";
  bool failed = false;
  paravelle::bench_support::run_alternating(
      state, "save_with_retry",
      [&] {
        // SaveWithRetry removes its source; a fresh link to the same data stands in for a
        // freshly rendered file without writing 100 MB outside the timing.
        fs::create_hard_link(rendered, local);
        try {
          paravelle::render::SaveWithRetry(job, host_path(local), host_path(folder / "out" / "beauty0001.exr"),
                                           unconnected);
        } catch (const std::exception&) {
          failed = true;
        }
      },
      "cp", [&] { failed |= !run_cp(rendered.string(), (folder / "out" / "cp0001.exr").string()); });
  if (failed) state.SkipWithError("a copy failed");
  fs::remove_all(folder);
}
BENCHMARK(BM_SaveWithRetryAgainstCp)->Iterations(7)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
