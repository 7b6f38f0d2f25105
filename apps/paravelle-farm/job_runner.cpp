#include "job_runner.h"

#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <regex>
#include <thread>

#include "worker/command_text.h"
#include "worker/frame_ledger.h"
#include "worker/job_report.h"
#include "worker/job_requests.h"
#include "worker/job_runner.h"
#include "worker/monitor/monitor_server.h"
#include "worker/progress_display.h"
#include "worker/settings_review.h"

namespace paravelle::farm {
namespace {

// The folder the nodes' TMP folders go into, and whether this run made it (only then may it remove it).
struct WorkFolder {
  std::filesystem::path path;
  bool made = false;
};

WorkFolder make_work_dir(const std::filesystem::path& chosen) {
  if (!chosen.empty()) {
    const bool made = std::filesystem::create_directories(chosen);
    return {std::filesystem::absolute(chosen), made};
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "paravelle-farm-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw worker::WorkerError("cannot create a work folder " + pattern);
  return {pattern, true};
}

// The nodes' folders go; the work folder too when this run made it and nothing else is left in it
// (the logs stay when they were written into it for want of a report folder). False when a node
// folder could not be removed.
bool remove_work_dir(const WorkFolder& work) {
  static const std::regex node_folder("node-[0-9]+-[0-9]+");
  std::error_code error;
  bool removed = true;
  for (const auto& entry : std::filesystem::directory_iterator(work.path, error)) {
    if (!entry.is_directory() || !std::regex_match(entry.path().filename().string(), node_folder)) continue;
    std::error_code failed;
    std::filesystem::remove_all(entry.path(), failed);
    removed = removed && !failed;
  }
  if (work.made && std::filesystem::is_empty(work.path, error)) std::filesystem::remove(work.path, error);
  return removed && !error;
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

// For as long as it lives, SIGINT, SIGTERM and SIGHUP end the run early instead of the program: the
// nodes are killed and the report is still written, listing what was done, so the run can be
// resumed. The signals are blocked in every thread (the nodes' threads inherit the mask, the nodes
// do not) and waited for by a thread of its own.
class SignalWatch {
 public:
  SignalWatch(worker::RunInterrupt& interrupt, worker::ProgressDisplay& display) {
    ::sigemptyset(&signals_);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaddset(&signals_, signal);
    ::pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
    thread_ = std::jthread([this, &interrupt, &display](std::stop_token stop) {
      const timespec step{0, 100 * 1000 * 1000};
      while (!stop.stop_requested()) {
        const int signal = ::sigtimedwait(&signals_, nullptr, &step);
        if (signal <= 0) continue;
        const std::string why = std::string("the run was interrupted (") + ::strsignal(signal) + ")";
        display.note(why + ": stopping the nodes; the report will list what was done", true);
        interrupt.interrupt(why);
      }
    });
  }
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;
  ~SignalWatch() {
    thread_.request_stop();
    thread_.join();
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }

 private:
  sigset_t signals_;
  sigset_t previous_;
  std::jthread thread_;
};

worker::DisplayMode display_mode(bool quiet) {
  if (quiet) return worker::DisplayMode::quiet;
  return ::isatty(STDOUT_FILENO) ? worker::DisplayMode::terminal : worker::DisplayMode::plain;
}

[[noreturn]] void refuse(const std::string& problem) { throw worker::JobFileError(problem); }

void check_file(const worker::JobFile& job, const std::string& what, const std::string& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) refuse(job.source.string() + ": " + what + " " + path + ": no such file");
  if (std::filesystem::is_directory(path, error))
    refuse(job.source.string() + ": " + what + " " + path + ": is a folder, not a file");
}

// An earlier run's frames, as far as they still stand: a done frame whose outputs are all still on
// disk is kept, every other frame of the job is rendered again, and frames the job does not list
// keep their entries after the job's own.
worker::ReportHeader keep_earlier_frames(const std::filesystem::path& report, worker::FrameLedger& ledger) {
  std::vector<std::pair<std::int32_t, std::size_t>> by_frame;
  by_frame.reserve(ledger.frame_count());
  for (std::size_t i = 0; i < ledger.frame_count(); ++i) by_frame.emplace_back(ledger.frame_at(i), i);
  std::sort(by_frame.begin(), by_frame.end());
  return worker::read_report(report, [&](worker::FrameRecord&& record) {
    const auto [first, last] =
        std::equal_range(by_frame.begin(), by_frame.end(), std::make_pair(record.frame, std::size_t{0}),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    if (first == last) return ledger.append_kept(record);
    if (record.status != worker::FrameStatus::done) return;
    for (const auto& output : record.outputs) {
      std::error_code error;
      if (!std::filesystem::exists(output.path, error)) return;
    }
    const std::int64_t kept = ledger.keep_record(record);
    for (auto it = first; it != last; ++it) ledger.keep(it->second, kept);
  });
}

worker::RunnerOptions runner_options(const RunOptions& options, const WorkFolder& work) {
  worker::RunnerOptions runner;
  runner.launch.node_binary = options.node_binary;
  runner.launch.node_args = options.node_args;
  runner.launch.node_env = options.node_env;
  runner.launch.work_dir = work.path;
  const auto report = options.report_file.empty() ? options.resume_report : options.report_file;
  runner.launch.report_dir = report.empty() ? work.path : std::filesystem::absolute(report).parent_path();
  runner.launch.logs_dir =
      options.logs_dir.empty() ? runner.launch.report_dir / "logs" : std::filesystem::absolute(options.logs_dir);
  runner.launch.token = options.token;
  runner.launch.timeout_ms = options.timeout_ms;
  runner.launch.stall_ms = static_cast<int>(options.stall_timeout_seconds * 1000);
  runner.nodes = options.nodes;
  runner.retries = options.retries;
  return runner;
}

}  // namespace

void check_before_start(const worker::JobFile& job, const RunOptions& options) {
  if (!options.without_job && job.scene) check_file(job, "the scene", *job.scene);
  for (const auto& script : job.scripts) {
    const auto fields = worker::split_command_fields(script);
    if (fields.size() > 1 && fields[0] == "ExecuteMaxScriptFile") check_file(job, "the script", fields[1]);
  }
  if (!options.report_file.empty()) {
    const auto report = std::filesystem::absolute(options.report_file);
    std::error_code error;
    if (std::filesystem::is_directory(report, error))
      refuse("--report " + options.report_file.string() + ": is a folder; give the report's file name");
    if (!std::filesystem::is_directory(report.parent_path(), error))
      refuse("--report " + options.report_file.string() + ": the folder " + report.parent_path().string() +
             " does not exist");
  }
  if (!options.resume_report.empty()) worker::read_report(options.resume_report, [](worker::FrameRecord&&) {});
}

int run_frames(const worker::JobFile& job, const RunOptions& options) {
  const auto frames = options.frames.value_or(job.frames);
  if (!job.scene)
    throw worker::JobFileError(job.source.string() +
                               ": a job needs \"scene\" (use --without-job to send only the settings and scripts)");
  if (frames.empty()) throw worker::JobFileError(job.source.string() + ": a job needs \"frames\" to render");
  check_before_start(job, options);
  // Bound before anything starts, so that a port in use stops the run with nothing made.
  std::unique_ptr<monitor::JobBoard> board;
  std::optional<monitor::MonitorServer> server;
  if (!options.monitor.listen.empty()) {
    server.emplace(monitor::parse_listen_address(options.monitor.listen), options.monitor.token);
  }

  const WorkFolder work = make_work_dir(options.work_dir);
  worker::RunnerOptions runner = runner_options(options, work);
  worker::FrameLedger ledger(frames, options.retries, work.path);
  // The monitor reads the ledger: it stops serving before the ledger goes, however this ends.
  const struct StopServing {
    std::optional<monitor::MonitorServer>& server;
    ~StopServing() { server.reset(); }
  } stop_serving{server};
  worker::ReportHeader header;
  header.job_file = std::filesystem::absolute(job.source).string();
  header.host = worker::host_name();
  header.warnings = worker::settings_warnings(job, true);
  worker::ReportHeader earlier;
  if (!options.resume_report.empty()) earlier = keep_earlier_frames(options.resume_report, ledger);

  const auto mode = display_mode(options.quiet);
  const std::size_t to_render = ledger.frames_to_render();
  const int nodes = std::max(1, std::min<int>(options.nodes, static_cast<int>(to_render)));
  worker::ProgressDisplay display(stdout, mode, nodes, to_render, terminal_width());
  if (server) board = live_board(ledger, header, frames.size(), nodes, runner.launch.logs_dir);
  worker::RunObservers observer(board ? std::vector<worker::RunObserver*>{&display, board.get()}
                                      : std::vector<worker::RunObserver*>{&display});
  for (const auto& warning : header.warnings) observer.note("warning: " + warning, true);
  if (!options.resume_report.empty()) {
    if (!earlier.job_file.empty() && earlier.job_file != header.job_file)
      observer.note("warning: " + options.resume_report.string() + " is the report of " + earlier.job_file, true);
    observer.note("resuming from " + options.resume_report.string() + ": " +
                      std::to_string(frames.size() - std::min(frames.size(), to_render)) + " of " +
                      std::to_string(frames.size()) + " frame(s) done already",
                  false);
  }
  observer.note(std::to_string(to_render) + " frame(s) of " + job.source.string() + " on " +
                    std::to_string(runner.nodes) + " node(s); node folders in " + work.path.string() + ", logs in " +
                    runner.launch.logs_dir.string(),
                false);
  worker::RunInterrupt interrupt;
  runner.interrupt = &interrupt;
  std::optional<SignalWatch> signals(std::in_place, interrupt, display);
  // The monitor's threads start now: they inherit the blocked signals, which stay the run's.
  if (server) {
    server->serve({{board.get(), ""}});
    std::printf("monitor: %s\n", server->url().c_str());
    std::fflush(stdout);
  }
  worker::RunTotals totals;
  {
    std::optional<Ticker> ticker;
    if (mode == worker::DisplayMode::terminal) ticker.emplace(display);
    totals = worker::run_job(job, ledger, runner, observer);
  }
  display.finish();

  header.start_time = earlier.start_time > 0 ? earlier.start_time : totals.start_time;
  header.end_time = totals.end_time;
  header.node_starts = earlier.node_starts + totals.node_starts;
  header.elapsed_seconds = earlier.elapsed_seconds + totals.elapsed_seconds;
  const auto record_at = [&ledger](std::size_t i) { return ledger.record(i); };
  const bool all_done = ledger.all_done();
  const bool removed = all_done && !options.keep_work && remove_work_dir(work);
  if (!removed) header.work_dir = work.path.string();
  if (board) board->finish(header);

  const auto report_file = options.report_file.empty() ? options.resume_report : options.report_file;
  if (!report_file.empty()) worker::write_report(header, ledger.frame_count(), record_at, report_file);
  worker::print_summary(stdout, header, ledger.frame_count(), record_at);
  if (!report_file.empty()) std::printf("Report: %s\n", report_file.c_str());
  if (!removed) std::printf("Work folder kept: %s\n", work.path.c_str());
  if (server && options.monitor.linger_seconds > 0 && !interrupt.reason()) {
    std::printf("monitor: the finished job stays on show at %s for %s s (Ctrl-C ends it sooner)\n",
                server->url().c_str(), worker::seconds_text(options.monitor.linger_seconds).c_str());
    std::fflush(stdout);
    signals.reset();
    StopSignals().wait(options.monitor.linger_seconds);
  }
  return all_done ? 0 : 1;
}

int run_without_job(const worker::JobFile& job, const RunOptions& options, ConsoleView& view) {
  check_before_start(job, options);
  for (const auto& warning : worker::settings_warnings(job, false)) view.note("warning: " + warning, true);
  worker::NodeLaunch launch;
  launch.node_binary = options.node_binary;
  launch.node_args = options.node_args;
  launch.node_env = options.node_env;
  launch.work_dir = make_work_dir(options.work_dir).path;
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
    session.run_settings_and_scripts(job, worker::JobRequestAnswers(job));
  } catch (const worker::NodeRefused& refusal) {
    failures.push_back(refusal.what());
  } catch (const worker::NodeLost& lost) {
    failures.push_back(lost.what() + session.last_words());
    session.kill();
  }
  try {
    session.finish();
  } catch (const worker::WorkerError& ending) {
    failures.push_back(ending.what());
  }
  for (const auto& failure : failures) view.note("FAILED: " + failure, true);
  view.note(failures.empty() ? "Every setting and script got the expected reply; the node ended cleanly"
                             : std::to_string(failures.size()) + " failure(s)",
            !failures.empty());
  return failures.empty() ? 0 : 1;
}

}  // namespace paravelle::farm
