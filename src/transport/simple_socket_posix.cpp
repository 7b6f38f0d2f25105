#include "transport/simple_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
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
  pending_.clear();
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

void simple_socket::send(const std::string& payload) {
  // The handle is read under the lock that disconnect closes it under.
  const std::lock_guard<std::mutex> one_frame_at_a_time(send_mutex_);
  if (connection_ == invalid_socket_handle)
    throw simple_socket_error("simple_socket: send called while not connected.");
  const std::size_t total = payload.size() + frame_header_size;
  if (total > max_send_frame_size)
    throw simple_socket_error("simple_socket::send: Tried to send too much data at once.");

  const auto frame = std::make_unique_for_overwrite<char[]>(total);
  const std::uint32_t length = htonl(static_cast<std::uint32_t>(payload.size()));
  std::copy_n(reinterpret_cast<const char*>(&length), frame_header_size, frame.get());
  std::copy(payload.begin(), payload.end(), frame.get() + frame_header_size);

  // A stream socket may take less than the whole frame in one call; stopping there
  // would leave half a frame on the wire and desynchronise every later message. For the
  // same reason a frame is finished before another thread's frame may start.
  std::size_t sent = 0;
  while (sent < total) {
    const ssize_t n = ::send(connection_, frame.get() + sent, total - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw system_failure("send: error trying to send data: WSAError code ");
    }
    if (n == 0) throw simple_socket_error("send: failed to send the entire message.");
    sent += static_cast<std::size_t>(n);
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

std::size_t simple_socket::receive_some(char* buffer, std::size_t count) {
  for (;;) {
    const ssize_t n = ::recv(connection_, buffer, std::min(count, max_recv_chunk), 0);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n < 0 && errno == EINTR) continue;
    const int code = errno;
    disconnect(true);
    if (n == 0)
      throw simple_socket_disconnect_error("simple_socket::receive: socket was disconnected while reading data.");
    throw system_failure("recv: socket error trying to receive data: WSAError code ", code);
  }
}

}  // namespace paravelle::win32
