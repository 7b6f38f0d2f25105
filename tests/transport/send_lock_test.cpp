// Renderer threads reporting progress while the connection is closed under them.

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/raw_peer.h"
#include "transport/simple_socket.h"

namespace paravelle::win32 {
namespace {

// A sender that read the handle before the close would write to a closed handle (or to
// whatever took its number): each send must either go out whole or find the connection
// closed, and the worker must get whole frames only.
TEST(ProgressSendsAcrossADisconnect, EachSendGoesOutWholeOrFindsTheConnectionClosed) {
  const std::string report = "FUNCTION: PROGRESS 50";
  testing::RawPeer peer;
  simple_socket socket;
  socket.connect("127.0.0.1", peer.port(), simple_socket::protocol_tcp);
  peer.accept();

  std::atomic<int> received{0};
  std::thread worker([&] {
    try {
      while (peer.read_frame() == report) ++received;
    } catch (const std::runtime_error&) {  // the node hung up
    }
  });
  std::atomic<int> sent{0};
  std::vector<std::string> endings(4);
  std::vector<std::thread> senders;
  for (std::string& ending : endings) {
    senders.emplace_back([&] {
      try {
        for (;; ++sent) socket.send(report);
      } catch (const simple_socket_error& error) {
        ending = error.what();
      }
    });
  }
  while (sent.load() < 1000) std::this_thread::yield();
  socket.disconnect(true);
  for (std::thread& sender : senders) sender.join();
  worker.join();

  for (const std::string& ending : endings) EXPECT_EQ(ending, "simple_socket: send called while not connected.");
  EXPECT_EQ(received.load(), sent.load());
}

}  // namespace
}  // namespace paravelle::win32
