// A frame goes out whole however the system takes it: a few bytes a call, and every other
// call cut short by a signal before it took anything.

#include <dlfcn.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "support/raw_peer.h"
#include "transport/simple_socket.h"

// While not 0, this thread's sendmsg calls take at most this many bytes.
static thread_local std::size_t partial_send_limit = 0;
static thread_local bool partial_send_interrupted = false;

extern "C" ssize_t sendmsg(int socket, const msghdr* message, int flags) {
  static const auto next = reinterpret_cast<ssize_t (*)(int, const msghdr*, int)>(::dlsym(RTLD_NEXT, "sendmsg"));
  if (partial_send_limit == 0) return next(socket, message, flags);
  if ((partial_send_interrupted = !partial_send_interrupted)) {
    errno = EINTR;
    return -1;
  }
  iovec parts[8];
  msghdr cut = *message;
  cut.msg_iov = parts;
  cut.msg_iovlen = 0;
  for (std::size_t i = 0, room = partial_send_limit; i < message->msg_iovlen && room > 0 && i < 8; ++i) {
    parts[cut.msg_iovlen] = message->msg_iov[i];
    parts[cut.msg_iovlen].iov_len = std::min(parts[cut.msg_iovlen].iov_len, room);
    room -= parts[cut.msg_iovlen++].iov_len;
  }
  return next(socket, &cut, flags);
}

namespace paravelle::win32 {
namespace {

TEST(SimpleSocketSend, AFrameTakenAFewBytesAtATimeArrivesWhole) {
  const std::pair<std::size_t, std::string> cases[] = {{1, ""},  {1, "ab"},   {3, "abcdefg"},
                                                       {4, "x"}, {5, "next"}, {7, std::string(3000, 'p')}};
  for (const auto& [bytes_per_call, payload] : cases) {
    testing::RawPeer peer;
    simple_socket socket;
    socket.connect("127.0.0.1", peer.port(), simple_socket::protocol_tcp);
    peer.accept();
    partial_send_limit = bytes_per_call;
    socket.send(payload);
    socket.send("then this");
    partial_send_limit = 0;
    EXPECT_EQ(peer.read_frame(), payload) << bytes_per_call << " bytes a call";
    EXPECT_EQ(peer.read_frame(), "then this") << bytes_per_call << " bytes a call";
  }
}

}  // namespace
}  // namespace paravelle::win32
