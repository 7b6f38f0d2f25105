#pragma once
// The plug-in's one network endpoint: a TCP client that moves whole length-prefixed
// messages to and from the farm worker on the same machine.

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>

namespace paravelle::win32 {

// Every transport failure; the subclasses mark the ones callers tell apart.
class simple_socket_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class simple_socket_timeout_error : public simple_socket_error {
 public:
  using simple_socket_error::simple_socket_error;
};

class simple_socket_could_not_connect_error : public simple_socket_error {
 public:
  using simple_socket_error::simple_socket_error;
};

class simple_socket_disconnect_error : public simple_socket_error {
 public:
  using simple_socket_error::simple_socket_error;
};

#ifdef _WIN32
using socket_handle = std::uintptr_t;
constexpr socket_handle invalid_socket_handle = ~socket_handle{0};
#else
using socket_handle = int;
constexpr socket_handle invalid_socket_handle = -1;
#endif

// Wire frame: a 4-byte big-endian payload length, then the payload.
constexpr std::size_t frame_header_size = 4;
// The largest frame this side sends, header included.
constexpr std::size_t max_send_frame_size = 100000;
// The largest payload this side accepts.
constexpr std::uint32_t max_receive_payload_size = 100000;

class simple_socket {
 public:
  static constexpr int protocol_tcp = 1;
  static constexpr int protocol_udp = 2;

  simple_socket();
  ~simple_socket();
  simple_socket(const simple_socket&) = delete;
  simple_socket& operator=(const simple_socket&) = delete;

  // Connects to a dotted IPv4 address; host names are not resolved. A TCP connection
  // sends each frame at once (no Nagle delay): the node sends bursts of small messages
  // ("STARTED", farm lines, progress) that would otherwise wait for the worker's delayed
  // acknowledgement.
  void connect(const std::string& address, unsigned port, int protocol_id);
  // Sends one message; the whole frame is written or an exception is raised. Safe to call
  // from several threads at once (the renderer's progress reports): frames go out one
  // after another, never interleaved.
  void send(const std::string& payload);
  // Receives the next message. A negative time-out waits without limit; header and
  // payload must both arrive within one time-out.
  std::string receive(int timeout_ms);
  void disconnect(bool close_listener);
  bool is_connected() const { return connection_ != invalid_socket_handle; }
  // The connected socket, for socket options; invalid_socket_handle when not connected.
  socket_handle native_handle() const { return connection_; }

 private:
  void wait_for_data(std::uint32_t expiry);
  void read_exact(char* buffer, std::size_t count, bool use_expiry, std::uint32_t expiry);
  static void close_handle(socket_handle& handle);

  socket_handle listener_ = invalid_socket_handle;
  socket_handle connection_ = invalid_socket_handle;
  std::mutex send_mutex_;  // one frame on the wire at a time
};

}  // namespace paravelle::win32
