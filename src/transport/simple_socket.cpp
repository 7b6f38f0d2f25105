// Everything a socket does the same on every platform: connecting, the framing, the send
// lock, disconnecting. The calls that differ are in socket_calls.h, defined once per
// platform in simple_socket_posix.cpp and simple_socket_windows.cpp.

#include "transport/simple_socket.h"

#include <algorithm>
#include <system_error>

#include "host/platform.h"
#include "transport/socket_calls.h"

namespace paravelle::win32 {
namespace {

constexpr std::size_t kMaxReceiveChunk = 4194304;
constexpr char kSelectFailed[] = "select: Operation on socket failed: WSAError code ";

std::uint32_t big_endian_length(const char* header) {
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < frame_header_size; ++i) length = (length << 8) | static_cast<unsigned char>(header[i]);
  return length;
}

std::error_code system_error_code(int error) { return std::error_code(error, std::system_category()); }

// A failed system call: the text quotes the error number, the exception keeps it.
simple_socket_error system_failure(const char* text, int error) {
  return simple_socket_error(text + std::to_string(error), system_error_code(error));
}

// Milliseconds left until `expiry` on the wrapping tick counter; 0 once it has passed.
int remaining_ms(std::uint32_t expiry) {
  const auto remaining = static_cast<std::int32_t>(expiry - host::tick_count());
  return remaining < 0 ? 0 : remaining;
}

void close_handle(socket_handle& handle) {
  if (handle == invalid_socket_handle) return;
  socket_calls::close(handle);
  handle = invalid_socket_handle;
}

// An interrupted connect goes on in the background, and calling it again only says so
// (EALREADY, or EISCONN once it is through): the first attempt's outcome is waited for
// instead. 0 when connected, else the error number of the failure.
int connect_error(socket_handle handle, std::uint32_t address, unsigned port) {
  const int error = socket_calls::connect(handle, address, static_cast<std::uint16_t>(port % 65536));
  if (error == 0 || !socket_calls::interrupted(error)) return error;
  int waited;
  do {
    waited = socket_calls::wait_until_connected(handle);
  } while (waited != 0 && socket_calls::interrupted(waited));
  return waited != 0 ? waited : socket_calls::connect_outcome(handle);
}

}  // namespace

simple_socket::simple_socket() { socket_calls::start_up(); }

simple_socket::~simple_socket() {
  disconnect(true);
  socket_calls::clean_up();
}

void simple_socket::connect(const std::string& address, unsigned port, int protocol_id) {
  if (connection_ != invalid_socket_handle) throw simple_socket_error("simple_socket::connect: Already connected.");
  if (listener_ != invalid_socket_handle)
    throw simple_socket_error("simple_socket::connect: Already listening for a connection.");
  std::uint32_t peer = 0;
  if (!socket_calls::parse_ipv4(address, peer))
    throw simple_socket_error("simple_socket::connect: Invalid IP address specified, " + address);
  if (protocol_id != protocol_tcp) throw simple_socket_error("socket: Invalid protocol id");

  const socket_handle created = socket_calls::open_stream();
  if (created == invalid_socket_handle)
    throw simple_socket_error("socket: Failed to create tcp/ip socket.", system_error_code(socket_calls::last_error()));
  {
    const std::lock_guard<std::mutex> no_frame_in_flight(send_mutex_);
    connection_ = created;
  }
  if (const int error = connect_error(created, peer, port); error != 0) {
    disconnect(true);
    throw simple_socket_could_not_connect_error("connect: Failed to connect to server at port " + std::to_string(port),
                                                system_error_code(error));
  }
  // Without it the second of two small frames in a row waits for the worker's delayed
  // acknowledgement of the first (40 ms on Linux, up to 200 ms on Windows). Failing to set
  // it costs only time, so the connection is kept either way.
  socket_calls::set_no_delay(created);
}

void simple_socket::disconnect(bool close_listener) {
  forget_pending();
  // Closed while a renderer thread sends, the handle's number could already name another
  // file or socket when its send is made.
  const std::lock_guard<std::mutex> no_frame_in_flight(send_mutex_);
  close_handle(connection_);
  if (close_listener) close_handle(listener_);
}

void simple_socket::send(const std::string& payload) {
  // A frame is finished before another thread's frame may start: interleaved, neither
  // could be read. The handle is read under the lock that disconnect closes it under.
  const std::lock_guard<std::mutex> one_frame_at_a_time(send_mutex_);
  if (connection_ == invalid_socket_handle)
    throw simple_socket_error("simple_socket: send called while not connected.");
  if (payload.size() + frame_header_size > max_send_frame_size)
    throw simple_socket_error("simple_socket::send: Tried to send too much data at once.");
  const auto length = static_cast<std::uint32_t>(payload.size());
  const char header[frame_header_size] = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                                          static_cast<char>(length >> 8), static_cast<char>(length)};
  send_frame(header, payload);
}

std::string simple_socket::receive(int timeout_ms) { return std::string(receive_view(timeout_ms)); }

std::string_view simple_socket::receive_view(int timeout_ms) {
  if (connection_ == invalid_socket_handle) throw simple_socket_error("simple_socket: receive while not connected.");

  const bool use_expiry = timeout_ms >= 0;
  const std::uint32_t expiry = host::tick_count() + static_cast<std::uint32_t>(timeout_ms);
  if (use_expiry && pending_size_ == 0) {
    try {
      wait_for_data(expiry);
    } catch (const simple_socket_timeout_error&) {
      throw simple_socket_timeout_error("simple_socket: Timed out waiting for header packet to arrive.");
    }
  }

  try {
    fill_pending(frame_header_size, use_expiry, expiry);
  } catch (const simple_socket_disconnect_error&) {
    throw simple_socket_disconnect_error("simple_socket::receive: socket was disconnected while reading header.");
  }

  const std::uint32_t length = big_endian_length(pending_.get());
  if (length > max_receive_payload_size) {
    forget_pending();
    throw simple_socket_framing_error("simple_socket::receive: Invalid packet size (given " + std::to_string(length) +
                                      ")");
  }

  try {
    fill_pending(frame_header_size + length, use_expiry, expiry);
  } catch (const simple_socket_disconnect_error&) {
    throw simple_socket_disconnect_error("simple_socket::receive: socket was disconnected while reading data.");
  }
  forget_pending();  // the bytes stay where they are until the next receive
  return {pending_.get() + frame_header_size, length};
}

void simple_socket::fill_pending(std::size_t size, bool use_expiry, std::uint32_t expiry) {
  if (pending_size_ >= size) return;
  if (size > pending_capacity_) {
    const std::size_t capacity =
        std::max(size, std::min(2 * pending_capacity_, frame_header_size + std::size_t{max_receive_payload_size}));
    auto larger = std::make_unique_for_overwrite<char[]>(capacity);
    std::copy_n(pending_.get(), pending_size_, larger.get());
    pending_ = std::move(larger);
    pending_capacity_ = capacity;
  }
  // A time-out keeps what arrived for the next receive; a closed connection keeps nothing
  // (disconnect forgot it).
  while (pending_size_ < size) {
    const std::size_t received = receive_some(pending_.get() + pending_size_, size - pending_size_, !use_expiry);
    if (received == 0) wait_for_data(expiry);
    pending_size_ += received;
  }
}

// A stream socket may take less than the whole frame in one call; stopping there would
// leave half a frame on the wire and desynchronise every later message.
void simple_socket::send_frame(const char (&header)[frame_header_size], std::string_view payload) {
  socket_calls::FramePart parts[2] = {{header, frame_header_size}, {payload.data(), payload.size()}};
  socket_calls::FramePart* next = parts;
  std::size_t left = 2;
  while (left > 0) {
    const std::ptrdiff_t taken = socket_calls::send(connection_, next, left);
    if (taken < 0) {
      const int error = socket_calls::last_error();
      if (socket_calls::interrupted(error)) continue;
      throw system_failure("send: error trying to send data: WSAError code ", error);
    }
    if (taken == 0) throw simple_socket_error("send: failed to send the entire message.");
    auto sent = static_cast<std::size_t>(taken);
    while (left > 0 && sent >= next->size) {
      sent -= next->size;
      ++next;
      --left;
    }
    if (left > 0) {
      next->data += sent;
      next->size -= sent;
    }
  }
}

// One readiness wait until `expiry`; a signal that interrupts it does not count as data.
void simple_socket::wait_for_data(std::uint32_t expiry) {
  for (;;) {
    const int ready = socket_calls::wait_readable(connection_, remaining_ms(expiry));
    if (ready < 0) {
      const int error = socket_calls::last_error();
      if (socket_calls::interrupted(error)) continue;
      throw system_failure(kSelectFailed, error);
    }
    if (ready == 0) throw simple_socket_timeout_error("simple_socket: Timed out waiting for data.");
    return;
  }
}

std::size_t simple_socket::receive_some(char* buffer, std::size_t count, bool block) {
  for (;;) {
    const std::ptrdiff_t n = socket_calls::receive(connection_, buffer, std::min(count, kMaxReceiveChunk), block);
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == socket_calls::kNothingYet) return 0;
    const int error = socket_calls::last_error();
    if (n == socket_calls::kReadinessFailed) throw system_failure(kSelectFailed, error);
    if (n == socket_calls::kCallFailed && socket_calls::interrupted(error)) continue;
    disconnect(true);
    if (n == socket_calls::kPeerClosed)
      throw simple_socket_disconnect_error("simple_socket::receive: socket was disconnected while reading data.");
    throw system_failure("recv: socket error trying to receive data: WSAError code ", error);
  }
}

}  // namespace paravelle::win32
