#include "worker/settings_batch.h"

#include <stdexcept>

#include "worker/command_text.h"
#include "worker/job_replies.h"

namespace paravelle::worker {
namespace {

constexpr const char* kSyncValue = "paravelle-farm: settings received";

// The command word an error reply names: "ERROR: CurrentTask: ..." gives CurrentTask,
// "ERROR: Unexpected command \"Bogus\" received." gives Bogus.
std::string word_of_error(const std::string& reply) {
  constexpr std::string_view unexpected = "ERROR: Unexpected command \"";
  if (reply.starts_with(unexpected)) {
    const auto end = reply.find('"', unexpected.size());
    return reply.substr(unexpected.size(), end == std::string::npos ? std::string::npos : end - unexpected.size());
  }
  constexpr std::string_view error = "ERROR: ";
  const auto colon = reply.find(':', error.size());
  return colon == std::string::npos ? std::string() : reply.substr(error.size(), colon - error.size());
}

// The word the node names in its errors: the first field as the node splits it.
std::string node_word(const std::string& setting) {
  try {
    return first_command_field(setting);
  } catch (const std::invalid_argument&) {
    return command_word(setting);
  }
}

class Attribution {
 public:
  explicit Attribution(const std::vector<std::string>& settings) : settings_(settings), answered_(settings.size()) {}

  SettingFailure failure_for(const std::string& reply) {
    const std::string word = word_of_error(reply);
    for (std::size_t i = 0; i < settings_.size(); ++i) {
      if (answered_[i] || node_word(settings_[i]) != word) continue;
      answered_[i] = true;
      return {settings_[i], reply};
    }
    return {"settings", reply};
  }

 private:
  const std::vector<std::string>& settings_;
  std::vector<bool> answered_;
};

}  // namespace

std::string sync_command() { return command_text("ExecuteStringScript", {"0", "\"" + std::string(kSyncValue) + "\""}); }

BatchResult send_settings(FarmWorker& worker, const std::vector<std::string>& settings, int timeout_ms) {
  BatchResult result;
  if (settings.empty()) return result;
  for (const auto& setting : settings) worker.send_raw(setting, timeout_ms);
  worker.send_raw(sync_command(), timeout_ms);
  Attribution attribution(settings);
  bool sync_started = false;
  for (;;) {
    const std::string message = worker.receive_raw(timeout_ms);
    if (is_session_ending_reply(message)) {
      result.failures.push_back(attribution.failure_for(message));
      result.session_over = true;
      return result;
    }
    if (message == "STARTED") {
      sync_started = true;
      continue;
    }
    if (!sync_started) {
      result.failures.push_back(attribution.failure_for(message));
      continue;
    }
    if (is_request(message)) worker.send_raw("ERROR: not handled", timeout_ms);
    if (is_function_message(message)) continue;
    if (message != "SUCCESS: " + std::string(kSyncValue)) {
      result.failures.push_back({sync_command(), message});
    }
    return result;
  }
}

}  // namespace paravelle::worker
