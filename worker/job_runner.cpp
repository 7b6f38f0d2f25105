#include "worker/job_runner.h"

#include <atomic>
#include <csignal>
#include <memory>
#include <thread>

#include "worker/job_requests.h"
#include "worker/poll_wait.h"

namespace paravelle::worker {
namespace {

using Seconds = std::chrono::duration<double>;

class NodeSlot {
 public:
  NodeSlot(int node, const JobFile& job, const RunnerOptions& options, FrameLedger& ledger, RunObserver& observer,
           std::atomic<int>& node_starts)
      : node_(node),
        job_(job),
        options_(options),
        ledger_(ledger),
        observer_(observer),
        node_starts_(node_starts),
        answers_(job) {}

  void run() {
    try {
      while (ensure_node()) {
        const auto index = ledger_.take();
        if (!index) break;
        render(*index);
      }
    } catch (const std::exception& error) {
      // The farm's own failure (its frame records cannot be written): nothing more can be recorded,
      // so no node goes on rendering.
      observer_.note("node " + std::to_string(node_) + ": the farm cannot go on: " + error.what(), true);
      try {
        ledger_.stop(std::string("the farm could not go on: ") + error.what());
      } catch (const std::exception&) {
      }
    }
    close();
  }

  // Why this slot gave up starting nodes; empty while it has not.
  const std::string& gave_up() const { return gave_up_; }

 private:
  // A node that has started the job, starting a fresh one when needed. False when this slot gives up.
  bool ensure_node() {
    while (!session_) {
      if (const auto why = interrupted()) ledger_.stop(*why);
      if (ledger_.stopped()) return false;
      if (failed_starts_ > options_.retries) {
        const std::string starts =
            std::to_string(failed_starts_) + (failed_starts_ == 1 ? " failed start" : " failed starts");
        gave_up_ = "node " + std::to_string(node_) + " gave up after " + starts + "; the last: " + last_failure_;
        observer_.note("node " + std::to_string(node_) + ": gave up after " + starts, true);
        observer_.node_state(node_, "stopped");
        return false;
      }
      if (!start_node()) return false;
    }
    return true;
  }

  bool start_node() {
    ++starts_;
    ++node_starts_;
    observer_.node_state(node_, "starting");
    NodeLaunch launch = options_.launch;
    // Each node start has a token of its own: a node left over from an earlier start cannot pass for it.
    launch.token += "." + std::to_string(node_) + "." + std::to_string(starts_);
    auto session = std::make_unique<NodeSession>(std::move(launch), node_, starts_,
                                                 [this](Direction direction, const std::string& payload) {
                                                   if (direction == Direction::from_node)
                                                     observer_.node_message(node_, payload);
                                                 });
    try {
      session->open();
      track(*session);
      observer_.node_state(node_, "job start");
      session->start_job(job_, answers_);
    } catch (const NodeRefused& refusal) {
      // The same job would be refused by every node: stop it rather than retry.
      ledger_.stop(std::string("the job start failed: ") + refusal.what());
      untrack(*session);
      observer_.note("node " + std::to_string(node_) + ": the job start failed: " + refusal.what() + log_hint(*session),
                     true);
      try {
        session->finish();
      } catch (const WorkerError&) {
        // How a refusing node ends adds nothing to its refusal.
      }
      observer_.node_state(node_, "stopped");
      return false;
    } catch (const JobFileError& error) {
      // A job this node cannot be given is one no node can: not a failed start.
      ledger_.stop(error.what());
      observer_.note("node " + std::to_string(node_) + ": " + error.what(), true);
      untrack(*session);
      session->kill();
      observer_.node_state(node_, "stopped");
      return false;
    } catch (const WorkerError& lost) {
      // NodeLost, or a node that could not even be launched (a missing program, no folder).
      ++failed_starts_;
      last_failure_ = lost.what() + session->last_words();
      observer_.note("node " + std::to_string(node_) + " (pid " + std::to_string(session->pid()) +
                         "): " + last_failure_ + "; killing it" + log_hint(*session),
                     true);
      untrack(*session);
      session->kill();
      return true;
    }
    failed_starts_ = 0;
    observer_.note("node " + std::to_string(node_) + ": started in " + seconds_text(session->start_seconds()) +
                       " s (pid " + std::to_string(session->pid()) + ", TMP " + session->tmp_folder().string() + ")",
                   false);
    observer_.node_state(node_, "idle");
    session_ = std::move(session);
    return true;
  }

  static std::string log_hint(const NodeSession& session) {
    const auto log = session.start_log();
    return log.empty() ? std::string() : " (log: " + log.string() + ")";
  }

  void render(std::size_t index) {
    const std::int32_t frame = ledger_.frame_at(index);
    const int try_number = ledger_.tries_of(index) + 1;
    observer_.frame_started(node_, frame, try_number);
    NodeTry outcome;
    try {
      outcome = session_->render(frame, answers_, try_number);
    } catch (const std::exception& error) {
      // Whatever went wrong, the frame must be accounted for, or the other nodes would wait for it for ever.
      outcome.node = node_;
      outcome.node_lost = true;
      outcome.problem = error.what();
    }
    const auto why = interrupted();
    if (outcome.node_lost) {
      if (!why) {
        observer_.note("node " + std::to_string(node_) + ", frame " + std::to_string(frame) + ": " + outcome.problem +
                           "; killing its process group and starting a fresh node",
                       true);
      }
      untrack(*session_);
      session_->kill();
      session_.reset();
    }
    if (why && !outcome.succeeded) {
      // Not the frame's fault: it stays unrendered, for a later run to do.
      ledger_.stop(*why);
      ledger_.give_back(index);
      return;
    }
    const bool final = ledger_.finish(index, outcome);
    observer_.frame_finished(node_, ledger_.record(index), final);
    if (session_) observer_.node_state(node_, "idle");
  }

  std::optional<std::string> interrupted() const {
    return options_.interrupt ? options_.interrupt->reason() : std::nullopt;
  }
  void track(const NodeSession& session) const {
    if (options_.interrupt) options_.interrupt->track(session.pid());
  }
  void untrack(const NodeSession& session) const {
    if (options_.interrupt) options_.interrupt->untrack(session.pid());
  }

  void close() {
    if (!session_) return;
    untrack(*session_);
    try {
      session_->finish();
    } catch (const WorkerError& problem) {
      observer_.note("node " + std::to_string(node_) + ": " + problem.what(), true);
    }
    session_.reset();
    observer_.node_state(node_, "stopped");
  }

  int node_;
  const JobFile& job_;
  const RunnerOptions& options_;
  FrameLedger& ledger_;
  RunObserver& observer_;
  std::atomic<int>& node_starts_;
  JobRequestAnswers answers_;
  std::unique_ptr<NodeSession> session_;
  int starts_ = 0;
  int failed_starts_ = 0;
  std::string last_failure_;
  std::string gave_up_;
};

}  // namespace

void RunObservers::node_state(int node, const std::string& state) {
  for (RunObserver* observer : observers_) observer->node_state(node, state);
}
void RunObservers::frame_started(int node, std::int32_t frame, int try_number) {
  for (RunObserver* observer : observers_) observer->frame_started(node, frame, try_number);
}
void RunObservers::node_message(int node, const std::string& payload) {
  for (RunObserver* observer : observers_) observer->node_message(node, payload);
}
void RunObservers::frame_finished(int node, const FrameRecord& record, bool final) {
  for (RunObserver* observer : observers_) observer->frame_finished(node, record, final);
}
void RunObservers::note(const std::string& text, bool problem) {
  for (RunObserver* observer : observers_) observer->note(text, problem);
}

void RunInterrupt::interrupt(const std::string& why) {
  std::lock_guard lock(mutex_);
  if (!why_) why_ = why;
  for (const pid_t group : groups_) ::kill(-group, SIGKILL);
}

std::optional<std::string> RunInterrupt::reason() const {
  std::lock_guard lock(mutex_);
  return why_;
}

void RunInterrupt::track(pid_t group) {
  std::lock_guard lock(mutex_);
  groups_.push_back(group);
  if (why_) ::kill(-group, SIGKILL);
}

void RunInterrupt::untrack(pid_t group) {
  std::lock_guard lock(mutex_);
  std::erase(groups_, group);
}

RunTotals run_job(const JobFile& job, FrameLedger& ledger, const RunnerOptions& options, RunObserver& observer) {
  RunTotals totals;
  totals.start_time = unix_time_now();
  const auto begin = Clock::now();
  std::atomic<int> node_starts{0};
  std::vector<std::unique_ptr<NodeSlot>> slots;
  try {
    check_job_start(job);
  } catch (const JobFileError& error) {
    // Before any node starts: no node could be given this job.
    ledger.stop(error.what());
  }
  const int nodes = std::max(1, std::min<int>(options.nodes, static_cast<int>(ledger.frames_to_render())));
  if (ledger.frames_to_render() > 0 && !ledger.stopped()) {
    for (int node = 1; node <= nodes; ++node) {
      slots.push_back(std::make_unique<NodeSlot>(node, job, options, ledger, observer, node_starts));
    }
  }
  {
    std::vector<std::jthread> threads;
    for (auto& slot : slots) threads.emplace_back([&slot] { slot->run(); });
  }
  // Every slot has given up or finished; frames still queued had no node left to render them.
  std::string why;
  for (const auto& slot : slots) {
    if (!slot->gave_up().empty()) why = slot->gave_up();
  }
  ledger.stop("no node was left to render it" + (why.empty() ? std::string() : " (" + why + ")"));
  totals.node_starts = node_starts;
  totals.elapsed_seconds = Seconds(Clock::now() - begin).count();
  totals.end_time = unix_time_now();
  return totals;
}

JobReport run_job_frames(const JobFile& job, const std::vector<std::int32_t>& frames, const RunnerOptions& options,
                         RunObserver& observer) {
  FrameLedger ledger(frames, options.retries);
  const RunTotals totals = run_job(job, ledger, options, observer);
  JobReport report;
  report.job_file = job.source.string();
  report.host = host_name();
  report.start_time = totals.start_time;
  report.end_time = totals.end_time;
  report.frames = ledger.records();
  report.node_starts = totals.node_starts;
  report.elapsed_seconds = totals.elapsed_seconds;
  return report;
}

}  // namespace paravelle::worker
