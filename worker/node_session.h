// One node of a job: its process (in a process group of its own, with its own port, token and TMP
// folder), its connection, the job start, its frames and the end of its session. Every wait during
// a job command is bounded by the stall time-out, so a hung render is noticed and the node ended.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "worker/farm_worker.h"
#include "worker/frame_ledger.h"
#include "worker/job_file.h"
#include "worker/poll_wait.h"
#include "worker/task_log.h"

namespace paravelle::worker {

// The node can serve no more: it stalled, died, closed the connection or ended its session.
// Its process group has to be killed and a fresh node started.
struct NodeLost : WorkerError {
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

  // Settings before the start, StartJob, settings after it, the scripts. Empty when all went
  // well, else the node's reply that refuses the job: an error reply, or a reply with which the
  // node ended its session (a failing script, a command it cannot read), which every node would
  // send alike. NodeLost when the node stalls, dies or loses the connection.
  std::string start_job(const JobFile& job, const RequestHandler& answers);
  // The command-free variant for --without-job: the settings and the scripts, in order.
  std::string run_settings_and_scripts(const JobFile& job, const RequestHandler& answers);
  // One try of one frame, with the output files checked, written to the frame's log under a heading
  // naming the try. Never throws for the node's faults.
  NodeTry render(std::int32_t frame, const RequestHandler& answers, int try_number = 1);
  // EndJob (when a job runs), close the connection, wait for the process. Returns a problem or "":
  // the exit code of a node that ended its session on a fatal reply, or that was killed, is not one.
  std::string finish();
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
  std::string run_batch(const std::vector<std::string>& settings);
  std::string run_scripts(const JobFile& job, const RequestHandler& answers);
  // The text of a reply that ended the node's session during the job start: a refusal, unless the
  // node's end of the connection failed (then NodeLost).
  std::string session_ended(const std::string& command, const std::string& reply);
  int stall_wait() const { return launch_.stall_ms > 0 ? launch_.stall_ms : -1; }
  std::string lost_text(const WorkerError& error, const char* during, int waited_ms) const;
  NodeTry render_try(std::int32_t frame, const RequestHandler& answers);
  std::vector<OutputFile> check_outputs(std::int32_t frame, std::string& problem);
  std::string save_crash(std::int32_t frame, const std::string& reply) const;

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
