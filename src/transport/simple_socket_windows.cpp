// The Winsock calls; simple_socket.cpp makes the socket out of them.

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <climits>

#include "transport/simple_socket.h"
#include "transport/socket_calls.h"

#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif

namespace paravelle::win32::socket_calls {
namespace {

SOCKET native(socket_handle handle) { return static_cast<SOCKET>(handle); }

timeval as_timeval(int timeout_ms) { return timeval{timeout_ms / 1000, (timeout_ms % 1000) * 1000}; }

// Waits on the one socket: > 0 when it is ready, 0 when the time is up, SOCKET_ERROR.
int select_one(socket_handle handle, bool for_writing, timeval* timeout) {
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(native(handle), &ready);
  if (!for_writing) return ::select(0, &ready, nullptr, nullptr, timeout);
  // A connect that fails in the background is reported among the exceptional sockets.
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(native(handle), &failed);
  return ::select(0, nullptr, &ready, &failed, timeout);
}

}  // namespace

void start_up() {
  WSADATA data;
  if (::WSAStartup(0x0202, &data) != 0) throw simple_socket_error("WSAStartup: failed");
}

void clean_up() { ::WSACleanup(); }

int last_error() { return ::WSAGetLastError(); }

bool interrupted(int error) { return error == WSAEINTR; }

socket_handle open_stream() {
  const SOCKET created = ::socket(AF_INET, SOCK_STREAM, 0);
  return created == INVALID_SOCKET ? invalid_socket_handle : static_cast<socket_handle>(created);
}

bool parse_ipv4(const std::string& address, std::uint32_t& parsed) {
  parsed = ::inet_addr(address.c_str());
  return parsed != INADDR_NONE;
}

int connect(socket_handle handle, std::uint32_t address, std::uint16_t port) {
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = ::htons(port);
  peer.sin_addr.s_addr = address;
  if (::connect(native(handle), reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != SOCKET_ERROR) return 0;
  return ::WSAGetLastError();
}

int wait_until_connected(socket_handle handle) {
  return select_one(handle, true, nullptr) == SOCKET_ERROR ? ::WSAGetLastError() : 0;
}

int connect_outcome(socket_handle handle) {
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(native(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == SOCKET_ERROR)
    return ::WSAGetLastError();
  return error;
}

void set_no_delay(socket_handle handle) {
  const BOOL on = TRUE;
  ::setsockopt(native(handle), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

void close(socket_handle handle) {
  ::shutdown(native(handle), SD_BOTH);
  ::closesocket(native(handle));
}

std::ptrdiff_t send(socket_handle handle, const FramePart* parts, std::size_t count) {
  WSABUF buffers[2];
  count = std::min<std::size_t>(count, 2);
  for (std::size_t i = 0; i < count; ++i)
    buffers[i] = {static_cast<ULONG>(parts[i].size), const_cast<char*>(parts[i].data)};
  DWORD sent = 0;
  if (::WSASend(native(handle), buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) == SOCKET_ERROR)
    return kCallFailed;
  return static_cast<std::ptrdiff_t>(sent);
}

std::ptrdiff_t receive(socket_handle handle, char* buffer, std::size_t count, bool block) {
  if (!block) {
    // Winsock has no per-call non-blocking receive: a select that does not wait says
    // whether one would block.
    timeval now{0, 0};
    const int ready = select_one(handle, false, &now);
    if (ready == SOCKET_ERROR) return kReadinessFailed;
    if (ready == 0) return kNothingYet;
  }
  const int n = ::recv(native(handle), buffer, static_cast<int>(std::min<std::size_t>(count, INT_MAX)), 0);
  return n == SOCKET_ERROR ? kCallFailed : n;
}

int wait_readable(socket_handle handle, int timeout_ms) {
  timeval left = as_timeval(timeout_ms);
  const int ready = select_one(handle, false, &left);
  return ready == SOCKET_ERROR ? kCallFailed : ready;
}

}  // namespace paravelle::win32::socket_calls
