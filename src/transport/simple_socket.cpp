// The framing of messages, the same on every platform; the system calls are in
// simple_socket_posix.cpp and simple_socket_windows.cpp.

#include "transport/simple_socket.h"

#include <algorithm>

#include "host/platform.h"

namespace paravelle::win32 {
namespace {

std::uint32_t big_endian_length(const char* header) {
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < frame_header_size; ++i) length = (length << 8) | static_cast<unsigned char>(header[i]);
  return length;
}

}  // namespace

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

}  // namespace paravelle::win32
