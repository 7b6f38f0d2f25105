// One node of a job: its process (in a process group of its own, with its own port, token and TMP
// folder), its connection, the job start, its frames and the end of its session. Every wait during
// a job command, for the node's next message or for it to read ours, is bounded by the stall
// time-out, so a hung render is noticed and the node ended.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "worker/farm_worker.h"
#include "worker/frame_ledger.h"
#include "worker/job_file.h"
#include "worker/poll_wait.h"
#include "worker/task_log.h"

namespace paravelle::worker {

// Every failure of a session is one of these exceptions (or a JobFileError for a job that cannot be
// started at all); only a frame's try ends in a record, NodeTry, because the ledger keeps it.
//
// The node can serve no more: it stalled (sent or read nothing in time), died, closed the
// connection or ended its session. Its process group has to be killed and a fresh node started.
struct NodeLost : WorkerError {
  using WorkerError::WorkerError;
};

// The node refused what it was given, in its own words: an error reply to a setting, StartJob, a
// script or EndJob, or a reply with which it ended its session (a failing script, a command it
// cannot read). Every node would answer the same, so the job stops rather than tries another node.
struct NodeRefused : WorkerError {
  using WorkerError::WorkerError;
};

struct NodeLaunch {
  std::string node_binary;
  std::vector<std::string> node_args;
  std::vector<std::pair<std::string, std::string>> node_env;
  std::filesystem::path work_dir;    // each node's TMP folder is made inside
  std::filesystem::path report_dir;  // crash files land here
  std::filesystem::path logs_dir;    // frame-<n>.log and job-start-<node>-<start>.log; empty: none
  std::uint64_t log_cap = TaskLog::kDefaultCap;
  std::string token;        // the token this node must send
  int timeout_ms = 120000;  // the longest wait for the handshake, settings and scripts
  int stall_ms = 600000;    // the longest silence during StartJob and RenderTask; 0: none
};

struct NodeTry : TryOutcome {
  bool node_lost = false;  // the node must be replaced
};

class NodeSession {
 public:
  // `node` counts from 1, `start` counts the node's starts from 1 (a replaced node is start 2...);
  // together they name the node's TMP folder.
  NodeSession(NodeLaunch launch, int node, int start, MessageObserver observer);
  NodeSession(const NodeSession&) = delete;
  NodeSession& operator=(const NodeSession&) = delete;
  ~NodeSession();

  // Starts the process and opens the session. NodeLost when the node exits or never connects.
  void open();
  // From starting the process to the handshake's answer.
  double start_seconds() const { return start_seconds_; }

  // Settings before the start, StartJob, settings after it, the scripts. JobFileError, before
  // anything is sent, for a job without a scene; NodeRefused; NodeLost.
  void start_job(const JobFile& job, const RequestHandler& answers);
  // The command-free variant for --without-job: the settings and the scripts, in order.
  void run_settings_and_scripts(const JobFile& job, const RequestHandler& answers);
  // One try of one frame, with the output files checked, written to the frame's log under a heading
  // naming the try. Never throws for the node's faults: they are the record's.
  NodeTry render(std::int32_t frame, const RequestHandler& answers, int try_number = 1);
  // EndJob (when a job runs), close the connection, wait for the process; then NodeRefused for an
  // EndJob refused, NodeLost for a node that failed it or exited with an error. The exit code of a
  // node that ended its session on a fatal reply, or that was killed, is not one.
  void finish();
  // Kills the node's whole process group.
  void kill();

  // "; its standard error ends: "..." "..."" when the process has ended and said something there
  // (a node that exits before its job start completed usually says why); "" otherwise.
  std::string last_words() const;
  // The job start's log (the handshake, the settings, StartJob, the scripts, EndJob); empty without logs.
  std::filesystem::path start_log() const { return start_log_ ? start_log_->path() : std::filesystem::path(); }

  const std::filesystem::path& tmp_folder() const { return tmp_folder_; }
  // The open connection, for measuring single commands on a started node.
  FarmWorker& worker_for_benchmarks() { return worker_; }
  pid_t pid() const { return process_ ? process_->pid() : -1; }

 private:
  // One exchange with the node; a failure of the connection becomes NodeLost, naming what the node
  // was doing and how long it was waited for.
  template <typename Exchange>
  auto talk(const char* during, int waited_ms, Exchange&& exchange) -> decltype(exchange());
  void run_batch(const std::vector<std::string>& settings);
  void run_scripts(const JobFile& job, const RequestHandler& answers);
  // NodeRefused (or NodeLost) when `conversation` is not what `kind` must end with.
  void require(StepKind kind, const std::string& command, const Conversation& conversation);
  // A reply that ended the node's session: NodeRefused, unless the node's end of the connection
  // failed (NodeLost).
  [[noreturn]] void session_ended(const std::string& command, const std::string& reply);
  void end_job();
  int stall_wait() const { return launch_.stall_ms > 0 ? launch_.stall_ms : -1; }
  // " (exit code N)" when the process ends within a second; a closed connection usually means it is.
  std::string exit_code_text() const;
  NodeTry render_try(std::int32_t frame, const RequestHandler& answers);
  std::vector<std::string> output_names(std::int32_t frame);
  // The crash file of a try with trapped faults, or nothing; WorkerError when it cannot be written.
  std::optional<std::string> save_crash(std::int32_t frame, const Conversation& conversation) const;

  const NodeLaunch launch_;
  int node_;
  int start_;
  std::filesystem::path tmp_folder_;
  MessageObserver observer_;
  FarmWorker worker_;
  std::unique_ptr<NodeProcess> process_;
  std::unique_ptr<TaskLog> start_log_;
  TaskLog* log_ = nullptr;  // where the messages go now: the job start's log or a frame's
  double start_seconds_ = 0;
  bool job_running_ = false;
  bool session_over_ = false;  // the node ended its session with a fatal reply
  bool killed_ = false;
};

}  // namespace paravelle::worker
