// Settings commands reply nothing when they succeed, so a worker cannot wait for them one by one
// without guessing a quiet time. Instead they go out back to back, followed by one command that
// always answers: every error reply of a setting arrives before that answer, in order.
#pragma once

#include <string>
#include <vector>

#include "worker/farm_worker.h"

namespace paravelle::worker {

// The command that closes a batch: a script that returns a fixed text and changes nothing the
// job relies on (only the script-visible current frame, which every RenderTask sets anew).
std::string sync_command();

struct SettingFailure {
  std::string command;  // the setting the reply belongs to, or "settings" when no setting matches
  std::string reply;
};

struct BatchResult {
  std::vector<SettingFailure> failures;
  bool session_over = false;  // the node's daemon ended its session (a fatal reply)
};

// Sends `settings` back to back, then the sync command, and reads until the sync's final reply.
// Each error reply is given to the first unanswered setting with the same command word (the node
// names the command in its error texts). `timeout_ms` bounds each wait for the next message.
// Throws TimeoutError / ClosedError as FarmWorker does.
BatchResult send_settings(FarmWorker& worker, const std::vector<std::string>& settings, int timeout_ms);

}  // namespace paravelle::worker
