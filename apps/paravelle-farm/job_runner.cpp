#include "job_runner.h"

#include <sstream>

#include "worker/farm_worker.h"
#include "worker/job_plan.h"
#include "worker/job_replies.h"
#include "worker/job_requests.h"

namespace paravelle::farm {
namespace {

using worker::Conversation;
using worker::JobStep;
using worker::StepKind;

struct Failure {
  std::string command;
  std::string problem;
};

// What one step did: its problem (empty when fine) and whether the node can go on after it.
struct StepResult {
  std::string problem;
  bool session_over = false;
};

class JobSession {
 public:
  JobSession(const worker::JobFile& job, const RunOptions& options, ConsoleView& view)
      : options_(options), view_(view), answers_(job) {
    worker_.set_observer([this](worker::Direction direction, const std::string& payload) {
      view_.message(direction, payload);
    });
  }

  int run(const std::vector<JobStep>& plan);

 private:
  StepResult run_step(const JobStep& step);
  StepResult run_setting(const std::string& command);
  void record(const std::string& command, const std::string& problem);
  void show_node_output(const worker::NodeProcess& node);

  const RunOptions& options_;
  ConsoleView& view_;
  worker::JobRequestAnswers answers_;
  worker::FarmWorker worker_{options_.port};
  std::vector<Failure> failures_;
};

std::string last_lines(std::string text, std::size_t count) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  std::size_t start = text.size();
  for (std::size_t lines = 0; lines < count; ++lines) {
    const auto newline = start == 0 ? std::string::npos : text.rfind('\n', start - 1);
    if (newline == std::string::npos) return text;
    start = newline;
  }
  return text.substr(start + 1);
}

StepResult JobSession::run_setting(const std::string& command) {
  worker_.send_raw(command);
  if (worker_.silent_for(options_.settle_ms)) return {};
  const std::string reply = worker_.receive_raw(options_.timeout_ms);
  return {reply.empty() ? std::string("unexpected empty reply") : reply, worker::is_session_ending_reply(reply)};
}

StepResult JobSession::run_step(const JobStep& step) {
  if (step.kind == StepKind::setting) return run_setting(step.command);
  const auto handler = [this](const std::string& request) { return answers_(request); };
  const Conversation conversation = step.kind == StepKind::script
                                        ? worker_.command(step.command, options_.timeout_ms, handler)
                                        : worker_.job_command(step.command, options_.timeout_ms, handler);
  return {worker::reply_problem(step.kind, conversation), worker::is_session_ending_reply(conversation.final_reply())};
}

void JobSession::record(const std::string& command, const std::string& problem) {
  failures_.push_back({command, problem});
  view_.note("FAILED: " + command + ": " + problem, true);
}

int JobSession::run(const std::vector<JobStep>& plan) {
  worker::NodeProcess node(options_.node_binary, worker_.port(), options_.token, options_.node_args, options_.node_env);
  view_.note("Started " + options_.node_binary + " (pid " + std::to_string(node.pid()) + "), listening on 127.0.0.1:" +
             std::to_string(worker_.port()));
  bool session_over = false;
  try {
    worker_.open_session(options_.timeout_ms, options_.token);
  } catch (const worker::WorkerError& error) {
    record("handshake", error.what());
    session_over = true;
  }
  bool job_running = false;
  for (std::size_t i = 0; i < plan.size() && !session_over; ++i) {
    const JobStep& step = plan[i];
    StepResult result;
    try {
      result = run_step(step);
    } catch (const worker::WorkerError& error) {
      // A time-out or a lost connection leaves the stream in an unknown place: nothing more can be sent.
      result = {error.what(), true};
    }
    session_over = result.session_over;
    if (step.kind == StepKind::start_job) job_running = result.problem.empty();
    if (step.kind == StepKind::end_job) job_running = false;
    if (result.problem.empty()) continue;
    record(step.command, result.problem);
    // A failed frame does not spoil the others; anything else leaves the job unfit to go on.
    if (step.kind == StepKind::render_task || session_over) continue;
    if (job_running) {
      try {
        const StepResult end = run_step({StepKind::end_job, "EndJob"});
        if (!end.problem.empty()) record("EndJob", end.problem);
      } catch (const worker::WorkerError& error) {
        record("EndJob", error.what());
      }
    }
    break;
  }
  worker_.close();
  view_.note("Closed the connection; waiting for the node to exit");
  int code;
  try {
    code = node.wait(options_.timeout_ms);
  } catch (const worker::TimeoutError&) {
    view_.note("The node did not exit within " + std::to_string(options_.timeout_ms) + " ms; stopping it", true);
    code = node.terminate(5000);
  }
  if (code != 0) {
    record("node", "exited with code " + std::to_string(code));
  }
  if (!failures_.empty()) show_node_output(node);
  view_.note("Node exited with code " + std::to_string(code));

  std::ostringstream summary;
  summary << plan.size() << " command(s) planned, " << failures_.size() << " failure(s)";
  for (const auto& failure : failures_) summary << "\n  " << failure.command << ": " << failure.problem;
  view_.note(summary.str(), !failures_.empty());
  return failures_.empty() ? 0 : 1;
}

void JobSession::show_node_output(const worker::NodeProcess& node) {
  for (const auto& [name, text] : {std::pair{"stdout", node.stdout_text()}, std::pair{"stderr", node.stderr_text()}}) {
    if (text.empty()) continue;
    view_.note(std::string("--- last lines of the node's ") + name + " ---\n" + last_lines(text, 20), true);
  }
}

}  // namespace

int run_job(const worker::JobFile& job, const RunOptions& options, ConsoleView& view) {
  const auto plan = worker::plan_job(job, options.without_job);
  JobSession session(job, options, view);
  return session.run(plan);
}

}  // namespace paravelle::farm
