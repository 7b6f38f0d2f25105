// The web monitor from the command line: `--monitor [HOST:]PORT` serves a running job (its board is
// made here from the run's ledger), `paravelle-farm monitor REPORT...` serves finished ones.
#pragma once

#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "worker/frame_ledger.h"
#include "worker/monitor/job_board.h"

namespace paravelle::farm {

struct MonitorOptions {
  std::string listen;  // "[HOST:]PORT"; empty: no monitor
  std::string token;   // empty: none (only on a loopback address)
  double linger_seconds = 0;
};

// The board of a run about to start: the ledger's frames (the first `job_frames` are the job's, the
// rest kept from an earlier report), as they stand, on `nodes` nodes. A frame being tried shows the
// log its try is writing in `logs_folder`.
std::unique_ptr<monitor::JobBoard> live_board(const worker::FrameLedger& ledger, worker::ReportHeader header,
                                              std::size_t job_frames, int nodes,
                                              const std::filesystem::path& logs_folder);

// `paravelle-farm monitor`: serves the reports until SIGINT, SIGTERM or SIGHUP. 0 then.
int serve_reports(const std::vector<std::string>& reports, const MonitorOptions& options);

// While it lives, SIGINT, SIGTERM and SIGHUP are blocked in the calling thread and in the threads it
// starts (a server's), so that they end wait() instead of the program.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  // Returns after `seconds` (never when none), or at once when one of the signals arrives.
  void wait(std::optional<double> seconds) const;

 private:
  sigset_t signals_;
  sigset_t previous_;
};

}  // namespace paravelle::farm
