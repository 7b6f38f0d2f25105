#pragma once
// Replies, error reports and notifications for the farm. They must never end a session
// or vanish because of their length: a text too long for one frame reaches the farm cut,
// with a note saying so, and the whole text goes to the log. (The token and requests are
// sent with send_message, whole or not at all.)

#include <string>

#include "daemon/command_replies.h"
#include "transport/simple_socket.h"

namespace paravelle::daemon {

void send_to_farm(win32::simple_socket& connection, const std::wstring& text);
// Narrow text passes through the ANSI code page first, as send_message's does.
void send_to_farm(win32::simple_socket& connection, const std::string& narrow_text);

// A session's command replies: each sent to the farm as above.
class FarmReplies final : public CommandReplies {
 public:
  explicit FarmReplies(win32::simple_socket& connection) : connection_(connection) {}
  void send(const std::wstring& text) override { send_to_farm(connection_, text); }

 private:
  win32::simple_socket& connection_;
};

}  // namespace paravelle::daemon
