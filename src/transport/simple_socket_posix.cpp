#include "transport/simple_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "host/platform.h"

namespace paravelle::win32 {
namespace {

constexpr std::size_t max_recv_chunk = 4194304;

// A failed system call: the text quotes the error number, the exception keeps it.
simple_socket_error system_failure(const char* text, int error = errno) {
  return simple_socket_error(text + std::to_string(error), std::error_code(error, std::system_category()));
}

// Milliseconds left until `expiry` on the wrapping tick counter; 0 once it has passed.
int remaining_ms(std::uint32_t expiry) {
  const auto remaining = static_cast<std::int32_t>(expiry - host::tick_count());
  return remaining < 0 ? 0 : remaining;
}

// An interrupted connect goes on in the background, and calling it again only says so
// (EALREADY, or EISCONN once it is through): wait for the first attempt's outcome instead.
// 0 when connected, else the errno of the failure.
int connect_error(int handle, const sockaddr_in& peer) {
  if (::connect(handle, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return 0;
  if (errno != EINTR) return errno;
  pollfd entry{handle, POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, -1);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return errno;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

}  // namespace

simple_socket::simple_socket() = default;

simple_socket::~simple_socket() { disconnect(true); }

void simple_socket::close_handle(socket_handle& handle) {
  if (handle == invalid_socket_handle) return;
  ::shutdown(handle, SHUT_RDWR);
  ::close(handle);
  handle = invalid_socket_handle;
}

void simple_socket::disconnect(bool close_listener) {
  forget_pending();
  // Closed while a renderer thread sends, the handle's number could already name another
  // file when its send is made.
  const std::lock_guard<std::mutex> no_frame_in_flight(send_mutex_);
  close_handle(connection_);
  if (close_listener) close_handle(listener_);
}

void simple_socket::connect(const std::string& address, unsigned port, int protocol_id) {
  if (connection_ != invalid_socket_handle) throw simple_socket_error("simple_socket::connect: Already connected.");
  if (listener_ != invalid_socket_handle)
    throw simple_socket_error("simple_socket::connect: Already listening for a connection.");

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<std::uint16_t>(port % 65536));
  peer.sin_addr.s_addr = ::inet_addr(address.c_str());
  if (peer.sin_addr.s_addr == INADDR_NONE)
    throw simple_socket_error("simple_socket::connect: Invalid IP address specified, " + address);

  if (protocol_id != protocol_tcp) throw simple_socket_error("socket: Invalid protocol id");
  const int created = ::socket(AF_INET, SOCK_STREAM, 0);
  if (created == invalid_socket_handle)
    throw simple_socket_error("socket: Failed to create tcp/ip socket.",
                              std::error_code(errno, std::system_category()));
  {
    const std::lock_guard<std::mutex> no_frame_in_flight(send_mutex_);
    connection_ = created;
  }

  if (const int error = connect_error(created, peer); error != 0) {
    disconnect(true);
    throw simple_socket_could_not_connect_error("connect: Failed to connect to server at port " + std::to_string(port),
                                                std::error_code(error, std::system_category()));
  }
  // Without it the second of two small frames in a row waits for the worker's delayed
  // acknowledgement of the first (40 ms on Linux, up to 200 ms on Windows). Failing to set
  // it costs only time, so the connection is kept either way.
  const int on = 1;
  ::setsockopt(created, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A stream socket may take less than the whole frame in one call; stopping there would
// leave half a frame on the wire and desynchronise every later message.
void simple_socket::send_frame(const char (&header)[frame_header_size], std::string_view payload) {
  iovec parts[2] = {{const_cast<char*>(header), frame_header_size},
                    {const_cast<char*>(payload.data()), payload.size()}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  while (message.msg_iovlen > 0) {
    const ssize_t n = ::sendmsg(connection_, &message, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw system_failure("send: error trying to send data: WSAError code ");
    }
    if (n == 0) throw simple_socket_error("send: failed to send the entire message.");
    auto sent = static_cast<std::size_t>(n);
    while (message.msg_iovlen > 0 && sent >= message.msg_iov->iov_len) {
      sent -= message.msg_iov->iov_len;
      ++message.msg_iov;
      --message.msg_iovlen;
    }
    if (message.msg_iovlen > 0) {
      message.msg_iov->iov_base = static_cast<char*>(message.msg_iov->iov_base) + sent;
      message.msg_iov->iov_len -= sent;
    }
  }
}

// One readiness wait until `expiry`; a signal that interrupts it does not count as data.
void simple_socket::wait_for_data(std::uint32_t expiry) {
  for (;;) {
    pollfd entry{connection_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, remaining_ms(expiry));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw system_failure("select: Operation on socket failed: WSAError code ");
    }
    if (ready == 0) throw simple_socket_timeout_error("simple_socket: Timed out waiting for data.");
    return;
  }
}

std::size_t simple_socket::receive_some(char* buffer, std::size_t count, bool block) {
  for (;;) {
    const ssize_t n = ::recv(connection_, buffer, std::min(count, max_recv_chunk), block ? 0 : MSG_DONTWAIT);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && !block && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    const int code = errno;
    disconnect(true);
    if (n == 0)
      throw simple_socket_disconnect_error("simple_socket::receive: socket was disconnected while reading data.");
    throw system_failure("recv: socket error trying to receive data: WSAError code ", code);
  }
}

}  // namespace paravelle::win32
