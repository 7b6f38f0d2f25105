#pragma once
// The plug-in's one network endpoint: a TCP client that moves whole length-prefixed
// messages to and from the farm worker on the same machine.

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace paravelle::win32 {

// Every transport failure; the subclasses mark the ones callers tell apart. A failure of
// a system call keeps the system's error number as data beside the text that quotes it.
class simple_socket_error : public std::runtime_error {
 public:
  explicit simple_socket_error(const std::string& text, std::error_code code = {})
      : std::runtime_error(text), code_(code) {}
  // The system's error (errno, or the socket library's last error); empty where the
  // failure is ours (a frame too large, a receive while not connected).
  const std::error_code& code() const noexcept { return code_; }

 private:
  std::error_code code_;
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

// A header announcing more than the largest payload. Its payload stays in the stream and
// would be read as the next header, so nothing more can be read from this connection; it
// is left open only so that the reason can still be sent.
class simple_socket_framing_error : public simple_socket_error {
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
  // The one protocol: messages are framed on a stream, which a datagram socket is not.
  static constexpr int protocol_tcp = 1;

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
  // after another, never interleaved, and never to a handle that disconnect is closing.
  void send(const std::string& payload);
  // Receives the next message. A negative time-out waits without limit; header and
  // payload must both arrive within one time-out. When the time-out ends the wait in the
  // middle of a message, the bytes read so far are kept and the next receive goes on with
  // them, so a message is never split, lost, or its rest read as a header. A header over
  // max_receive_payload_size raises simple_socket_framing_error.
  std::string receive(int timeout_ms);
  // The same, without copying the payload out: the view is valid until the next receive,
  // connect or disconnect on this socket.
  std::string_view receive_view(int timeout_ms);
  void disconnect(bool close_listener);
  bool is_connected() const { return connection_ != invalid_socket_handle; }
  // The connected socket, for socket options; invalid_socket_handle when not connected.
  socket_handle native_handle() const { return connection_; }

 private:
  // One readiness wait until `expiry` on the tick counter; raises the time-out error.
  void wait_for_data(std::uint32_t expiry);
  // One recv of at most `count` bytes; a failure or the peer's close disconnects and throws.
  // Without `block`, 0 when nothing has arrived (the caller waits, with its time-out, and
  // asks again): most reads find their bytes there, and skip the wait's system call.
  std::size_t receive_some(char* buffer, std::size_t count, bool block);
  // Writes the header and then the payload, without joining them first; the whole frame is
  // out when it returns.
  void send_frame(const char (&header)[frame_header_size], std::string_view payload);

  // Reads until the message in progress has `size` bytes (header included).
  void fill_pending(std::size_t size, bool use_expiry, std::uint32_t expiry);
  void forget_pending() noexcept { pending_size_ = 0; }

  socket_handle listener_ = invalid_socket_handle;
  // Written only by the thread that connects and receives, under send_mutex_, which
  // senders on other threads hold while they read it.
  socket_handle connection_ = invalid_socket_handle;
  // The message being received, its header and payload bytes so far. The buffer is kept
  // from one message to the next and never cleared: it grows to the largest message seen,
  // so a receive neither allocates nor zero-fills once the connection is warm.
  std::unique_ptr<char[]> pending_;
  std::size_t pending_capacity_ = 0;
  std::size_t pending_size_ = 0;
  std::mutex send_mutex_;  // one frame on the wire at a time
};

}  // namespace paravelle::win32
