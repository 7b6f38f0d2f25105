#include "transport/simple_socket.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include <cerrno>
#include <system_error>
#include <thread>
#include <vector>

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
  EXPECT_EQ(error_text<simple_socket_error>([&] { socket.connect("255.255.255.255", 1, 1); }),
            "simple_socket::connect: Invalid IP address specified, 255.255.255.255");
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
  const std::error_code refused =
      error_code_of<simple_socket_could_not_connect_error>([&] { socket.connect("127.0.0.1", closed_port, 1); });
  EXPECT_EQ(refused.category(), std::system_category());
#ifdef _WIN32
  EXPECT_EQ(refused.value(), WSAECONNREFUSED);
#else
  EXPECT_EQ(refused.value(), ECONNREFUSED);
#endif
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

TEST_F(ConnectedSocket, AcceptsPayloadsUpToTheLimit) {
  peer.write_frame(std::string(100000, 'z'));
  EXPECT_EQ(socket.receive(5000).size(), 100000u);

  peer.write_frame("");
  EXPECT_EQ(socket.receive(5000), "");

  peer.write_bytes(testing::frame_header(100001));
  EXPECT_EQ(error_text<simple_socket_error>([&] { socket.receive(5000); }),
            "simple_socket::receive: Invalid packet size (given 100001)");
  EXPECT_TRUE(socket.is_connected());
}

// The time-out ends the wait, not the message: what arrived is kept, and the next receive
// completes it (read as a header, "abcd" would announce a frame of 1633837924 bytes).
TEST_F(ConnectedSocket, AMessageCutByTheTimeOutIsCompletedByTheNextReceive) {
  EXPECT_EQ(error_text<simple_socket_timeout_error>([&] { socket.receive(0); }),
            "simple_socket: Timed out waiting for header packet to arrive.");
  peer.write_bytes(testing::frame_header(10) + "abcd");
  EXPECT_EQ(error_text<simple_socket_timeout_error>([&] { socket.receive(30); }),
            "simple_socket: Timed out waiting for data.");
  EXPECT_TRUE(socket.is_connected());
  EXPECT_EQ(error_text<simple_socket_timeout_error>([&] { socket.receive(0); }),
            "simple_socket: Timed out waiting for data.");
  peer.write_bytes("efghij");
  EXPECT_EQ(socket.receive(5000), "abcdefghij");

  const std::string header = testing::frame_header(2);
  peer.write_bytes(header.substr(0, 2));
  EXPECT_EQ(error_text<simple_socket_timeout_error>([&] { socket.receive(30); }),
            "simple_socket: Timed out waiting for data.");
  peer.write_bytes(header.substr(2) + "ok");
  EXPECT_EQ(socket.receive(5000), "ok");
  EXPECT_EQ(error_text<simple_socket_timeout_error>([&] { socket.receive(0); }),
            "simple_socket: Timed out waiting for header packet to arrive.");

  peer.write_bytes(testing::frame_header(10) + "abc");
  EXPECT_THROW(socket.receive(30), simple_socket_timeout_error);
  peer.close_connection();
  EXPECT_EQ(error_text<simple_socket_disconnect_error>([&] { socket.receive(5000); }),
            "simple_socket::receive: socket was disconnected while reading data.");
}

TEST_F(ConnectedSocket, PeerCloseBetweenMessagesDisconnects) {
  peer.close_connection();
  EXPECT_EQ(error_text<simple_socket_disconnect_error>([&] { socket.receive(5000); }),
            "simple_socket::receive: socket was disconnected while reading header.");
  EXPECT_FALSE(socket.is_connected());
}

TEST_F(ConnectedSocket, SendToAClosedPeerFailsWithoutKillingTheProcess) {
  peer.close_connection();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::string big(90000, 'x');
  std::string text;
  std::error_code code;
  try {
    for (int i = 0; i < 50; ++i) socket.send(big);
  } catch (const simple_socket_error& e) {
    text = e.what();
    code = e.code();
  }
  // The number the text quotes is the one kept as data.
  EXPECT_EQ(text, "send: error trying to send data: WSAError code " + std::to_string(code.value()));
  EXPECT_NE(code.value(), 0);
  EXPECT_EQ(code.category(), std::system_category());
}

// Small frames go out at once instead of waiting for the peer's acknowledgement of the
// frame before.
TEST_F(ConnectedSocket, SendsWithoutNagleDelay) {
#ifdef _WIN32
  DWORD on = 0;
  int size = sizeof on;
  ASSERT_EQ(::getsockopt(static_cast<SOCKET>(socket.native_handle()), IPPROTO_TCP, TCP_NODELAY,
                         reinterpret_cast<char*>(&on), &size),
            0);
#else
  int on = 0;
  socklen_t size = sizeof on;
  ASSERT_EQ(::getsockopt(socket.native_handle(), IPPROTO_TCP, TCP_NODELAY, &on, &size), 0);
#endif
  EXPECT_NE(on, decltype(on){0});
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
