#include "worker/node_session.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <exception>
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

// A try of a frame failed, the node is fine: the frame's record says why.
struct FrameFailed : WorkerError {
  using WorkerError::WorkerError;
};

// Writes the seconds since its start to `seconds` on every way out of a scope.
class StopWatch {
 public:
  explicit StopWatch(double& seconds) : seconds_(seconds), begin_(Clock::now()) {}
  StopWatch(const StopWatch&) = delete;
  StopWatch& operator=(const StopWatch&) = delete;
  ~StopWatch() { seconds_ = Seconds(Clock::now() - begin_).count(); }

 private:
  double& seconds_;
  Clock::time_point begin_;
};

// Creates `path`, which must not exist yet (false when it does), and writes `text` into it. A file
// that cannot be written whole is removed, so that no report names a file that is not there.
bool write_new_file(const std::filesystem::path& path, const std::string& text) {
  const auto fail = [&path](int error) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return system_failure("the crash report could not be written to " + path.string(), error);
  };
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) return false;
    throw system_failure("the crash report could not be written to " + path.string(), errno);
  }
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = ::write(fd, text.data() + written, text.size() - written);
    if (count > 0) {
      written += static_cast<std::size_t>(count);
    } else if (count < 0 && errno != EINTR) {
      const int error = errno;
      ::close(fd);
      throw fail(error);
    }
  }
  // A full disk may show only now (network file systems report write errors at close).
  if (::close(fd) != 0) throw fail(errno);
  return true;
}

OutputFile checked_output(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  if (error) throw FrameFailed("output " + path + " is missing");
  return {path, size};
}

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

template <typename Exchange>
auto NodeSession::talk(const char* during, int waited_ms, Exchange&& exchange) -> decltype(exchange()) {
  const auto stalled = [&](const char* what) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", waited_ms / 1000.0);
    return NodeLost(std::string("the node ") + what + " for " + seconds + " s during " + during + " (stalled)");
  };
  try {
    return exchange();
  } catch (const SendTimeoutError&) {
    throw stalled("read nothing");
  } catch (const TimeoutError&) {
    throw stalled("sent nothing");
  } catch (const ClosedError& error) {
    throw NodeLost(std::string(error.what()) + " during " + during + exit_code_text());
  } catch (const WorkerError& error) {
    throw NodeLost(std::string(error.what()) + " during " + during);
  }
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
  talk("the handshake", launch_.timeout_ms, [this] { return worker_.greet(launch_.timeout_ms, launch_.token); });
  start_seconds_ = Seconds(Clock::now() - begin).count();
}

std::string NodeSession::exit_code_text() const {
  if (!process_) return {};
  try {
    return " (exit code " + std::to_string(process_->wait(kExitCodeWaitMs)) + ")";
  } catch (const TimeoutError&) {
    return {};
  }
}

void NodeSession::session_ended(const std::string& command, const std::string& reply) {
  session_over_ = true;
  job_running_ = false;
  const std::string text = command + ": " + first_line(reply);
  // The node's own end of the connection failed: another node may well do better.
  if (reply.find("simple_socket") != std::string::npos) throw NodeLost("the node ended its session: " + text);
  throw NodeRefused(text);
}

void NodeSession::require(StepKind kind, const std::string& command, const Conversation& conversation) {
  if (is_session_ending_reply(conversation.final_reply())) session_ended(command, conversation.final_reply());
  if (const std::string problem = reply_problem(kind, conversation); !problem.empty()) {
    throw NodeRefused(command + ": " + problem);
  }
}

void NodeSession::run_batch(const std::vector<std::string>& settings) {
  const BatchResult result =
      talk("the settings", launch_.timeout_ms, [&] { return send_settings(worker_, settings, launch_.timeout_ms); });
  if (result.session_over) session_ended(result.failures.back().command, result.failures.back().reply);
  if (!result.failures.empty()) {
    throw NodeRefused(result.failures.front().command + ": " + result.failures.front().reply);
  }
}

void NodeSession::run_scripts(const JobFile& job, const RequestHandler& answers) {
  for (const auto& script : job.scripts) {
    const Conversation conversation =
        talk("a script", launch_.timeout_ms, [&] { return worker_.command(script, launch_.timeout_ms, answers); });
    require(StepKind::script, script, conversation);
  }
}

void NodeSession::start_job(const JobFile& job, const RequestHandler& answers) {
  check_job_start(job);
  const PrintedCopy printed(process_.get(), start_log_.get());
  run_batch(job.settings_before_start);
  const std::string start = command_text("StartJob", {*job.scene, job.camera});
  const Conversation conversation =
      talk("StartJob", launch_.stall_ms, [&] { return worker_.job_command(start, stall_wait(), answers); });
  require(StepKind::start_job, start, conversation);
  job_running_ = true;
  run_batch(job.settings_after_start);
  run_scripts(job, answers);
}

void NodeSession::run_settings_and_scripts(const JobFile& job, const RequestHandler& answers) {
  std::vector<std::string> settings = job.settings_before_start;
  settings.insert(settings.end(), job.settings_after_start.begin(), job.settings_after_start.end());
  run_batch(settings);
  run_scripts(job, answers);
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
  std::string unkept;  // why the try's crash report could not be kept
  try {
    Conversation conversation;
    {
      const StopWatch render_time(outcome.render_seconds);
      conversation = talk("the frame", launch_.stall_ms, [&] {
        return worker_.job_command("RenderTask," + std::to_string(frame), stall_wait(), answers);
      });
    }
    try {
      outcome.crash_report = save_crash(frame, conversation);
    } catch (const WorkerError& error) {
      unkept = error.what();
    }
    if (is_session_ending_reply(conversation.final_reply())) {
      session_over_ = true;
      throw NodeLost("the node ended its session: " + first_line(conversation.final_reply()));
    }
    if (const std::string problem = reply_problem(StepKind::render_task, conversation); !problem.empty()) {
      throw FrameFailed(first_line(problem));
    }
    for (const auto& path : output_names(frame)) {
      outcome.outputs.push_back(checked_output(path));
      if (outcome.outputs.back().size == 0) throw FrameFailed("output " + path + " is empty");
    }
    outcome.succeeded = true;
  } catch (const NodeLost& lost) {
    outcome.node_lost = true;
    outcome.problem = lost.what();
  } catch (const FrameFailed& failed) {
    outcome.problem = failed.what();
  }
  if (!unkept.empty()) outcome.problem += (outcome.problem.empty() ? "" : "; ") + unkept;
  return outcome;
}

std::vector<std::string> NodeSession::output_names(std::int32_t frame) {
  const std::string command = command_text("ExecuteStringScript", {std::to_string(frame), kOutputListScript});
  const Conversation conversation =
      talk("the output check", launch_.timeout_ms, [&] { return worker_.command(command, launch_.timeout_ms); });
  const std::string& reply = conversation.final_reply();
  if (is_session_ending_reply(reply)) {
    session_over_ = true;
    throw NodeLost("the node ended its session: " + first_line(reply) + " during the output check" + exit_code_text());
  }
  if (!reply.starts_with("SUCCESS: ")) {
    throw FrameFailed("the node did not list the frame's output files: " + first_line(reply));
  }
  std::vector<std::string> paths;
  for (const auto& name : lines_of(reply.substr(9))) paths.push_back(local_path(name));
  return paths;
}

// Every trapped fault of a try goes into one file; a frame's later tries (on this run or another
// one into the same folder) get files of their own, frame-<n>-crash-2.txt and on, so that no crash
// report overwrites another.
std::optional<std::string> NodeSession::save_crash(std::int32_t frame, const Conversation& conversation) const {
  std::string text;
  for (const auto& error : conversation.errors()) {
    if (error.find(kTrappedFault) != std::string::npos) text += error + "\n";
  }
  if (text.empty()) return std::nullopt;
  std::error_code error;
  std::filesystem::create_directories(launch_.report_dir, error);  // when it fails, so does the write
  const std::string stem = "frame-" + std::to_string(frame);
  for (int number = 1;; ++number) {
    const std::string suffix = number == 1 ? std::string() : "-" + std::to_string(number);
    const std::filesystem::path crash = launch_.report_dir / (stem + "-crash" + suffix + ".txt");
    if (!write_new_file(crash, text)) continue;
    // The node's log tells what led up to the fault; keep it beside the report.
    const std::filesystem::path log = launch_.report_dir / (stem + "-paravelle" + suffix + ".log");
    std::filesystem::copy_file(tmp_folder_ / "paravelle.log", log, std::filesystem::copy_options::overwrite_existing,
                               error);
    if (error && log_) log_->note("the node's log could not be copied to " + log.string() + ": " + error.message());
    return crash.string();
  }
}

void NodeSession::end_job() {
  const Conversation conversation =
      talk("EndJob", launch_.timeout_ms, [this] { return worker_.job_command("EndJob", launch_.timeout_ms); });
  if (const std::string problem = reply_problem(StepKind::end_job, conversation); !problem.empty()) {
    throw NodeRefused("EndJob: " + problem);
  }
}

void NodeSession::finish() {
  log_ = start_log_.get();
  const PrintedCopy printed(process_.get(), start_log_.get());
  std::exception_ptr problem;
  if (job_running_ && worker_.connected()) {
    job_running_ = false;
    try {
      end_job();
    } catch (const WorkerError&) {
      problem = std::current_exception();
    }
  }
  worker_.close();
  if (!process_) {
    if (problem) std::rethrow_exception(problem);
    return;
  }
  int code;
  try {
    code = process_->wait(kExitWaitMs);
  } catch (const TimeoutError&) {
    code = process_->kill_group();
  }
  if (problem) std::rethrow_exception(problem);
  // A node whose session a fatal reply ended exits with a failure, and a killed one with its signal:
  // both were reported already, or were the farm's own doing.
  if (code != 0 && !session_over_ && !killed_) {
    throw NodeLost("the node exited with code " + std::to_string(code) + last_words());
  }
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
