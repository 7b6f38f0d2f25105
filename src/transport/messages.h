#pragma once
// Messages on the farm connection: one text per frame, UTF-8 on the wire. Wide texts
// are encoded directly; narrow texts pass through the ANSI code page first, so they
// can only carry what that code page holds.

#include <optional>
#include <string>

#include "transport/simple_socket.h"

namespace paravelle {

// How long every wait for the farm lasts: two minutes, unless the environment variable
// PARAVELLE_FARM_TIMEOUT_MS holds a whole number of milliseconds from 1 to 120000 when
// the library is loaded (what a test of a silent worker needs; any other value is ignored).
constexpr int kDefaultFarmTimeoutMs = 120000;
constexpr char kFarmTimeoutVariable[] = "PARAVELLE_FARM_TIMEOUT_MS";
int farm_timeout_ms();
// The time-out a value of PARAVELLE_FARM_TIMEOUT_MS asks for, or the default when it is
// missing, not a whole number, or outside 1..120000.
int farm_timeout_from(const char* value);
// Test seam: lets integration tests see a time-out in milliseconds instead of minutes.
void set_farm_timeout_ms(int timeout_ms);

// The most bytes one message may take: a frame of 100000 bytes, header included.
constexpr std::size_t kMaxMessageSize = win32::max_send_frame_size - win32::frame_header_size;

// A message's UTF-8 bytes as one frame carries them: unchanged when they fit; otherwise cut
// at a character boundary and ended with a note that says so and how long the whole was.
std::string fit_to_frame(std::string bytes);

// Sends one message; a text too long for a frame raises simple_socket_error, so it is sent
// whole or not at all (what tokens and requests need: a cut one would ask for another).
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
