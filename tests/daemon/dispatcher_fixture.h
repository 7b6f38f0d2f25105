#pragma once
// A dispatcher wired to a loopback peer that stands in for the farm worker.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/dispatcher.h"
#include "daemon/job_state.h"
#include "support/log_capture.h"
#include "support/raw_peer.h"
#include "transport/simple_socket.h"

namespace paravelle::daemon {

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    connection.connect("127.0.0.1", peer.port(), win32::simple_socket::protocol_tcp);
    peer.accept();
  }

  // Dispatches one command and returns every reply it sent.
  std::vector<std::string> dispatch(const std::wstring& command) {
    DispatchCommand(state, command, connection);
    std::vector<std::string> replies;
    while (!peer.nothing_within(20)) replies.push_back(peer.read_frame());
    return replies;
  }
  std::vector<std::string> no_replies() const { return {}; }

  testing::LogCapture log;
  testing::RawPeer peer;
  win32::simple_socket connection;
  JobState state;
};

}  // namespace paravelle::daemon
