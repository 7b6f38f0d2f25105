// Runs a job's frames on N nodes: one thread per node takes the next frame from the ledger,
// replaces its node when it stalls or dies (repeating the job start), and every try is recorded.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "worker/frame_ledger.h"
#include "worker/job_file.h"
#include "worker/job_report.h"
#include "worker/node_session.h"

namespace paravelle::worker {

// What a run shows while it goes; called from the node threads, so implementations lock.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // "starting", "job start", "idle", "stopped", "replacing"...
  virtual void node_state(int node, const std::string& state) = 0;
  virtual void frame_started(int node, std::int32_t frame, int try_number) = 0;
  // Every message the node sends ("FUNCTION: PROGRESS 37.5" ...).
  virtual void node_message(int node, const std::string& payload) = 0;
  // A try has ended; `final` when the frame will not be tried again.
  virtual void frame_finished(int node, const FrameRecord& record, bool final) = 0;
  // A line of the run's own; `problem` lines are shown even when quiet.
  virtual void note(const std::string& text, bool problem) = 0;
};

// Several observers of one run (the display and the monitor), each told everything, in order.
class RunObservers : public RunObserver {
 public:
  explicit RunObservers(std::vector<RunObserver*> observers) : observers_(std::move(observers)) {}
  void node_state(int node, const std::string& state) override;
  void frame_started(int node, std::int32_t frame, int try_number) override;
  void node_message(int node, const std::string& payload) override;
  void frame_finished(int node, const FrameRecord& record, bool final) override;
  void note(const std::string& text, bool problem) override;

 private:
  std::vector<RunObserver*> observers_;
};

// Ends a run early from another thread (an operator's Ctrl-C): the nodes are killed, no frame is
// handed out any more, and the frames not yet final stay "not rendered" with the reason, so that
// the run's report can be resumed from.
class RunInterrupt {
 public:
  void interrupt(const std::string& why);
  std::optional<std::string> reason() const;
  // The process groups of the nodes a run has now; interrupt() kills them.
  void track(pid_t group);
  void untrack(pid_t group);

 private:
  mutable std::mutex mutex_;
  std::vector<pid_t> groups_;
  std::optional<std::string> why_;
};

struct RunnerOptions {
  NodeLaunch launch;
  int nodes = 1;
  int retries = 2;                    // per frame, and per node for consecutive failed starts
  RunInterrupt* interrupt = nullptr;  // none: the run cannot be ended early
};

struct RunTotals {
  int node_starts = 0;
  double elapsed_seconds = 0;
  double start_time = 0;  // seconds since 1970
  double end_time = 0;
};

// Renders the ledger's frames of `job`. Every frame ends done, failed or not rendered (when the job
// start is refused, or no node can be started); its record says which, and why.
RunTotals run_job(const JobFile& job, FrameLedger& ledger, const RunnerOptions& options, RunObserver& observer);

// The same for a list of frames, with the whole report in memory: for tests and small jobs.
JobReport run_job_frames(const JobFile& job, const std::vector<std::int32_t>& frames, const RunnerOptions& options,
                         RunObserver& observer);

}  // namespace paravelle::worker
