// The framing of messages, the same on every platform; the system calls are in
// simple_socket_posix.cpp and simple_socket_windows.cpp.

#include "transport/simple_socket.h"

#include <algorithm>

#include "host/platform.h"

namespace paravelle::win32 {
namespace {

std::uint32_t big_endian_length(const std::string& header) {
  std::uint32_t length = 0;
  for (std::size_t i = 0; i < frame_header_size; ++i) length = (length << 8) | static_cast<unsigned char>(header[i]);
  return length;
}

}  // namespace

std::string simple_socket::receive(int timeout_ms) {
  if (connection_ == invalid_socket_handle) throw simple_socket_error("simple_socket: receive while not connected.");

  const bool use_expiry = timeout_ms >= 0;
  const std::uint32_t expiry = host::tick_count() + static_cast<std::uint32_t>(timeout_ms);
  if (use_expiry && pending_.empty()) {
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

  const std::uint32_t length = big_endian_length(pending_);
  if (length > max_receive_payload_size) {
    pending_.clear();
    throw simple_socket_framing_error("simple_socket::receive: Invalid packet size (given " + std::to_string(length) +
                                      ")");
  }

  try {
    fill_pending(frame_header_size + length, use_expiry, expiry);
  } catch (const simple_socket_disconnect_error&) {
    throw simple_socket_disconnect_error("simple_socket::receive: socket was disconnected while reading data.");
  }
  std::string payload = pending_.substr(frame_header_size);
  pending_.clear();
  return payload;
}

void simple_socket::fill_pending(std::size_t size, bool use_expiry, std::uint32_t expiry) {
  std::size_t filled = pending_.size();
  if (filled >= size) return;
  pending_.resize(size);
  try {
    while (filled < size) {
      if (use_expiry) wait_for_data(expiry);
      filled += receive_some(pending_.data() + filled, size - filled);
    }
  } catch (...) {
    // A time-out keeps what arrived for the next receive; a closed connection keeps nothing.
    if (connection_ != invalid_socket_handle)
      pending_.resize(filled);
    else
      pending_.clear();
    throw;
  }
}

}  // namespace paravelle::win32
