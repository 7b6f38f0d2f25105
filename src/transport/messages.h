#pragma once
// Messages on the farm connection: one text per frame, UTF-8 on the wire. Wide texts
// are encoded directly; narrow texts pass through the ANSI code page first, so they
// can only carry what that code page holds.

#include <optional>
#include <string>

#include "transport/simple_socket.h"

namespace paravelle {

// How long every wait for the farm lasts.
constexpr int default_farm_timeout_ms = 120000;
int farm_timeout_ms();
// Test seam: lets integration tests see a time-out in milliseconds instead of minutes.
void set_farm_timeout_ms(int timeout_ms);

void send_message(win32::simple_socket& socket, const std::wstring& text);
void send_message(win32::simple_socket& socket, const std::string& narrow_text);
void send_message(win32::simple_socket& socket, const char* narrow_text);

std::wstring receive_message(win32::simple_socket& socket, int timeout_ms);

// One request and its answer: drains the host's queue, sends, reads one answer within
// the farm time-out. Returns the value after "SUCCESS: " (the answer prefix of a request
// that succeeded), or nothing when the farm
// answered anything else. Transport failures raise simple_socket_error.
std::optional<std::wstring> exchange_request(win32::simple_socket& socket, const std::wstring& request);
std::optional<std::wstring> exchange_request(win32::simple_socket& socket, const std::string& narrow_request);

}  // namespace paravelle
