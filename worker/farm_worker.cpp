#include "worker/farm_worker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

#include "worker/job_replies.h"
#include "worker/poll_wait.h"

namespace paravelle::worker {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

bool is_connection_loss(int error) { return error == ECONNRESET || error == EPIPE || error == ENOTCONN; }

std::string timeout_text(const char* what, int timeout_ms) {
  return std::string(what) + " within " + std::to_string(timeout_ms) + " ms";
}

}  // namespace

FarmWorker::FarmWorker() : FarmWorker(0) {}

FarmWorker::FarmWorker(std::uint16_t port) : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  if (!listener_) throw system_failure("cannot create the listening socket", errno);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw system_failure("cannot listen on 127.0.0.1 port " + std::to_string(port), errno);
  }
  if (::listen(listener_.get(), 1) != 0) throw system_failure("cannot listen on 127.0.0.1", errno);
  socklen_t length = sizeof address;
  if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw system_failure("cannot read the listening port", errno);
  }
  port_ = ntohs(address.sin_port);
}

void FarmWorker::accept(int timeout_ms) {
  if (connection_) throw WorkerError("a node is already connected");
  const Deadline deadline(timeout_ms);
  for (;;) {
    if (!wait_for(listener_.get(), POLLIN, deadline)) {
      throw TimeoutError(timeout_text("the node did not connect", timeout_ms));
    }
    const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      connection_.reset(fd);
      // The node sends bursts of small messages (STARTED, then the result): without these, each
      // burst would wait for a delayed acknowledgement.
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
      buffer_ = FrameBuffer();
      end_of_stream_ = false;
      return;
    }
    // A client that gave up between poll and accept is not an error of ours.
    if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) throw system_failure("accept failed", errno);
  }
}

const UniqueFd& FarmWorker::require_connection() const {
  if (!connection_) throw WorkerError("no node is connected");
  return connection_;
}

bool FarmWorker::read_some() {
  std::array<char, kReadChunk> chunk{};
  for (;;) {
    const ssize_t count = ::recv(require_connection().get(), chunk.data(), chunk.size(), 0);
    if (count > 0) {
      // Linux turns quick acknowledgements off again after a while; keep them on.
      const int on = 1;
      ::setsockopt(require_connection().get(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
      buffer_.append(chunk.data(), static_cast<std::size_t>(count));
      return true;
    }
    if (count == 0) return false;
    if (errno == EINTR || errno == EAGAIN) continue;
    if (is_connection_loss(errno)) return false;
    throw system_failure("receiving from the node failed", errno);
  }
}

std::string FarmWorker::receive_raw(int timeout_ms) {
  const int fd = require_connection().get();
  const Deadline deadline(timeout_ms);
  for (;;) {
    if (auto payload = buffer_.pop_frame()) {
      notify(Direction::from_node, *payload);
      return std::move(*payload);
    }
    if (end_of_stream_) {
      throw ClosedError(buffer_.empty() ? "the node closed the connection"
                                        : "the node closed the connection in the middle of a frame");
    }
    if (!wait_for(fd, POLLIN, deadline)) throw TimeoutError(timeout_text("no message from the node", timeout_ms));
    if (!read_some()) end_of_stream_ = true;
  }
}

void FarmWorker::send_all(const std::string& bytes, int timeout_ms) {
  const int fd = require_connection().get();
  const Deadline deadline(timeout_ms);
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t count = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (count >= 0) {
      sent += static_cast<std::size_t>(count);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (wait_for(fd, POLLOUT, deadline)) continue;
      if (sent > 0) close();
      throw SendTimeoutError(timeout_text("the node read nothing", timeout_ms));
    }
    if (is_connection_loss(errno)) throw ClosedError("the node closed the connection");
    throw system_failure("sending to the node failed", errno);
  }
}

void FarmWorker::send_raw(const std::string& bytes, int timeout_ms) {
  if (bytes.size() > kMaxPayloadToNode) {
    throw WorkerError("a message of " + std::to_string(bytes.size()) + " bytes is more than the node accepts (" +
                      std::to_string(kMaxPayloadToNode) + ")");
  }
  send_all(encode_frame(bytes), timeout_ms);
  notify(Direction::to_node, bytes);
}

void FarmWorker::send_header_only(std::uint32_t announced_length) { send_all(encode_header(announced_length), -1); }

std::string FarmWorker::handshake(int timeout_ms, const std::string& word) {
  send_raw(word, timeout_ms);
  return receive_raw(timeout_ms);
}

std::string FarmWorker::greet(int timeout_ms, const std::string& expected_token) {
  const std::string token = receive_raw(timeout_ms);
  if (token != expected_token) {
    throw WorkerError("the node sent the token \"" + token + "\", expected \"" + expected_token + "\"");
  }
  std::string answer = handshake(timeout_ms);
  if (!answer.starts_with("Paravelle ") || answer.find("Incompatible plugin versions detected") != std::string::npos) {
    throw WorkerError("the node refused the handshake: " + answer);
  }
  return answer;
}

std::string FarmWorker::open_session(int timeout_ms, const std::string& expected_token) {
  accept(timeout_ms);
  return greet(timeout_ms, expected_token);
}

Conversation FarmWorker::command(const std::string& text, int timeout_ms, const RequestHandler& handler,
                                 std::function<bool(const std::string&)> is_final) {
  if (!is_final) {
    is_final = [](const std::string& message) { return message != "STARTED" && !is_function_message(message); };
  }
  send_raw(text, timeout_ms);
  Conversation conversation;
  for (;;) {
    std::string message = receive_raw(timeout_ms);
    // The node blocks until its request is answered, so the answer goes out before anything else is read.
    if (is_request(message)) send_raw(handler ? handler(message) : std::string("ERROR: not handled"), timeout_ms);
    const bool done = is_final(message);
    conversation.messages.push_back(std::move(message));
    if (done) return conversation;
  }
}

Conversation FarmWorker::job_command(const std::string& text, int timeout_ms, const RequestHandler& handler) {
  JobReplyTracker tracker(text);
  return command(text, timeout_ms, handler,
                 [&tracker](const std::string& message) { return tracker.is_final(message); });
}

bool FarmWorker::silent_for(int quiet_ms) {
  const int fd = require_connection().get();
  if (!buffer_.empty() || end_of_stream_) return false;
  return !wait_for(fd, POLLIN, Deadline(quiet_ms));
}

bool FarmWorker::peer_closed(int timeout_ms) {
  const int fd = require_connection().get();
  const Deadline deadline(timeout_ms);
  while (!end_of_stream_) {
    if (!wait_for(fd, POLLIN, deadline)) return false;
    if (!read_some()) end_of_stream_ = true;
  }
  return true;
}

void FarmWorker::close() {
  connection_.reset();
  buffer_ = FrameBuffer();
  end_of_stream_ = false;
}

void FarmWorker::notify(Direction direction, const std::string& payload) const {
  if (observer_) observer_(direction, payload);
}

}  // namespace paravelle::worker
