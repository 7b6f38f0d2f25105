// A minimal stand-in for the node's socket: connects to the worker and moves raw bytes, so the
// tests see exactly what is on the wire.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace paravelle::worker::testing {

class RawClient {
 public:
  explicit RawClient(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error("RawClient: cannot connect");
    }
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  ~RawClient() { close(); }

  void send_bytes(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t count = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (count <= 0) throw std::runtime_error("RawClient: send failed");
      sent += static_cast<std::size_t>(count);
    }
  }
  void send_frame(const std::string& payload) {
    send_bytes(header(static_cast<std::uint32_t>(payload.size())) + payload);
  }

  // Exactly `count` bytes, or throws after `timeout_ms` of silence or on end of stream.
  std::string receive_bytes(std::size_t count, int timeout_ms = 5000) {
    std::string bytes;
    while (bytes.size() < count) {
      pollfd entry{fd_, POLLIN, 0};
      if (::poll(&entry, 1, timeout_ms) <= 0) throw std::runtime_error("RawClient: nothing arrived");
      char chunk[65536];
      const ssize_t got = ::recv(fd_, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
      if (got <= 0) throw std::runtime_error("RawClient: connection closed");
      bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
  }
  std::string receive_frame(int timeout_ms = 5000) {
    const std::string head = receive_bytes(4, timeout_ms);
    std::uint32_t length = 0;
    for (const char c : head) length = (length << 8) | static_cast<unsigned char>(c);
    return receive_bytes(length, timeout_ms);
  }
  // True when the worker closed its end within the time.
  bool sees_close(int timeout_ms = 5000) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, timeout_ms) <= 0) return false;
    char byte;
    return ::recv(fd_, &byte, 1, 0) == 0;
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  static std::string header(std::uint32_t length) {
    return {static_cast<char>(length >> 24), static_cast<char>(length >> 16), static_cast<char>(length >> 8),
            static_cast<char>(length)};
  }

 private:
  int fd_;
};

}  // namespace paravelle::worker::testing
