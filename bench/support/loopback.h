#pragma once
// Plain loopback sockets for the benchmarks' peers and baselines: frames are a 4-byte
// big-endian length and the payload, as on the farm connection.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace paravelle::bench_support {

inline int listen_on_loopback(std::uint16_t& port) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(listener, 1);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  return listener;
}

inline int connect_to_loopback(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return fd;
}

inline bool read_all(int fd, char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::recv(fd, data, size, 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

inline void write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// The payload with its length header in front.
inline std::string frame(const std::string& payload) {
  const std::uint32_t header = htonl(static_cast<std::uint32_t>(payload.size()));
  return std::string(reinterpret_cast<const char*>(&header), 4) + payload;
}

// One frame's payload into `payload` (resized); false at the end of the stream.
inline bool read_frame(int fd, std::string& payload) {
  std::uint32_t length;
  if (!read_all(fd, reinterpret_cast<char*>(&length), 4)) return false;
  payload.resize(ntohl(length));
  return read_all(fd, payload.data(), payload.size());
}

// Answers every frame on `fd` with a frame of `answer_size` bytes starting "SUCCESS: ",
// until the other end closes.
inline void answer_frames_on(int fd, std::size_t answer_size) {
  const std::string answer = frame("SUCCESS: " + std::string(answer_size > 9 ? answer_size - 9 : 0, 'v'));
  std::string request;
  while (read_frame(fd, request)) write_all(fd, answer.data(), answer.size());
}

// Accepts one connection and answers its frames as above.
inline void answer_frames(int listener, std::size_t answer_size) {
  const int fd = ::accept(listener, nullptr, nullptr);
  answer_frames_on(fd, answer_size);
  ::close(fd);
}

// The baseline client: sends `request_size`-byte frames and reads each answer.
class PingPongClient {
 public:
  PingPongClient(std::uint16_t port, std::size_t request_size)
      : fd_(connect_to_loopback(port)), request_(frame(std::string(request_size, 'r'))) {}
  ~PingPongClient() { ::close(fd_); }
  PingPongClient(const PingPongClient&) = delete;
  PingPongClient& operator=(const PingPongClient&) = delete;

  void exchange() {
    write_all(fd_, request_.data(), request_.size());
    read_frame(fd_, answer_);
  }

 private:
  int fd_;
  std::string request_;
  std::string answer_;
};

}  // namespace paravelle::bench_support
