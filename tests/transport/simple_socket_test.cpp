#include "transport/simple_socket.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#endif

#include <cerrno>
#include <system_error>
#include <thread>

#include "host/platform.h"
#include "support/raw_peer.h"

namespace paravelle::win32 {
namespace {

using testing::RawPeer;

template <typename Exception, typename Call>
std::string error_text(Call&& call) {
  try {
    call();
  } catch (const Exception& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

template <typename Exception, typename Call>
std::error_code error_code_of(Call&& call) {
  try {
    call();
  } catch (const Exception& e) {
    return e.code();
  }
  return std::make_error_code(std::errc::not_supported);
}

class ConnectedSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    socket.connect("127.0.0.1", peer.port(), simple_socket::protocol_tcp);
    peer.accept();
  }
  RawPeer peer;
  simple_socket socket;
};

TEST(SimpleSocketConnect, RefusesWhatItCannotReach) {
  simple_socket socket;
  EXPECT_EQ(error_text<simple_socket_error>([&] { socket.connect("localhost", 1, 1); }),
            "simple_socket::connect: Invalid IP address specified, localhost");
  EXPECT_EQ(error_text<simple_socket_error>([&] { socket.connect("127.0.0.1", 1, 3); }), "socket: Invalid protocol id");
  EXPECT_FALSE(socket.is_connected());

  unsigned closed_port;
  {
    RawPeer unused;
    closed_port = unused.port();
  }
  EXPECT_EQ(error_text<simple_socket_could_not_connect_error>([&] { socket.connect("127.0.0.1", closed_port, 1); }),
            "connect: Failed to connect to server at port " + std::to_string(closed_port));
  EXPECT_FALSE(socket.is_connected());
  // The refusal's system error stays with the exception; our own refusals carry none.
#ifdef _WIN32
  const int refused = WSAECONNREFUSED;
#else
  const int refused = ECONNREFUSED;
#endif
  EXPECT_EQ(error_code_of<simple_socket_could_not_connect_error>([&] { socket.connect("127.0.0.1", closed_port, 1); }),
            std::error_code(refused, std::system_category()));
  EXPECT_FALSE(error_code_of<simple_socket_error>([&] { socket.connect("localhost", 1, 1); }));
  EXPECT_EQ(error_text<simple_socket_error>([&] { socket.send("x"); }),
            "simple_socket: send called while not connected.");
  EXPECT_EQ(error_text<simple_socket_error>([&] { socket.receive(0); }), "simple_socket: receive while not connected.");
}

TEST_F(ConnectedSocket, SendsFramesUpToTheLimitAndNothingBeyond) {
  EXPECT_EQ(error_text<simple_socket_error>([&] { socket.connect("127.0.0.1", peer.port(), 1); }),
            "simple_socket::connect: Already connected.");
  socket.send("");
  EXPECT_EQ(peer.read_bytes(4), std::string(4, '\0'));

  const std::string largest(99996, 'a');
  socket.send(largest);
  EXPECT_EQ(peer.read_bytes(4), testing::frame_header(99996));
  EXPECT_EQ(peer.read_bytes(99996), largest);

  EXPECT_EQ(error_text<simple_socket_error>([&] { socket.send(std::string(99997, 'b')); }),
            "simple_socket::send: Tried to send too much data at once.");
  EXPECT_TRUE(socket.is_connected());
  socket.send("next");  // nothing of the refused frame went before it
  EXPECT_EQ(peer.read_frame(), "next");
}

TEST_F(ConnectedSocket, AcceptsPayloadsUpToTheLimitAndAPeerCloseDisconnects) {
  peer.write_frame(std::string(100000, 'z'));
  EXPECT_EQ(socket.receive(5000).size(), 100000u);

  peer.write_frame("");
  EXPECT_EQ(socket.receive(5000), "");

  peer.write_bytes(testing::frame_header(100001));
  EXPECT_EQ(error_text<simple_socket_error>([&] { socket.receive(5000); }),
            "simple_socket::receive: Invalid packet size (given 100001)");
  EXPECT_TRUE(socket.is_connected());
  peer.close_connection();
  EXPECT_EQ(error_text<simple_socket_disconnect_error>([&] { socket.receive(5000); }),
            "simple_socket::receive: socket was disconnected while reading header.");
  EXPECT_FALSE(socket.is_connected());
}

TEST_F(ConnectedSocket, TimeOutsSurviveTheTickCounterWrapping) {
  host::set_tick_offset(0u - host::tick_count() + 0xFFFFFF00u);  // 256 ms before the wrap
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    peer.write_frame("after the wrap");
  });
  EXPECT_EQ(socket.receive(5000), "after the wrap");
  writer.join();
  EXPECT_EQ(error_text<simple_socket_timeout_error>([&] { socket.receive(30); }),
            "simple_socket: Timed out waiting for header packet to arrive.");
  host::set_tick_offset(0);
}

}  // namespace
}  // namespace paravelle::win32
