#include "worker/job_plan.h"

#include "worker/command_text.h"
#include "worker/errors.h"

namespace paravelle::worker {

std::vector<JobStep> plan_job(const JobFile& job, bool without_job) {
  std::vector<JobStep> steps;
  for (const auto& command : job.settings_before_start) steps.push_back({StepKind::setting, command});
  if (!without_job) {
    if (!job.scene) {
      throw JobFileError(job.source.string() + ": a job needs \"scene\" (use --without-job to send only the settings and scripts)");
    }
    if (job.frames.empty()) throw JobFileError(job.source.string() + ": a job needs \"frames\" to render");
    steps.push_back({StepKind::start_job, command_text("StartJob", {*job.scene, job.camera})});
  }
  for (const auto& command : job.settings_after_start) steps.push_back({StepKind::setting, command});
  for (const auto& command : job.scripts) steps.push_back({StepKind::script, command});
  if (without_job) return steps;
  for (const auto frame : job.frames) steps.push_back({StepKind::render_task, "RenderTask," + std::to_string(frame)});
  steps.push_back({StepKind::end_job, "EndJob"});
  return steps;
}

std::string reply_problem(StepKind kind, const Conversation& conversation) {
  if (conversation.messages.empty()) return "no reply";
  const auto errors = conversation.errors();
  const std::string& last = conversation.final_reply();
  switch (kind) {
    case StepKind::setting:
      return conversation.replies().empty() ? std::string() : conversation.replies().front();
    case StepKind::start_job:
      if (!errors.empty()) return errors.front();
      return last.starts_with("SUCCESS") ? std::string() : last;
    case StepKind::script:
      return last == "SUCCESS" || last.starts_with("SUCCESS: ") ? std::string() : last;
    case StepKind::render_task:
    case StepKind::end_job:
      if (!errors.empty()) return errors.front();
      return last == "SUCCESS" ? std::string() : last;
  }
  return last;
}

}  // namespace paravelle::worker
