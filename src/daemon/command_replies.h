#pragma once
// Where a command handler's replies go. A session sends them to the farm; a test keeps
// them in a list, so a handler is driven and its answers read without a connection.

#include <string>

namespace paravelle::daemon {

class CommandReplies {
 public:
  // One reply, whole; what does not fit a frame is the implementation's to handle.
  virtual void send(const std::wstring& text) = 0;

 protected:
  ~CommandReplies() = default;
};

}  // namespace paravelle::daemon
