#pragma once
// A byte-level stand-in for the farm worker: listens on loopback, accepts one
// connection and reads or writes raw bytes, so tests can send malformed, split or
// oversized frames that a well-behaved worker never would.

#include <cstdint>
#include <string>

namespace paravelle::testing {

class RawPeer {
 public:
  RawPeer();
  ~RawPeer();
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  std::uint16_t port() const { return port_; }
  void accept();
  void write_bytes(const std::string& bytes);
  void write_frame(const std::string& payload);
  // Reads exactly `count` bytes (waits at most 5 s); throws std::runtime_error otherwise.
  std::string read_bytes(std::size_t count);
  std::string read_frame();
  void close_connection();

 private:
  int listener_ = -1;
  int connection_ = -1;
  std::uint16_t port_ = 0;
};

std::string frame_header(std::uint32_t length);

}  // namespace paravelle::testing
