// The farm worker's end of the node's connection: it listens on 127.0.0.1, lets one node
// connect, and talks to it in frames. Every wait is a poll() with a time-out.
//
// Including this header gives the whole worker API: the errors, Conversation and NodeProcess.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "worker/conversation.h"
#include "worker/errors.h"
#include "worker/frame_codec.h"
#include "worker/node_process.h"
#include "worker/unique_fd.h"

namespace paravelle::worker {

enum class Direction { to_node, from_node };
// Sees every frame as it goes out or comes in (a display, a transcript); must not throw.
using MessageObserver = std::function<void(Direction, const std::string& payload)>;

// One listening socket and at most one connection. Not thread-safe: one thread drives it,
// as one thread drives the node's end.
class FarmWorker {
 public:
  FarmWorker();                             // listens on 127.0.0.1, ephemeral port, backlog 1
  explicit FarmWorker(std::uint16_t port);  // a chosen port; 0 picks an ephemeral one
  FarmWorker(const FarmWorker&) = delete;
  FarmWorker& operator=(const FarmWorker&) = delete;
  ~FarmWorker() = default;

  std::uint16_t port() const { return port_; }
  bool connected() const { return connection_.valid(); }
  // The connection's descriptor, for socket options; -1 when no node is connected.
  int native_handle() const { return connection_.valid() ? connection_.get() : -1; }
  void set_observer(MessageObserver observer) { observer_ = std::move(observer); }

  // Waits for the node to connect. TimeoutError; WorkerError when a connection is already open.
  void accept(int timeout_ms);
  // One frame's payload bytes, as received. A negative time-out waits without limit.
  // TimeoutError (nothing consumed: a partly received frame stays buffered), ClosedError,
  // WorkerError for a frame announcing more than 100000 bytes (left unconsumed).
  std::string receive_raw(int timeout_ms);
  // One frame, written completely within `timeout_ms` (negative: without limit). WorkerError above
  // 100000 payload bytes, ClosedError when the node is gone, SendTimeoutError when the node does not
  // read it in time; a frame left half sent would put the stream out of step, so then the connection
  // is closed.
  void send_raw(const std::string& bytes, int timeout_ms = -1);
  // Test aid: only a header announcing `announced_length` payload bytes.
  void send_header_only(std::uint32_t announced_length);

  // Sends the handshake word and returns the node's answer ("Paravelle " + build stamp).
  std::string handshake(int timeout_ms, const std::string& word = "TaskmereStartup");
  // On a connection just accepted: the token check and the handshake. Returns the node's answer;
  // WorkerError when the token differs or the node declares itself incompatible.
  std::string greet(int timeout_ms, const std::string& expected_token);
  // accept and greet in one.
  std::string open_session(int timeout_ms, const std::string& expected_token);

  // Sends one command and collects messages until `is_final(message)` holds, answering each request
  // with `handler` before reading on (no handler: "ERROR: not handled"). The default is_final takes
  // the first message that is neither "STARTED" nor a "FUNCTION: " one. `timeout_ms` bounds each
  // wait for the next message, so a long render that keeps reporting never times out, and each
  // message sent (the command, the answers).
  Conversation command(const std::string& text, int timeout_ms, const RequestHandler& handler = {},
                       std::function<bool(const std::string&)> is_final = {});
  // A job command (StartJob, RenderTask, EndJob): final is the first "SUCCESS..." or
  // "ERROR: Failed to save file.", or a refusal after which the node sends nothing more
  // (see job_replies.h); error replies before the final one are collected.
  Conversation job_command(const std::string& text, int timeout_ms, const RequestHandler& handler = {});

  // True when nothing arrives within `quiet_ms` (a settings command that must not reply).
  // Whatever did arrive stays unread.
  bool silent_for(int quiet_ms);
  // True when the node closes its end within the time. Frames that arrive meanwhile stay buffered.
  bool peer_closed(int timeout_ms);
  // Closes the connection (the node's daemon then ends its session); the port keeps listening.
  void close();

 private:
  const UniqueFd& require_connection() const;
  // Reads what is available into the buffer; false on end of stream.
  bool read_some();
  void send_all(const std::string& bytes, int timeout_ms);
  void notify(Direction direction, const std::string& payload) const;

  UniqueFd listener_;
  UniqueFd connection_;
  std::uint16_t port_ = 0;
  FrameBuffer buffer_;
  bool end_of_stream_ = false;
  MessageObserver observer_;
};

}  // namespace paravelle::worker
