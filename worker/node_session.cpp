#include "worker/node_session.h"

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

#include "worker/command_text.h"
#include "worker/job_report.h"
#include "worker/job_replies.h"
#include "worker/settings_batch.h"

namespace paravelle::worker {
namespace {

using Seconds = std::chrono::duration<double>;

constexpr int kAcceptStepMs = 100;
constexpr int kExitWaitMs = 10000;
constexpr int kExitCodeWaitMs = 1000;
constexpr const char* kTrappedFault = "Trapped SEH Exception";

// Asks the node for the files the last frame wrote, one per line; "" when it wrote none. The
// list ends at the first index without a file; the throw leaves the loop there, so a frame costs
// one call per file it wrote, not one per index the loop could reach.
constexpr const char* kOutputListScript =
    "(local s = \"\"\n"
    "try (for i = 0 to 2147483646 do (local f = TaskmereUtil.GetOutputFilename i; if f == undefined do throw \"end\"; "
    "s = s + f + \"\\n\")) catch ()\n"
    "s)";

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// The node names files with backslashes (its path texts follow Windows rules); this machine does not.
std::string local_path(std::string path) {
  for (char& c : path) c = c == '\\' ? '/' : c;
  return path;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// Copies what the node printed while a task ran into the task's log, on every way out of the task:
// a script's print goes to the node's standard output, not over the connection.
class PrintedCopy {
 public:
  PrintedCopy(const NodeProcess* process, TaskLog* log)
      : process_(process),
        log_(log),
        out_(process ? process->output_size(NodeProcess::Stream::out) : 0),
        err_(process ? process->output_size(NodeProcess::Stream::err) : 0) {}
  PrintedCopy(const PrintedCopy&) = delete;
  PrintedCopy& operator=(const PrintedCopy&) = delete;
  ~PrintedCopy() {
    if (!process_ || !log_) return;
    // No more than the log can hold: whatever lies past its cap would be dropped anyway.
    constexpr std::size_t kLimit = TaskLog::kDefaultCap;
    log_->printed("stdout", process_->output_since(NodeProcess::Stream::out, out_, kLimit));
    log_->printed("stderr", process_->output_since(NodeProcess::Stream::err, err_, kLimit));
  }

 private:
  const NodeProcess* process_;
  TaskLog* log_;
  std::uint64_t out_;
  std::uint64_t err_;
};

std::optional<int> exit_code_now(NodeProcess& process) {
  try {
    return process.wait(0);
  } catch (const TimeoutError&) {
    return std::nullopt;
  }
}

}  // namespace

NodeSession::NodeSession(NodeLaunch launch, int node, int start, MessageObserver observer)
    : launch_(std::move(launch)),
      node_(node),
      start_(start),
      tmp_folder_(launch_.work_dir / ("node-" + std::to_string(node) + "-" + std::to_string(start))),
      observer_(std::move(observer)) {
  worker_.set_observer([this](Direction direction, const std::string& payload) {
    if (log_) log_->message(direction == Direction::from_node, payload);
    if (observer_) observer_(direction, payload);
  });
}

NodeSession::~NodeSession() {
  if (process_ && process_->running()) kill();
}

void NodeSession::open() {
  std::error_code error;
  std::filesystem::create_directories(tmp_folder_, error);
  if (error) throw WorkerError("cannot create the node's folder " + tmp_folder_.string() + ": " + error.message());
  auto env = launch_.node_env;
  env.emplace_back("TMP", tmp_folder_.string());
  std::vector<std::string> argv = {launch_.node_binary, "--port", std::to_string(worker_.port()), "--token",
                                   launch_.token};
  argv.insert(argv.end(), launch_.node_args.begin(), launch_.node_args.end());
  const auto begin = Clock::now();
  // What the node prints stays beside its log: node-<k>-<start>.out and .err in its folder.
  process_ = std::make_unique<NodeProcess>(argv, env, true, tmp_folder_ / tmp_folder_.filename());
  if (!launch_.logs_dir.empty()) {
    const std::string name = "job-start-" + std::to_string(node_) + "-" + std::to_string(start_) + ".log";
    start_log_ = std::make_unique<TaskLog>(launch_.logs_dir / name, launch_.log_cap);
    start_log_->heading("job start of node " + std::to_string(node_) + " (start " + std::to_string(start_) + ", pid " +
                        std::to_string(process_->pid()) + ", TMP " + tmp_folder_.string() + ")");
    log_ = start_log_.get();
  }
  const PrintedCopy printed(process_.get(), start_log_.get());
  // A node that dies before it connects must not cost the whole connect time-out.
  const Deadline deadline(launch_.timeout_ms);
  for (;;) {
    try {
      worker_.accept(kAcceptStepMs);
      break;
    } catch (const TimeoutError&) {
    }
    if (const auto code = exit_code_now(*process_)) {
      throw NodeLost("the node exited with code " + std::to_string(*code) + " before it connected");
    }
    if (deadline.expired())
      throw NodeLost("the node did not connect within " + std::to_string(launch_.timeout_ms) + " ms");
  }
  try {
    const std::string token = worker_.receive_raw(launch_.timeout_ms);
    if (token != launch_.token)
      throw NodeLost("the node sent the token \"" + token + "\", expected \"" + launch_.token + "\"");
    const std::string answer = worker_.handshake(launch_.timeout_ms);
    if (!answer.starts_with("Paravelle ") ||
        answer.find("Incompatible plugin versions detected") != std::string::npos) {
      throw NodeLost("the node refused the handshake: " + answer);
    }
  } catch (const NodeLost&) {
    throw;
  } catch (const WorkerError& error) {
    throw NodeLost(lost_text(error, "the handshake", launch_.timeout_ms));
  }
  start_seconds_ = Seconds(Clock::now() - begin).count();
}

std::string NodeSession::lost_text(const WorkerError& error, const char* during, int waited_ms) const {
  if (dynamic_cast<const TimeoutError*>(&error)) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", waited_ms / 1000.0);
    return std::string("the node sent nothing for ") + seconds + " s during " + during + " (stalled)";
  }
  std::string text = std::string(error.what()) + " during " + during;
  // A closed connection usually means the process is ending; its exit code tells why.
  if (process_ && dynamic_cast<const ClosedError*>(&error)) {
    try {
      text += " (exit code " + std::to_string(process_->wait(kExitCodeWaitMs)) + ")";
    } catch (const TimeoutError&) {
    }
  }
  return text;
}

std::string NodeSession::session_ended(const std::string& command, const std::string& reply) {
  session_over_ = true;
  job_running_ = false;
  const std::string text = command + ": " + first_line(reply);
  // The node's own end of the connection failed: another node may well do better.
  if (reply.find("simple_socket") != std::string::npos) throw NodeLost("the node ended its session: " + text);
  return text;
}

std::string NodeSession::run_batch(const std::vector<std::string>& settings) {
  BatchResult result;
  try {
    result = send_settings(worker_, settings, launch_.timeout_ms);
  } catch (const WorkerError& error) {
    throw NodeLost(lost_text(error, "the settings", launch_.timeout_ms));
  }
  if (result.session_over) return session_ended(result.failures.back().command, result.failures.back().reply);
  if (result.failures.empty()) return {};
  return result.failures.front().command + ": " + result.failures.front().reply;
}

std::string NodeSession::run_scripts(const JobFile& job, const RequestHandler& answers) {
  for (const auto& script : job.scripts) {
    Conversation conversation;
    try {
      conversation = worker_.command(script, launch_.timeout_ms, answers);
    } catch (const WorkerError& error) {
      throw NodeLost(lost_text(error, "a script", launch_.timeout_ms));
    }
    const std::string problem = reply_problem(StepKind::script, conversation);
    if (problem.empty()) continue;
    if (is_session_ending_reply(conversation.final_reply())) return session_ended(script, problem);
    return script + ": " + problem;
  }
  return {};
}

std::string NodeSession::start_job(const JobFile& job, const RequestHandler& answers) {
  const PrintedCopy printed(process_.get(), start_log_.get());
  if (std::string problem = run_batch(job.settings_before_start); !problem.empty()) return problem;
  if (!job.scene) throw JobFileError(job.source.string() + ": a job needs \"scene\"");
  const std::string start = command_text("StartJob", {*job.scene, job.camera});
  Conversation conversation;
  try {
    conversation = worker_.job_command(start, stall_wait(), answers);
  } catch (const WorkerError& error) {
    throw NodeLost(lost_text(error, "StartJob", launch_.stall_ms));
  }
  if (is_session_ending_reply(conversation.final_reply())) return session_ended(start, conversation.final_reply());
  if (std::string problem = reply_problem(StepKind::start_job, conversation); !problem.empty()) {
    return start + ": " + problem;
  }
  job_running_ = true;
  if (std::string problem = run_batch(job.settings_after_start); !problem.empty()) return problem;
  return run_scripts(job, answers);
}

std::string NodeSession::run_settings_and_scripts(const JobFile& job, const RequestHandler& answers) {
  std::vector<std::string> settings = job.settings_before_start;
  settings.insert(settings.end(), job.settings_after_start.begin(), job.settings_after_start.end());
  if (std::string problem = run_batch(settings); !problem.empty()) return problem;
  return run_scripts(job, answers);
}

NodeTry NodeSession::render(std::int32_t frame, const RequestHandler& answers, int try_number) {
  std::unique_ptr<TaskLog> frame_log;
  if (!launch_.logs_dir.empty()) {
    frame_log =
        std::make_unique<TaskLog>(frame_log_path(launch_.logs_dir, frame), launch_.log_cap);
    frame_log->heading("frame " + std::to_string(frame) + ", try " + std::to_string(try_number) + ", node " +
                       std::to_string(node_) + " (start " + std::to_string(start_) + ", pid " + std::to_string(pid()) +
                       ")");
    log_ = frame_log.get();
  }
  NodeTry outcome;
  {
    const PrintedCopy printed(process_.get(), frame_log.get());
    outcome = render_try(frame, answers);
  }
  log_ = start_log_.get();
  if (!frame_log) return outcome;
  outcome.log = frame_log->path().string();
  if (outcome.crash_report) frame_log->note("the crash report is kept in " + *outcome.crash_report);
  if (outcome.succeeded) {
    frame_log->note("the try succeeded in " + seconds_text(outcome.render_seconds) + " s");
  } else {
    frame_log->note("the try failed: " + outcome.problem + last_words());
  }
  return outcome;
}

NodeTry NodeSession::render_try(std::int32_t frame, const RequestHandler& answers) {
  NodeTry outcome;
  outcome.node = node_;
  const auto begin = Clock::now();
  Conversation conversation;
  try {
    conversation = worker_.job_command("RenderTask," + std::to_string(frame), stall_wait(), answers);
  } catch (const WorkerError& error) {
    outcome.node_lost = true;
    outcome.problem = lost_text(error, "the frame", launch_.stall_ms);
    outcome.render_seconds = Seconds(Clock::now() - begin).count();
    return outcome;
  }
  outcome.render_seconds = Seconds(Clock::now() - begin).count();
  for (const auto& error : conversation.errors()) {
    if (error.find(kTrappedFault) != std::string::npos) outcome.crash_report = save_crash(frame, error);
  }
  if (is_session_ending_reply(conversation.final_reply())) {
    session_over_ = true;
    outcome.node_lost = true;
    outcome.problem = "the node ended its session: " + first_line(conversation.final_reply());
    return outcome;
  }
  outcome.problem = first_line(reply_problem(StepKind::render_task, conversation));
  if (!outcome.problem.empty()) return outcome;
  try {
    outcome.outputs = check_outputs(frame, outcome.problem);
  } catch (const WorkerError& error) {
    outcome.node_lost = true;
    outcome.problem = lost_text(error, "the output check", launch_.timeout_ms);
    return outcome;
  }
  outcome.succeeded = outcome.problem.empty();
  return outcome;
}

std::vector<OutputFile> NodeSession::check_outputs(std::int32_t frame, std::string& problem) {
  const std::string command = command_text("ExecuteStringScript", {std::to_string(frame), kOutputListScript});
  const Conversation conversation = worker_.command(command, launch_.timeout_ms);
  const std::string& reply = conversation.final_reply();
  if (is_session_ending_reply(reply)) throw ClosedError("the node ended its session: " + first_line(reply));
  if (!reply.starts_with("SUCCESS: ")) {
    problem = "the node did not list the frame's output files: " + first_line(reply);
    return {};
  }
  std::vector<OutputFile> outputs;
  for (const auto& name : lines_of(reply.substr(9))) {
    const std::string path = local_path(name);
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error) {
      problem = "output " + path + " is missing";
      return outputs;
    }
    if (size == 0) problem = "output " + path + " is empty";
    outputs.push_back({path, size});
    if (!problem.empty()) return outputs;
  }
  return outputs;
}

std::string NodeSession::save_crash(std::int32_t frame, const std::string& reply) const {
  const std::string stem = "frame-" + std::to_string(frame);
  const std::filesystem::path crash = launch_.report_dir / (stem + "-crash.txt");
  std::error_code error;
  std::filesystem::create_directories(launch_.report_dir, error);
  std::ofstream(crash, std::ios::binary | std::ios::trunc) << reply << "\n";
  // The node's log tells what led up to the fault; keep it beside the report.
  std::filesystem::copy_file(tmp_folder_ / "paravelle.log", launch_.report_dir / (stem + "-paravelle.log"),
                             std::filesystem::copy_options::overwrite_existing, error);
  return crash.string();
}

std::string NodeSession::finish() {
  std::string problem;
  log_ = start_log_.get();
  const PrintedCopy printed(process_.get(), start_log_.get());
  if (job_running_ && worker_.connected()) {
    try {
      problem = reply_problem(StepKind::end_job, worker_.job_command("EndJob", launch_.timeout_ms));
      if (!problem.empty()) problem = "EndJob: " + problem;
    } catch (const WorkerError& error) {
      problem = lost_text(error, "EndJob", launch_.timeout_ms);
    }
    job_running_ = false;
  }
  worker_.close();
  if (!process_) return problem;
  int code;
  try {
    code = process_->wait(kExitWaitMs);
  } catch (const TimeoutError&) {
    code = process_->kill_group();
  }
  // A node whose session a fatal reply ended exits with a failure, and a killed one with its signal:
  // both were reported already, or were the farm's own doing.
  if (code != 0 && problem.empty() && !session_over_ && !killed_) {
    problem = "the node exited with code " + std::to_string(code) + last_words();
  }
  return problem;
}

void NodeSession::kill() {
  worker_.close();
  killed_ = true;
  if (process_) process_->kill_group();
}

std::string NodeSession::last_words() const {
  constexpr std::size_t kLines = 3;
  if (!process_ || process_->running()) return {};
  std::string text;
  for (const auto& line : process_->stderr_tail(kLines)) text += " \"" + line + "\"";
  return text.empty() ? text : "; its standard error ends:" + text;
}

}  // namespace paravelle::worker
