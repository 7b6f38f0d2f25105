#include "worker/conversation.h"

#include <array>
#include <string_view>

#include "worker/errors.h"

namespace paravelle::worker {
namespace {

constexpr std::array<std::string_view, 4> kNotificationKinds = {"STDOUT", "WARN", "SETTITLE", "PROGRESS"};

bool starts_with(const std::string& text, std::string_view prefix) { return text.starts_with(prefix); }

// Where the argument begins after "FUNCTION: KIND", or npos when the kind is not followed by a separator.
std::size_t argument_start(const std::string& message, std::size_t kind_end) {
  if (kind_end == message.size()) return kind_end;
  if (message.compare(kind_end, 2, ": ") == 0) return kind_end + 2;
  if (message[kind_end] == ' ') return kind_end + 1;
  return std::string::npos;
}

std::size_t kind_end(const std::string& message) {
  const std::size_t begin = std::string_view(kFunctionPrefix).size();
  const std::size_t end = message.find_first_of(": ", begin);
  return end == std::string::npos ? message.size() : end;
}

}  // namespace

bool is_function_message(const std::string& message) { return starts_with(message, kFunctionPrefix); }

std::string function_kind(const std::string& message) {
  if (!is_function_message(message)) return {};
  const std::size_t begin = std::string_view(kFunctionPrefix).size();
  return message.substr(begin, kind_end(message) - begin);
}

std::string function_argument(const std::string& message) {
  if (!is_function_message(message)) return {};
  const std::size_t start = argument_start(message, kind_end(message));
  return start == std::string::npos ? std::string() : message.substr(start);
}

bool is_request(const std::string& message) {
  if (!is_function_message(message)) return false;
  const std::string kind = function_kind(message);
  for (const auto notification : kNotificationKinds) {
    if (kind == notification) return false;
  }
  return true;
}

std::vector<std::string> Conversation::replies() const {
  std::vector<std::string> result;
  for (const auto& message : messages) {
    if (!is_function_message(message)) result.push_back(message);
  }
  return result;
}

std::vector<std::string> Conversation::notifications(const std::string& kind) const {
  std::vector<std::string> result;
  for (const auto& message : messages) {
    if (is_function_message(message) && function_kind(message) == kind) result.push_back(function_argument(message));
  }
  return result;
}

std::vector<std::string> Conversation::errors() const {
  std::vector<std::string> result;
  for (const auto& message : replies()) {
    if (starts_with(message, "ERROR: ")) result.push_back(message);
  }
  return result;
}

const std::string& Conversation::final_reply() const {
  if (messages.empty()) throw WorkerError("the conversation holds no message");
  return messages.back();
}

std::string reply_problem(StepKind kind, const Conversation& conversation) {
  if (conversation.messages.empty()) return "no reply";
  const auto errors = conversation.errors();
  const std::string& last = conversation.final_reply();
  switch (kind) {
    case StepKind::setting: return conversation.replies().empty() ? std::string() : conversation.replies().front();
    case StepKind::start_job:
      if (!errors.empty()) return errors.front();
      return last.starts_with("SUCCESS") ? std::string() : last;
    case StepKind::script: return last == "SUCCESS" || last.starts_with("SUCCESS: ") ? std::string() : last;
    case StepKind::render_task:
    case StepKind::end_job:
      if (!errors.empty()) return errors.front();
      return last == "SUCCESS" ? std::string() : last;
  }
  return last;
}

}  // namespace paravelle::worker
