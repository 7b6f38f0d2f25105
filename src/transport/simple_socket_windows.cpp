// Winsock implementation of the farm connection; the POSIX one is its twin.

#include "transport/simple_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>

#include "host/platform.h"

#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif

namespace paravelle::win32 {
namespace {

constexpr int max_recv_chunk = 4194304;

// A failed socket call: the text quotes Winsock's error number, the exception keeps it.
simple_socket_error system_failure(const char* text, int error = ::WSAGetLastError()) {
  return simple_socket_error(text + std::to_string(error), std::error_code(error, std::system_category()));
}

// Time-outs run on the host's tick counter, as on every platform, so that tests can move
// it to the wrap.
timeval time_left(std::uint32_t expiry) {
  auto remaining = static_cast<std::int32_t>(expiry - host::tick_count());
  if (remaining < 0) remaining = 0;
  return timeval{static_cast<long>(remaining / 1000), static_cast<long>((remaining % 1000) * 1000)};
}

}  // namespace

simple_socket::simple_socket() {
  WSADATA data;
  if (::WSAStartup(0x0202, &data) != 0) throw simple_socket_error("WSAStartup: failed");
}

simple_socket::~simple_socket() {
  disconnect(true);
  ::WSACleanup();
}

void simple_socket::close_handle(socket_handle& handle) {
  if (handle == invalid_socket_handle) return;
  ::shutdown(static_cast<SOCKET>(handle), SD_BOTH);
  ::closesocket(static_cast<SOCKET>(handle));
  handle = invalid_socket_handle;
}

void simple_socket::disconnect(bool close_listener) {
  forget_pending();
  // Closed while a renderer thread sends, the handle could already name another socket
  // when its send is made.
  const std::lock_guard<std::mutex> no_frame_in_flight(send_mutex_);
  close_handle(connection_);
  if (close_listener) close_handle(listener_);
}

void simple_socket::connect(const std::string& address, unsigned port, int protocol_id) {
  if (connection_ != invalid_socket_handle) throw simple_socket_error("simple_socket::connect: Already connected.");
  if (listener_ != invalid_socket_handle)
    throw simple_socket_error("simple_socket::connect: Already listening for a connection.");

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = ::htons(static_cast<u_short>(port % 65536));
  peer.sin_addr.s_addr = ::inet_addr(address.c_str());
  if (peer.sin_addr.s_addr == INADDR_NONE)
    throw simple_socket_error("simple_socket::connect: Invalid IP address specified, " + address);
  if (protocol_id != protocol_tcp) throw simple_socket_error("socket: Invalid protocol id");

  const SOCKET created = ::socket(AF_INET, SOCK_STREAM, 0);
  if (created == INVALID_SOCKET)
    throw simple_socket_error("socket: Failed to create tcp/ip socket.",
                              std::error_code(::WSAGetLastError(), std::system_category()));
  {
    const std::lock_guard<std::mutex> no_frame_in_flight(send_mutex_);
    connection_ = static_cast<socket_handle>(created);
  }
  if (::connect(created, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == SOCKET_ERROR) {
    const int error = ::WSAGetLastError();
    disconnect(true);
    throw simple_socket_could_not_connect_error("connect: Failed to connect to server at port " + std::to_string(port),
                                                std::error_code(error, std::system_category()));
  }
  // Small frames in a row must not wait for the worker's delayed acknowledgement.
  const BOOL on = TRUE;
  ::setsockopt(created, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// A partial send would leave half a frame on the wire; keep going until it is all out.
void simple_socket::send_frame(const char (&header)[frame_header_size], std::string_view payload) {
  WSABUF parts[2] = {{static_cast<ULONG>(frame_header_size), const_cast<char*>(header)},
                     {static_cast<ULONG>(payload.size()), const_cast<char*>(payload.data())}};
  WSABUF* next = parts;
  DWORD left = 2;
  while (left > 0) {
    DWORD sent = 0;
    if (::WSASend(static_cast<SOCKET>(connection_), next, left, &sent, 0, nullptr, nullptr) == SOCKET_ERROR) {
      if (::WSAGetLastError() == WSAEINTR) continue;
      throw system_failure("send: error trying to send data: WSAError code ");
    }
    if (sent == 0) throw simple_socket_error("send: failed to send the entire message.");
    while (left > 0 && sent >= next->len) {
      sent -= next->len;
      ++next;
      --left;
    }
    if (left > 0) {
      next->buf += sent;
      next->len -= sent;
    }
  }
}

void simple_socket::wait_for_data(std::uint32_t expiry) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(static_cast<SOCKET>(connection_), &readable);
  timeval left = time_left(expiry);
  const int ready = ::select(0, &readable, nullptr, nullptr, &left);
  if (ready == SOCKET_ERROR) throw system_failure("select: Operation on socket failed: WSAError code ");
  if (!FD_ISSET(static_cast<SOCKET>(connection_), &readable))
    throw simple_socket_timeout_error("simple_socket: Timed out waiting for data.");
}

std::size_t simple_socket::receive_some(char* buffer, std::size_t count, bool block) {
  if (!block) {
    // Winsock has no per-call non-blocking receive: a select that does not wait says
    // whether one would block.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(connection_), &readable);
    timeval now{0, 0};
    const int ready = ::select(0, &readable, nullptr, nullptr, &now);
    if (ready == SOCKET_ERROR) throw system_failure("select: Operation on socket failed: WSAError code ");
    if (ready == 0) return 0;
  }
  const int wanted = static_cast<int>(std::min<std::size_t>(count, max_recv_chunk));
  const int n = ::recv(static_cast<SOCKET>(connection_), buffer, wanted, 0);
  if (n > 0) return static_cast<std::size_t>(n);
  const int code = ::WSAGetLastError();
  disconnect(true);
  if (n == 0)
    throw simple_socket_disconnect_error("simple_socket::receive: socket was disconnected while reading data.");
  throw system_failure("recv: socket error trying to receive data: WSAError code ", code);
}

}  // namespace paravelle::win32
