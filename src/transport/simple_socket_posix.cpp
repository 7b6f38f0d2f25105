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

#include "host/platform.h"

namespace paravelle::win32 {
namespace {

constexpr std::size_t max_recv_chunk = 4194304;

std::string with_error_code(const char* text) { return text + std::to_string(errno); }

// Milliseconds left until `expiry` on the wrapping tick counter; 0 once it has passed.
int remaining_ms(std::uint32_t expiry) {
  const auto remaining = static_cast<std::int32_t>(expiry - host::tick_count());
  return remaining < 0 ? 0 : remaining;
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
  close_handle(connection_);
  if (close_listener) close_handle(listener_);
}

void simple_socket::connect(const std::string& address, unsigned port, int protocol_id) {
  if (connection_ != invalid_socket_handle)
    throw simple_socket_error("simple_socket::connect: Already connected.");
  if (listener_ != invalid_socket_handle)
    throw simple_socket_error("simple_socket::connect: Already listening for a connection.");

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<std::uint16_t>(port % 65536));
  peer.sin_addr.s_addr = ::inet_addr(address.c_str());
  if (peer.sin_addr.s_addr == INADDR_NONE)
    throw simple_socket_error("simple_socket::connect: Invalid IP address specified, " + address);

  if (protocol_id != protocol_tcp && protocol_id != protocol_udp)
    throw simple_socket_error("socket: Invalid protocol id");
  connection_ = ::socket(AF_INET, protocol_id == protocol_tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
  if (connection_ == invalid_socket_handle)
    throw simple_socket_error("socket: Failed to create tcp/ip socket.");

  int result;
  do {
    result = ::connect(connection_, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    disconnect(true);
    throw simple_socket_could_not_connect_error("connect: Failed to connect to server at port " +
                                                std::to_string(port));
  }
  if (protocol_id == protocol_tcp) {
    // Without it the second of two small frames in a row waits for the worker's delayed
    // acknowledgement of the first (40 ms on Linux, up to 200 ms on Windows). Failing to
    // set it costs only time, so the connection is kept either way.
    const int on = 1;
    ::setsockopt(connection_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
}

void simple_socket::send(const std::string& payload) {
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
  const std::lock_guard<std::mutex> one_frame_at_a_time(send_mutex_);
  std::size_t sent = 0;
  while (sent < total) {
    const ssize_t n = ::send(connection_, frame.get() + sent, total - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw simple_socket_error(with_error_code("send: error trying to send data: WSAError code "));
    }
    if (n == 0) throw simple_socket_error("send: failed to send the entire message.");
    sent += static_cast<std::size_t>(n);
  }
}

std::string simple_socket::receive(int timeout_ms) {
  if (connection_ == invalid_socket_handle)
    throw simple_socket_error("simple_socket: receive while not connected.");

  const bool use_expiry = timeout_ms >= 0;
  const std::uint32_t expiry = host::tick_count() + static_cast<std::uint32_t>(timeout_ms);
  if (use_expiry) {
    try {
      wait_for_data(expiry);
    } catch (const simple_socket_timeout_error&) {
      throw simple_socket_timeout_error("simple_socket: Timed out waiting for header packet to arrive.");
    }
  }

  std::uint32_t header = 0;
  try {
    read_exact(reinterpret_cast<char*>(&header), frame_header_size, use_expiry, expiry);
  } catch (const simple_socket_disconnect_error&) {
    throw simple_socket_disconnect_error(
        "simple_socket::receive: socket was disconnected while reading header.");
  }

  const std::uint32_t length = ntohl(header);
  if (length > max_receive_payload_size)
    throw simple_socket_error("simple_socket::receive: Invalid packet size (given " +
                              std::to_string(length) + ")");

  std::string payload(length, '\0');
  try {
    read_exact(payload.data(), length, use_expiry, expiry);
  } catch (const simple_socket_disconnect_error&) {
    throw simple_socket_disconnect_error(
        "simple_socket::receive: socket was disconnected while reading data.");
  }
  return payload;
}

// One readiness wait until `expiry`; a signal that interrupts it does not count as data.
void simple_socket::wait_for_data(std::uint32_t expiry) {
  for (;;) {
    pollfd entry{connection_, POLLIN, 0};
    const int ready = ::poll(&entry, 1, remaining_ms(expiry));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw simple_socket_error(with_error_code("select: Operation on socket failed: WSAError code "));
    }
    if (ready == 0) throw simple_socket_timeout_error("simple_socket: Timed out waiting for data.");
    return;
  }
}

void simple_socket::read_exact(char* buffer, std::size_t count, bool use_expiry, std::uint32_t expiry) {
  std::size_t filled = 0;
  while (filled < count) {
    if (use_expiry) wait_for_data(expiry);
    const ssize_t n = ::recv(connection_, buffer + filled, std::min(count - filled, max_recv_chunk), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
      disconnect(true);
      throw simple_socket_error("recv: socket error trying to receive data: WSAError code " +
                                std::to_string(code));
    }
    if (n == 0) {
      disconnect(true);
      throw simple_socket_disconnect_error(
          "simple_socket::receive: socket was disconnected while reading data.");
    }
    filled += static_cast<std::size_t>(n);
  }
}

}  // namespace paravelle::win32
