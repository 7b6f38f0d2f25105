#include "transport/messages.h"

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "host/platform.h"
#include "transport/text.h"

namespace paravelle {
namespace {

std::atomic<int> configured_timeout_ms{farm_timeout_from(std::getenv(kFarmTimeoutVariable))};

// The prefix is ASCII, so comparing bytes is comparing characters, and only the value
// after it is decoded: a 60 KB answer is converted once and never moved.
std::optional<std::wstring> success_value(std::string_view bytes) {
  constexpr std::string_view kPrefix = "SUCCESS: ";
  if (!bytes.starts_with(kPrefix)) {
    from_utf8(bytes);  // a malformed answer raises, whatever it says
    return std::nullopt;
  }
  return from_utf8(bytes.substr(kPrefix.size()));
}

}  // namespace

std::string fit_to_frame(std::string bytes) {
  if (bytes.size() <= kMaxMessageSize) return bytes;
  const std::string note = "... [cut: the message has " + std::to_string(bytes.size()) + " bytes]";
  std::size_t kept = kMaxMessageSize - note.size();
  // Back to the first byte of a character, so the cut never splits one.
  while (kept > 0 && (static_cast<unsigned char>(bytes[kept]) & 0xC0) == 0x80) --kept;
  bytes.resize(kept);
  return bytes + note;
}

int farm_timeout_from(const char* value) {
  if (value == nullptr) return kDefaultFarmTimeoutMs;
  const char* const end = value + std::strlen(value);
  int milliseconds = 0;
  const auto [stop, error] = std::from_chars(value, end, milliseconds);
  if (error != std::errc() || stop != end || milliseconds < 1 || milliseconds > kDefaultFarmTimeoutMs)
    return kDefaultFarmTimeoutMs;
  return milliseconds;
}

int farm_timeout_ms() { return configured_timeout_ms.load(); }
void set_farm_timeout_ms(int timeout_ms) { configured_timeout_ms.store(timeout_ms); }

void send_message(win32::simple_socket& socket, const std::wstring& text) { socket.send(to_utf8(text)); }

void send_message(win32::simple_socket& socket, const std::string& narrow_text) {
  send_message(socket, to_wstring(narrow_text));
}

void send_message(win32::simple_socket& socket, const char* narrow_text) {
  send_message(socket, std::string(narrow_text));
}

std::wstring receive_message(win32::simple_socket& socket, int timeout_ms) {
  return from_utf8(socket.receive_view(timeout_ms));
}

std::optional<std::wstring> exchange_request(win32::simple_socket& socket, const std::wstring& request) {
  host::drain_messages();
  send_message(socket, request);
  return success_value(socket.receive_view(farm_timeout_ms()));
}

std::optional<std::wstring> exchange_request(win32::simple_socket& socket, const std::string& narrow_request) {
  return exchange_request(socket, to_wstring(narrow_request));
}

}  // namespace paravelle
