#pragma once
// A dispatcher whose replies are recorded; the connection a job's renderer and scripts
// report on is never connected, so what they send fails where it is sent.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/dispatcher.h"
#include "job/job_state.h"
#include "support/log_capture.h"
#include "transport/simple_socket.h"
#include "transport/text.h"

namespace paravelle::daemon {

using Replies = std::vector<std::string>;

// The replies in order, as UTF-8 like the farm reads them.
class RecordedReplies final : public CommandReplies {
 public:
  void send(const std::wstring& text) override { texts.push_back(to_utf8(text)); }
  Replies texts;
};

class DispatcherTest : public ::testing::Test {
 protected:
  // Dispatches one command and returns every reply it sent.
  Replies dispatch(const std::wstring& command) {
    replies.texts.clear();
    DispatchCommand(state, command, replies, connection);
    return replies.texts;
  }

  testing::LogCapture log;
  RecordedReplies replies;
  win32::simple_socket connection;
  job::JobState state;
};

}  // namespace paravelle::daemon
