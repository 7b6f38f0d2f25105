#include "transport/messages.h"

#include <atomic>
#include <string_view>

#include "host/platform.h"
#include "transport/text.h"

namespace paravelle {
namespace {

std::atomic<int> configured_timeout_ms{default_farm_timeout_ms};

// The prefix is ASCII, so comparing bytes is comparing characters, and only the value
// after it is decoded: a 60 KB answer is converted once and never moved.
std::optional<std::wstring> success_value(const std::string& answer) {
  constexpr std::string_view prefix = "SUCCESS: ";
  const std::string_view bytes(answer);
  if (!bytes.starts_with(prefix)) {
    from_utf8(bytes);  // a malformed answer raises, whatever it says
    return std::nullopt;
  }
  return from_utf8(bytes.substr(prefix.size()));
}

}  // namespace

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
  return from_utf8(socket.receive(timeout_ms));
}

std::optional<std::wstring> exchange_request(win32::simple_socket& socket, const std::wstring& request) {
  host::drain_messages();
  send_message(socket, request);
  return success_value(socket.receive(farm_timeout_ms()));
}

std::optional<std::wstring> exchange_request(win32::simple_socket& socket, const std::string& narrow_request) {
  return exchange_request(socket, to_wstring(narrow_request));
}

}  // namespace paravelle
