// What only POSIX sockets do: a connect interrupted by a signal.

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "support/raw_peer.h"
#include "transport/simple_socket.h"

namespace {

// When set, the next connect of this thread behaves as a signal interrupting it does on
// POSIX systems: the attempt goes on in the background and the call says EINTR; calling
// connect again then says EALREADY while it is under way and EISCONN once it is through.
// (Linux waits for the outcome instead, so the interruption is staged here.)
thread_local bool interrupt_next_connect = false;
thread_local int interrupted_socket = -1;

using connect_function = int (*)(int, const sockaddr*, socklen_t);

int system_connect(int socket, const sockaddr* address, socklen_t length) {
  static const auto next = reinterpret_cast<connect_function>(::dlsym(RTLD_NEXT, "connect"));
  return next(socket, address, length);
}

}  // namespace

extern "C" int connect(int socket, const sockaddr* address, socklen_t length) {
  if (interrupt_next_connect) {
    interrupt_next_connect = false;
    interrupted_socket = socket;
    const int flags = ::fcntl(socket, F_GETFL);
    ::fcntl(socket, F_SETFL, flags | O_NONBLOCK);
    system_connect(socket, address, length);
    ::fcntl(socket, F_SETFL, flags);
    errno = EINTR;
    return -1;
  }
  if (socket == interrupted_socket) {
    pollfd entry{socket, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    const bool through = ::poll(&entry, 1, 0) == 1 && ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) == 0 &&
                         error == 0 && (entry.revents & POLLOUT);
    errno = through ? EISCONN : EALREADY;
    return -1;
  }
  return system_connect(socket, address, length);
}

namespace paravelle::win32 {
namespace {

// Calling connect again after the interruption would only say so (EALREADY, EISCONN) and
// fail a connection that is under way or already made: the first attempt's outcome is
// waited for instead.
TEST(SimpleSocketConnect, AnInterruptedConnectIsWaitedFor) {
  testing::RawPeer peer;
  simple_socket socket;
  interrupt_next_connect = true;
  socket.connect("127.0.0.1", peer.port(), simple_socket::protocol_tcp);
  ASSERT_TRUE(socket.is_connected());
  peer.accept();
  socket.send("through");
  EXPECT_EQ(peer.read_frame(), "through");

  unsigned closed_port;
  {
    testing::RawPeer unused;
    closed_port = unused.port();
  }
  simple_socket refused;
  interrupt_next_connect = true;
  try {
    refused.connect("127.0.0.1", closed_port, simple_socket::protocol_tcp);
    ADD_FAILURE() << "a refused connection was reported as made";
  } catch (const simple_socket_could_not_connect_error& error) {
    EXPECT_EQ(std::string(error.what()), "connect: Failed to connect to server at port " + std::to_string(closed_port));
  }
  EXPECT_FALSE(refused.is_connected());
}

}  // namespace
}  // namespace paravelle::win32
