// A file of its own: the wire's framing, shared by the worker's connection and the node session.

#include "worker/frame_codec.h"

#include "worker/errors.h"

namespace paravelle::worker {

std::string encode_header(std::uint32_t payload_length) {
  return {static_cast<char>((payload_length >> 24) & 0xFF), static_cast<char>((payload_length >> 16) & 0xFF),
          static_cast<char>((payload_length >> 8) & 0xFF), static_cast<char>(payload_length & 0xFF)};
}

std::string encode_frame(const std::string& payload) {
  return encode_header(static_cast<std::uint32_t>(payload.size())) + payload;
}

std::uint32_t decode_header(const char* four_bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < kHeaderSize; ++i) value = (value << 8) | static_cast<unsigned char>(four_bytes[i]);
  return value;
}

std::optional<std::string> FrameBuffer::pop_frame() {
  if (bytes_.size() < kHeaderSize) return std::nullopt;
  const std::uint32_t length = decode_header(bytes_.data());
  if (length > kMaxPayloadAccepted) {
    throw WorkerError("the node announced a frame of " + std::to_string(length) + " bytes; at most " +
                      std::to_string(kMaxPayloadAccepted) + " are allowed");
  }
  if (bytes_.size() - kHeaderSize < length) return std::nullopt;
  std::string payload = bytes_.substr(kHeaderSize, length);
  bytes_.erase(0, kHeaderSize + length);
  return payload;
}

}  // namespace paravelle::worker
