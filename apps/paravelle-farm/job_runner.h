// Drives one node through a job: start it, open the session, send each command of the plan,
// judge each reply, end the session and collect the node's exit.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "console_view.h"
#include "worker/job_file.h"

namespace paravelle::farm {

struct RunOptions {
  std::string node_binary;
  std::uint16_t port = 0;  // 0: any free port
  std::string token;
  int timeout_ms = 120000;  // longest silence from the node while it owes a message
  int settle_ms = 300;      // quiet time that counts as a settings command's success
  bool without_job = false;
  std::vector<std::string> node_args;
  std::vector<std::pair<std::string, std::string>> node_env;
};

// 0 when every command got the expected kind of reply and the node ended cleanly, 1 otherwise.
// Throws JobFileError when the job lacks what a full run needs.
int run_job(const worker::JobFile& job, const RunOptions& options, ConsoleView& view);

}  // namespace paravelle::farm
