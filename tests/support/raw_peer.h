#pragma once
// A byte-level stand-in for either end of a farm connection on loopback: listening for the
// node as a worker would, or connecting to a worker as a node would. It moves raw bytes, so
// tests can send malformed, split or oversized frames that a well-behaved peer never would.

#include <cstdint>
#include <string>

namespace paravelle::testing {

class RawPeer {
 public:
  RawPeer();                             // listens; accept() takes one connection
  explicit RawPeer(std::uint16_t port);  // connected to a listener on that port
  ~RawPeer();
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  std::uint16_t port() const { return port_; }
  void accept();
  void write_bytes(const std::string& bytes);
  void write_frame(const std::string& payload);
  // Exactly `count` bytes; throws std::runtime_error after `timeout_ms` of silence (-1: none)
  // or at the end of the stream.
  std::string read_bytes(std::size_t count, int timeout_ms = 5000);
  std::string read_frame(int timeout_ms = 5000);
  // True when the other end closed the connection within the time.
  bool sees_close(int timeout_ms = 5000);
  void close_connection();

 private:
  int listener_ = -1;
  int connection_ = -1;
  std::uint16_t port_ = 0;
};

std::string frame_header(std::uint32_t length);

}  // namespace paravelle::testing
