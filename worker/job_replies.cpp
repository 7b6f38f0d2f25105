#include "worker/job_replies.h"

#include <array>
#include <stdexcept>
#include <string_view>

#include "worker/command_text.h"

namespace paravelle::worker {
namespace {

constexpr std::array<std::string_view, 5> kSessionEndings = {
    "ERROR: Exception caught in 3ds max: ",
    "ERROR: MAXException caught in 3ds max: ",
    "ERROR: Maxscript exception:",
    "ERROR: Unknown exception caught.",
    "ERROR: SEH exception: ",
};
// Does not end the session, but nothing follows it either.
constexpr std::string_view kUnexpectedCommand = "ERROR: Unexpected command \"";

}  // namespace

bool is_session_ending_reply(const std::string& message) {
  for (const auto ending : kSessionEndings) {
    if (message.starts_with(ending)) return true;
  }
  return false;
}

std::string command_word(const std::string& command_text) {
  try {
    return first_command_field(command_text);
  } catch (const std::invalid_argument&) {
    return command_text.substr(0, command_text.find(','));
  }
}

JobReplyTracker::JobReplyTracker(const std::string& command_text) : word_(command_word(command_text)) {}

bool JobReplyTracker::is_final(const std::string& message) {
  if (message.starts_with("FUNCTION: ")) return false;
  if (message == "STARTED") {
    started_ = true;
    return false;
  }
  if (message.starts_with("SUCCESS") || message == "ERROR: Failed to save file.") return true;
  if (is_session_ending_reply(message) || message.starts_with(kUnexpectedCommand)) return true;
  if (!message.starts_with("ERROR: ")) return false;
  // Refusals before any work began carry the command's own word and are the only reply.
  if (word_ == "RenderTask") return !started_;
  if (word_ == "StartJob") return message.starts_with("ERROR: StartJob: Expected 2 parameters, got ");
  return false;
}

}  // namespace paravelle::worker
