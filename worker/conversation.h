// What the node sends while one command runs, and how its messages are told apart.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace paravelle::worker {

// Answers the node's requests ("FUNCTION: GETJOBINFOENTRY key" ...). Returns the whole answer text,
// e.g. "SUCCESS: value" or "ERROR: no such key". Notifications never reach it.
using RequestHandler = std::function<std::string(const std::string& request)>;

inline constexpr const char* kFunctionPrefix = "FUNCTION: ";

// A "FUNCTION: " message: a notification (STDOUT, WARN, SETTITLE, PROGRESS) or a request.
bool is_function_message(const std::string& message);
// A "FUNCTION: " message that waits for an answer. Every FUNCTION kind other than the four
// notifications counts as a request: leaving a request unanswered would stall the node for
// two minutes, so an unknown kind is answered (the handler decides with what).
bool is_request(const std::string& message);
// The kind word of a "FUNCTION: " message ("STDOUT", "GETAUXFILE"); empty for other messages.
std::string function_kind(const std::string& message);
// The text after the kind and its separator (": " or " "); empty for other messages.
std::string function_argument(const std::string& message);

struct Conversation {
  // Every message received, in order, FUNCTION ones and the final reply included.
  std::vector<std::string> messages;

  // The messages that are not "FUNCTION: " ones (STARTED, ERROR: ..., SUCCESS ...).
  std::vector<std::string> replies() const;
  // The texts of the FUNCTION messages of one kind: "STDOUT" gives what follows "FUNCTION: STDOUT: ",
  // "PROGRESS" what follows "FUNCTION: PROGRESS ".
  std::vector<std::string> notifications(const std::string& kind) const;
  // The replies that begin with "ERROR: ".
  std::vector<std::string> errors() const;
  // The last message; throws WorkerError when nothing was received.
  const std::string& final_reply() const;
};

// What a command's conversation must end with to count as done.
enum class StepKind {
  setting,      // no reply when it succeeds
  start_job,    // "SUCCESS Scene loaded successfully" with no error before it
  script,       // "SUCCESS" or "SUCCESS: value"
  render_task,  // "STARTED", then "SUCCESS" with no error before it
  end_job,      // "SUCCESS" with no error before it
};

// Why a job command's or script's conversation is not the expected one; empty when it is.
std::string reply_problem(StepKind kind, const Conversation& conversation);

}  // namespace paravelle::worker
