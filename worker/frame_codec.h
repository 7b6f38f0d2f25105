// The wire frame: a 4-byte big-endian payload length, then the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace paravelle::worker {

// The node refuses frames that announce more than this; we refuse to send them.
inline constexpr std::uint32_t kMaxPayloadToNode = 100000;
// The node never sends more than this (header and payload together stay within 100000 bytes).
inline constexpr std::uint32_t kMaxPayloadFromNode = 99996;
// What we accept when reading: the same bound the node applies, a little above what it sends.
inline constexpr std::uint32_t kMaxPayloadAccepted = 100000;
inline constexpr std::size_t kHeaderSize = 4;

std::string encode_header(std::uint32_t payload_length);
std::string encode_frame(const std::string& payload);
std::uint32_t decode_header(const char* four_bytes);

// Bytes received but not yet handed out as frames. A time-out in the middle of a frame
// leaves the partial frame here, so no byte of the stream is ever lost.
class FrameBuffer {
 public:
  void append(const char* data, std::size_t size) { bytes_.append(data, size); }
  bool empty() const { return bytes_.empty(); }
  std::size_t size() const { return bytes_.size(); }
  // The next complete frame's payload, if it has fully arrived. Throws WorkerError, consuming
  // nothing, when the header announces more than kMaxPayloadAccepted bytes.
  std::optional<std::string> pop_frame();

 private:
  std::string bytes_;
};

}  // namespace paravelle::worker
