// The frame reader fed by a byte stream: whatever the worker writes, the socket returns
// exactly the payloads that the stream's headers announce, refuses an announced size over
// the limit, and reports the end of the stream as a disconnect.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "support/raw_peer.h"
#include "transport/simple_socket.h"

namespace {

using namespace paravelle;
using namespace paravelle::win32;

std::uint32_t big_endian_at(const std::string& bytes, std::size_t at) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string stream(reinterpret_cast<const char*>(data), size);
  simple_socket socket;
  testing::RawPeer peer;
  socket.connect("127.0.0.1", peer.port(), simple_socket::protocol_tcp);
  peer.accept();
  peer.write_bytes(stream);
  peer.close_connection();

  std::size_t at = 0;  // where the next frame starts in the stream
  for (;;) {
    const std::size_t left = stream.size() - at;
    const bool whole_header = left >= 4;
    const std::uint32_t announced = whole_header ? big_endian_at(stream, at) : 0;
    try {
      const std::string payload = socket.receive(5000);
      FUZZ_CHECK(whole_header && announced <= max_receive_payload_size && left - 4 >= announced);
      FUZZ_CHECK(payload == stream.substr(at + 4, announced));
      at += 4 + announced;
    } catch (const simple_socket_disconnect_error& e) {
      const std::string text = e.what();
      FUZZ_CHECK(!socket.is_connected());
      if (left == 0 || !whole_header) {
        FUZZ_CHECK(text == "simple_socket::receive: socket was disconnected while reading header.");
      } else {
        FUZZ_CHECK(announced <= max_receive_payload_size && left - 4 < announced);
        FUZZ_CHECK(text == "simple_socket::receive: socket was disconnected while reading data.");
      }
      break;
    } catch (const simple_socket_timeout_error&) {
      FUZZ_CHECK(false);  // everything was written before the first receive
    } catch (const simple_socket_error& e) {
      FUZZ_CHECK(whole_header && announced > max_receive_payload_size);
      FUZZ_CHECK(std::string(e.what()) ==
                 "simple_socket::receive: Invalid packet size (given " + std::to_string(announced) + ")");
      FUZZ_CHECK(socket.is_connected());
      break;
    }
  }
  return 0;
}
