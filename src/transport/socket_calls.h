#pragma once
// The calls a socket makes differently on each platform: simple_socket_posix.cpp and
// simple_socket_windows.cpp each define them, and simple_socket.cpp builds connect, send,
// receive and disconnect on them once, so that both platforms take the same path through
// an interrupted call, a partial send or a closed peer.

#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/simple_socket.h"

namespace paravelle::win32::socket_calls {

// One part of a frame: the header, then the payload, go out without being joined first.
struct FramePart {
  const char* data;
  std::size_t size;
};

// What receive returns when it has no bytes to give.
inline constexpr std::ptrdiff_t kPeerClosed = 0;
inline constexpr std::ptrdiff_t kCallFailed = -1;  // last_error() says why
inline constexpr std::ptrdiff_t kNothingYet = -2;  // only when asked not to block
// Only where a receive that must not block asks the system first whether it would.
inline constexpr std::ptrdiff_t kReadinessFailed = -3;

// The socket library's start and end, once per simple_socket (Winsock counts them).
void start_up();
void clean_up();

// The error number of the calling thread's last failed call.
int last_error();
// Whether an error number says that a signal cut the call short.
bool interrupted(int error);

// A TCP socket, or invalid_socket_handle (last_error() says why).
socket_handle open_stream();
// A dotted IPv4 address in network order; false when `address` is none.
bool parse_ipv4(const std::string& address, std::uint32_t& parsed);
// One connect call: 0 or the error number. An interrupted connect goes on in the background.
int connect(socket_handle handle, std::uint32_t address, std::uint16_t port);
// Waits, without limit, for a connect under way to be through or to fail: 0, or the error
// number of the wait itself.
int wait_until_connected(socket_handle handle);
// The outcome of a connect that went on in the background: 0 or the error number.
int connect_outcome(socket_handle handle);
void set_no_delay(socket_handle handle);
void close(socket_handle handle);

// One send of what is left of `parts`: the bytes taken, or kCallFailed.
std::ptrdiff_t send(socket_handle handle, const FramePart* parts, std::size_t count);
// One receive of at most `count` bytes: the bytes read, or one of the codes above.
std::ptrdiff_t receive(socket_handle handle, char* buffer, std::size_t count, bool block);
// Waits at most `timeout_ms` for something to read: > 0 when it has come, 0 when the time is
// up, kCallFailed when the wait failed.
int wait_readable(socket_handle handle, int timeout_ms);

}  // namespace paravelle::win32::socket_calls
