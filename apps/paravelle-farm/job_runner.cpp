#include "job_runner.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "worker/job_report.h"
#include "worker/job_requests.h"
#include "worker/job_runner.h"
#include "worker/progress_display.h"

namespace paravelle::farm {
namespace {

std::filesystem::path make_work_dir(const std::filesystem::path& chosen) {
  if (!chosen.empty()) {
    std::filesystem::create_directories(chosen);
    return std::filesystem::absolute(chosen);
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "paravelle-farm-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw worker::WorkerError("cannot create a work folder " + pattern);
  return pattern;
}

int terminal_width() {
  winsize size{};
  return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 100;
}

// Redraws the terminal display every interval until stopped; the display decides whether anything changed.
class Ticker {
 public:
  explicit Ticker(worker::ProgressDisplay& display)
      : thread_([this, &display](std::stop_token stop) {
          std::unique_lock lock(mutex_);
          while (!stop.stop_requested()) {
            wake_.wait_for(lock, stop, worker::ProgressDisplay::kRedrawInterval, [] { return false; });
            display.tick();
          }
        }) {}

 private:
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::jthread thread_;
};

worker::DisplayMode display_mode(bool quiet) {
  if (quiet) return worker::DisplayMode::quiet;
  return ::isatty(STDOUT_FILENO) ? worker::DisplayMode::terminal : worker::DisplayMode::plain;
}

}  // namespace

int run_frames(const worker::JobFile& job, const RunOptions& options) {
  const auto frames = options.frames.value_or(job.frames);
  if (!job.scene)
    throw worker::JobFileError(job.source.string() +
                               ": a job needs \"scene\" (use --without-job to send only the settings and scripts)");
  if (frames.empty()) throw worker::JobFileError(job.source.string() + ": a job needs \"frames\" to render");

  worker::RunnerOptions runner;
  runner.launch.node_binary = options.node_binary;
  runner.launch.node_args = options.node_args;
  runner.launch.node_env = options.node_env;
  runner.launch.work_dir = make_work_dir(options.work_dir);
  runner.launch.report_dir = options.report_file.empty() ? runner.launch.work_dir
                                                         : std::filesystem::absolute(options.report_file).parent_path();
  runner.launch.token = options.token;
  runner.launch.timeout_ms = options.timeout_ms;
  runner.launch.stall_ms = static_cast<int>(options.stall_timeout_seconds * 1000);
  runner.nodes = options.nodes;
  runner.retries = options.retries;

  const auto mode = display_mode(options.quiet);
  worker::ProgressDisplay display(stdout, mode, std::min<int>(options.nodes, static_cast<int>(frames.size())),
                                  frames.size(), terminal_width());
  display.note(std::to_string(frames.size()) + " frame(s) of " + job.source.string() + " on " +
                   std::to_string(runner.nodes) + " node(s); node folders in " + runner.launch.work_dir.string(),
               false);
  worker::JobReport report;
  {
    std::optional<Ticker> ticker;
    if (mode == worker::DisplayMode::terminal) ticker.emplace(display);
    report = worker::run_job_frames(job, frames, runner, display);
  }
  display.finish();
  if (!options.report_file.empty()) worker::write_report(report, options.report_file);
  std::fputs(worker::summary_table(report).c_str(), stdout);
  if (!options.report_file.empty()) std::printf("Report: %s\n", options.report_file.c_str());
  return report.all_done() ? 0 : 1;
}

int run_without_job(const worker::JobFile& job, const RunOptions& options, ConsoleView& view) {
  worker::NodeLaunch launch;
  launch.node_binary = options.node_binary;
  launch.node_args = options.node_args;
  launch.node_env = options.node_env;
  launch.work_dir = make_work_dir(options.work_dir);
  launch.token = options.token;
  launch.timeout_ms = options.timeout_ms;
  launch.stall_ms = static_cast<int>(options.stall_timeout_seconds * 1000);
  worker::NodeSession session(launch, 1, 1, [&view](worker::Direction direction, const std::string& payload) {
    view.message(direction, payload);
  });
  std::vector<std::string> failures;
  try {
    session.open();
    view.note("Started " + options.node_binary + " (pid " + std::to_string(session.pid()) + ", TMP " +
              session.tmp_folder().string() + ")");
    const std::string problem = session.run_settings_and_scripts(job, worker::JobRequestAnswers(job));
    if (!problem.empty()) failures.push_back(problem);
  } catch (const worker::NodeLost& lost) {
    failures.push_back(lost.what());
    session.kill();
  }
  const std::string ending = session.finish();
  if (!ending.empty()) failures.push_back(ending);
  for (const auto& failure : failures) view.note("FAILED: " + failure, true);
  view.note(failures.empty() ? "Every setting and script got the expected reply; the node ended cleanly"
                             : std::to_string(failures.size()) + " failure(s)",
            !failures.empty());
  return failures.empty() ? 0 : 1;
}

}  // namespace paravelle::farm
