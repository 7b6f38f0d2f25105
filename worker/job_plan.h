// The commands a job sends, in order, and what counts as the right reply to each.
#pragma once

#include <string>
#include <vector>

#include "worker/conversation.h"
#include "worker/job_file.h"

namespace paravelle::worker {

enum class StepKind {
  setting,      // no reply when it succeeds
  start_job,    // "SUCCESS Scene loaded successfully" with no error before it
  script,       // "SUCCESS" or "SUCCESS: value"
  render_task,  // "STARTED", then "SUCCESS" with no error before it
  end_job,      // "SUCCESS" with no error before it
};

struct JobStep {
  StepKind kind;
  std::string command;
};

// The settings before start, StartJob, the settings after start, the scripts, one RenderTask per
// frame, EndJob. With `without_job`, no StartJob, RenderTask or EndJob: the two settings lists
// and the scripts. Throws JobFileError when a full job lacks its scene or its frames.
std::vector<JobStep> plan_job(const JobFile& job, bool without_job);

// Why a job command's or script's conversation is not the expected one; empty when it is.
std::string reply_problem(StepKind kind, const Conversation& conversation);

}  // namespace paravelle::worker
