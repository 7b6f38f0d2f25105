// The POSIX socket calls; simple_socket.cpp makes the socket out of them.

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

#include "transport/socket_calls.h"

namespace paravelle::win32::socket_calls {

void start_up() {}

void clean_up() {}

int last_error() { return errno; }

bool interrupted(int error) { return error == EINTR; }

socket_handle open_stream() { return ::socket(AF_INET, SOCK_STREAM, 0); }

bool parse_ipv4(const std::string& address, std::uint32_t& parsed) {
  parsed = ::inet_addr(address.c_str());
  return parsed != INADDR_NONE;
}

int connect(socket_handle handle, std::uint32_t address, std::uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  peer.sin_addr.s_addr = address;
  return ::connect(handle, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0 ? 0 : errno;
}

int wait_until_connected(socket_handle handle) {
  pollfd entry{handle, POLLOUT, 0};
  return ::poll(&entry, 1, -1) < 0 ? errno : 0;
}

int connect_outcome(socket_handle handle) {
  int error = 0;
  socklen_t length = sizeof error;
  return ::getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ? errno : error;
}

void set_no_delay(socket_handle handle) {
  const int on = 1;
  ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void close(socket_handle handle) {
  ::shutdown(handle, SHUT_RDWR);
  ::close(handle);
}

std::ptrdiff_t send(socket_handle handle, const FramePart* parts, std::size_t count) {
  iovec vectors[2];
  count = std::min<std::size_t>(count, 2);
  for (std::size_t i = 0; i < count; ++i) vectors[i] = {const_cast<char*>(parts[i].data), parts[i].size};
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = count;
  // A worker that has gone must end in an error, not in SIGPIPE ending the host.
  return ::sendmsg(handle, &message, MSG_NOSIGNAL);
}

std::ptrdiff_t receive(socket_handle handle, char* buffer, std::size_t count, bool block) {
  const ssize_t n = ::recv(handle, buffer, count, block ? 0 : MSG_DONTWAIT);
  if (n < 0 && !block && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNothingYet;
  return n;
}

int wait_readable(socket_handle handle, int timeout_ms) {
  pollfd entry{handle, POLLIN, 0};
  return ::poll(&entry, 1, timeout_ms);
}

}  // namespace paravelle::win32::socket_calls
