#include "support/raw_peer.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <stdexcept>

namespace paravelle::testing {
namespace {

#ifdef _WIN32
using ssize_t = int;
constexpr int no_sigpipe = 0;
int close_socket(int handle) { return ::closesocket(static_cast<SOCKET>(handle)); }
int poll_one(pollfd* entry, int ms) { return ::WSAPoll(entry, 1, ms); }
// The peer may be made before the socket under test has started Winsock.
struct winsock_started {
  winsock_started() {
    WSADATA data;
    ::WSAStartup(0x0202, &data);
  }
};
#else
constexpr int no_sigpipe = MSG_NOSIGNAL;
int close_socket(int handle) { return ::close(handle); }
int poll_one(pollfd* entry, int ms) { return ::poll(entry, 1, ms); }
struct winsock_started {};
#endif

sockaddr_in loopback(std::uint16_t port) {
  [[maybe_unused]] static const winsock_started winsock;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

bool readable(int handle, int timeout_ms) {
  pollfd entry{};
  entry.fd = handle;
  entry.events = POLLIN;
  return poll_one(&entry, timeout_ms) > 0;
}

}  // namespace

RawPeer::RawPeer() {
  sockaddr_in address = loopback(0);
  listener_ = static_cast<int>(::socket(AF_INET, SOCK_STREAM, 0));
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 1) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("RawPeer: cannot listen on loopback");
  port_ = ntohs(address.sin_port);
}

RawPeer::RawPeer(std::uint16_t port) : port_(port) {
  const sockaddr_in address = loopback(port);
  connection_ = static_cast<int>(::socket(AF_INET, SOCK_STREAM, 0));
  if (connection_ < 0 || ::connect(connection_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("RawPeer: cannot connect");
}

RawPeer::~RawPeer() {
  close_connection();
  if (listener_ >= 0) close_socket(listener_);
}

void RawPeer::accept() {
  connection_ = static_cast<int>(::accept(listener_, nullptr, nullptr));
  if (connection_ < 0) throw std::runtime_error("RawPeer: accept failed");
}

void RawPeer::write_bytes(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(connection_, bytes.data() + sent, static_cast<int>(bytes.size() - sent), no_sigpipe);
    if (n <= 0) throw std::runtime_error("RawPeer: send failed");
    sent += static_cast<std::size_t>(n);
  }
}

void RawPeer::write_frame(const std::string& payload) {
  write_bytes(frame_header(static_cast<std::uint32_t>(payload.size())) + payload);
}

std::string RawPeer::read_bytes(std::size_t count, int timeout_ms) {
  std::string bytes;
  while (bytes.size() < count) {
    if (!readable(connection_, timeout_ms)) throw std::runtime_error("RawPeer: nothing to read");
    char buffer[65536];
    const ssize_t n = ::recv(connection_, buffer, static_cast<int>(std::min(sizeof buffer, count - bytes.size())), 0);
    if (n <= 0) throw std::runtime_error("RawPeer: connection closed");
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

std::string RawPeer::read_frame(int timeout_ms) {
  const std::string header = read_bytes(4, timeout_ms);
  const auto* b = reinterpret_cast<const unsigned char*>(header.data());
  const std::uint32_t length = (std::uint32_t{b[0]} << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
  return read_bytes(length, timeout_ms);
}

bool RawPeer::sees_close(int timeout_ms) {
  char byte;
  return readable(connection_, timeout_ms) && ::recv(connection_, &byte, 1, 0) == 0;
}

void RawPeer::close_connection() {
  if (connection_ >= 0) close_socket(connection_);
  connection_ = -1;
}

std::string frame_header(std::uint32_t length) {
  return {static_cast<char>(length >> 24), static_cast<char>(length >> 16), static_cast<char>(length >> 8),
          static_cast<char>(length)};
}

}  // namespace paravelle::testing
