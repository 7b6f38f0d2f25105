// When a job command (StartJob, RenderTask, EndJob) has said its last word.
//
// A job command that runs ends with "SUCCESS..." or "ERROR: Failed to save file.", with any
// error replies before it. Some refusals have no final reply after them, and waiting for one
// would only end in a time-out: the unknown-command reply, the parameter errors that a
// RenderTask sends instead of "STARTED", the StartJob parameter-count error, and the replies
// with which the node's daemon ends its session.
#pragma once

#include <string>

namespace paravelle::worker {

// Tracks one job command's replies; feed it every message in order.
class JobReplyTracker {
 public:
  explicit JobReplyTracker(const std::string& command_text);
  // True when `message` is the command's last reply.
  bool is_final(const std::string& message);

 private:
  std::string word_;
  bool started_ = false;
};

// A reply with which the node's daemon ends its session ("ERROR: Exception caught in 3ds max: ...").
bool is_session_ending_reply(const std::string& message);

// The command word as the node reads it (quotes and escapes resolved). A text the node cannot
// split gives the raw text before the first comma.
std::string command_word(const std::string& command_text);

}  // namespace paravelle::worker
