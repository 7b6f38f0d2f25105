#pragma once
// A loopback connection for fuzz targets: a simple_socket connected to a plain socket that
// the target writes raw bytes into.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "transport/simple_socket.h"

namespace paravelle::fuzzing {

// One listener for the whole run; each connection is accepted from it.
class loopback_listener {
 public:
  loopback_listener() {
    handle_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(handle_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(handle_, 4) != 0 ||
        ::getsockname(handle_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      std::abort();
    port_ = ntohs(address.sin_port);
  }
  ~loopback_listener() { ::close(handle_); }
  loopback_listener(const loopback_listener&) = delete;
  loopback_listener& operator=(const loopback_listener&) = delete;

  // Connects the socket and returns the peer's end of the connection.
  int connect(win32::simple_socket& socket) const {
    socket.connect("127.0.0.1", port_, win32::simple_socket::protocol_tcp);
    const int peer = ::accept(handle_, nullptr, nullptr);
    if (peer < 0) std::abort();
    return peer;
  }

 private:
  int handle_ = -1;
  std::uint16_t port_ = 0;
};

inline void write_all(int handle, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(handle, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

}  // namespace paravelle::fuzzing
