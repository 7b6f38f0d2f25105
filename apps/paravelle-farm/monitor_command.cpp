#include "monitor_command.h"

#include <chrono>
#include <cstdio>

#include "worker/monitor/monitor_server.h"
#include "worker/task_log.h"
#include "worker/monitor/report_board.h"

namespace paravelle::farm {

std::unique_ptr<monitor::JobBoard> live_board(const worker::FrameLedger& ledger, worker::ReportHeader header,
                                              std::size_t job_frames, int nodes,
                                              const std::filesystem::path& logs_folder) {
  std::vector<std::int32_t> frames;
  std::vector<monitor::FrameState> states(ledger.frame_count(), monitor::FrameState::waiting);
  int tries = 0;
  frames.reserve(ledger.frame_count());
  for (std::size_t i = 0; i < ledger.frame_count(); ++i) frames.push_back(ledger.frame_at(i));
  // Only a resumed run has frames that are final before it starts.
  if (ledger.frames_to_render() < ledger.frame_count()) {
    for (std::size_t i = 0; i < ledger.frame_count(); ++i) {
      const worker::FrameRecord record = ledger.record(i);
      if (record.status == worker::FrameStatus::pending && i < job_frames) continue;
      states[i] = monitor::state_of(record);
      tries += record.tries;
    }
  }
  header.start_time = worker::unix_time_now();
  return std::make_unique<monitor::JobBoard>(
      std::move(header), std::move(frames), std::move(states),
      [&ledger, logs_folder](std::size_t index) {
        worker::FrameRecord record = ledger.record(index);
        // The record names its log once a try has ended; the first try's is being written already.
        if (record.log.empty() && !logs_folder.empty()) {
          const auto log = worker::frame_log_path(logs_folder, record.frame);
          std::error_code error;
          if (std::filesystem::exists(log, error)) record.log = log.string();
        }
        return record;
      },
      nodes, true, tries);
}

StopSignals::StopSignals() {
  ::sigemptyset(&signals_);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaddset(&signals_, signal);
  ::pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
}

StopSignals::~StopSignals() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void StopSignals::wait(std::optional<double> seconds) const {
  if (!seconds) {
    int signal = 0;
    ::sigwait(&signals_, &signal);
    return;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::max(0.0, *seconds));
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    const timespec step{static_cast<time_t>(left.count() / 1000000000), static_cast<long>(left.count() % 1000000000)};
    if (::sigtimedwait(&signals_, nullptr, &step) > 0) return;
  }
}

int serve_reports(const std::vector<std::string>& reports, const MonitorOptions& options) {
  std::vector<std::unique_ptr<monitor::JobBoard>> boards;  // outlives the server that reads them
  monitor::MonitorServer server(monitor::parse_listen_address(options.listen), options.token);
  std::vector<monitor::MonitoredJob> jobs;
  for (const auto& report : reports) {
    boards.push_back(monitor::board_from_report(report));
    jobs.push_back({boards.back().get(), std::filesystem::absolute(report).string()});
  }
  const StopSignals stop;
  server.serve(std::move(jobs));
  std::printf("monitor: %s\n", server.url().c_str());
  std::printf("serving %zu finished job(s) read-only; Ctrl-C ends it\n", reports.size());
  std::fflush(stdout);
  stop.wait(std::nullopt);
  return 0;
}

}  // namespace paravelle::farm
