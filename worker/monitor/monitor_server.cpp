#include "worker/monitor/monitor_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <charconv>
#include <cstring>
#include <list>
#include <mutex>
#include <optional>
#include <thread>

#include "worker/errors.h"
#include "worker/unique_fd.h"

namespace paravelle::monitor {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using worker::UniqueFd;

constexpr int kIdleMs = 30000;            // a connection that sends no request for this long is closed
constexpr int kWriteMs = 30000;           // a client that reads nothing for this long is dropped
constexpr int kEventIntervalMs = 200;     // events are sent in batches at most this often
constexpr int kKeepAliveSeconds = 15;     // a comment line on a quiet stream, so a closed page is noticed
constexpr std::size_t kMaxRequestBytes = 64 * 1024;

// A connected socket that Beast reads and writes through: every wait is bounded, so a silent client
// cannot hold a thread, and ends as soon as the server stops.
class ClientStream {
 public:
  ClientStream(int socket, int stop) : socket_(socket), stop_(stop) {}

  template <class Buffers>
  std::size_t read_some(const Buffers& buffers, beast::error_code& error) {
    const net::mutable_buffer buffer = beast::buffers_front(buffers);
    if (!ready(POLLIN, kIdleMs, error)) return 0;
    const ssize_t count = ::recv(socket_, buffer.data(), buffer.size(), 0);
    return done(count, error);
  }
  template <class Buffers>
  std::size_t read_some(const Buffers& buffers) {
    beast::error_code error;
    const std::size_t count = read_some(buffers, error);
    if (error) throw beast::system_error(error);
    return count;
  }
  template <class Buffers>
  std::size_t write_some(const Buffers& buffers, beast::error_code& error) {
    const net::const_buffer buffer = beast::buffers_front(buffers);
    if (!ready(POLLOUT, kWriteMs, error)) return 0;
    const ssize_t count = ::send(socket_, buffer.data(), buffer.size(), MSG_NOSIGNAL);
    return done(count, error);
  }
  template <class Buffers>
  std::size_t write_some(const Buffers& buffers) {
    beast::error_code error;
    const std::size_t count = write_some(buffers, error);
    if (error) throw beast::system_error(error);
    return count;
  }

  // Waits `ms`; true when the client has closed its end (or sent something it should not have)
  // or the server stops: the event stream then ends.
  bool closed_within(int ms) {
    pollfd waits[2] = {{socket_, POLLIN | POLLRDHUP, 0}, {stop_, POLLIN, 0}};
    return ::poll(waits, 2, ms) != 0;
  }

 private:
  bool ready(short events, int ms, beast::error_code& error) {
    pollfd waits[2] = {{socket_, events, 0}, {stop_, POLLIN, 0}};
    int result;
    do {
      result = ::poll(waits, 2, ms);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
      error = net::error::timed_out;
    } else if (result < 0) {
      error = beast::error_code(errno, beast::system_category());
    } else if (waits[1].revents != 0) {
      error = net::error::operation_aborted;
    } else {
      error = {};
    }
    return !error;
  }
  std::size_t done(ssize_t count, beast::error_code& error) {
    if (count > 0) return static_cast<std::size_t>(count);
    error = count == 0 ? beast::error_code(net::error::eof) : beast::error_code(errno, beast::system_category());
    return 0;
  }

  int socket_;
  int stop_;
};

template <class Body>
void set_common_fields(http::response<Body>& response, const Reply& reply) {
  response.set(http::field::server, "paravelle-farm");
  response.set(http::field::content_type, reply.content_type);
  response.set(http::field::cache_control, reply.no_store ? "no-store" : "no-cache");
  response.set("X-Content-Type-Options", "nosniff");
  // The token may be in the address: it must not leave with a link.
  response.set("Referrer-Policy", "no-referrer");
  response.set("Content-Security-Policy",
               "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
               "connect-src 'self'; frame-ancestors 'none'");
  if (reply.status == 401) response.set(http::field::www_authenticate, "Bearer");
  if (!reply.disposition.empty()) response.set(http::field::content_disposition, reply.disposition);
}

bool is_loopback(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
  return address.ss_family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr);
}

}  // namespace

ListenAddress parse_listen_address(const std::string& text) {
  ListenAddress address;
  std::string port = text;
  if (text.starts_with('[')) {
    const auto close = text.find("]:");
    if (close == std::string::npos) throw std::invalid_argument("expected [HOST]:PORT, got " + text);
    address.host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
    address.host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), address.port);
  if (port.empty() || error != std::errc() || end != port.data() + port.size() || address.port < 0 ||
      address.port > 65535) {
    throw std::invalid_argument("expected [HOST:]PORT with PORT from 0 to 65535, got " + text);
  }
  if (address.host.empty()) throw std::invalid_argument("expected [HOST:]PORT, got " + text);
  return address;
}

struct MonitorServer::State {
  struct Connection {
    std::thread thread;
    std::atomic<bool> over{false};
  };


  void accept_loop();
  void serve(int socket);
  void stream_events(ClientStream& stream, const Reply& reply);
  void reap(bool all);

  AccessRules rules;
  std::optional<MonitorApi> api;
  std::vector<const JobBoard*> boards;
  UniqueFd listener;
  UniqueFd stop{::eventfd(0, EFD_CLOEXEC)};
  std::atomic<bool> stopping{false};
  std::string url;
  std::mutex mutex;
  std::list<Connection> connections;
  std::thread acceptor;
};

// The monitor's threads give way to the farm's: a busy page must not delay a node's next frame.
void lower_priority() { ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10); }

void MonitorServer::State::accept_loop() {
  lower_priority();
  while (!stopping) {
    pollfd waits[2] = {{listener.get(), POLLIN, 0}, {stop.get(), POLLIN, 0}};
    if (::poll(waits, 2, -1) <= 0 || waits[1].revents != 0) continue;
    UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) continue;
    reap(false);
    std::lock_guard lock(mutex);
    if (connections.size() >= kMaxConnections) continue;  // closed unanswered: the browser tries again
    Connection& connection = connections.emplace_back();
    connection.thread = std::thread([this, &connection, socket = std::move(client)] {
      lower_priority();
      serve(socket.get());
      connection.over = true;
    });
  }
}

void MonitorServer::State::reap(bool all) {
  std::list<Connection> finished;
  {
    std::lock_guard lock(mutex);
    for (auto it = connections.begin(); it != connections.end();) {
      const auto next = std::next(it);
      if (all || it->over) finished.splice(finished.end(), connections, it);
      it = next;
    }
  }
  for (auto& connection : finished) connection.thread.join();
}

void MonitorServer::State::serve(int socket) {
  ClientStream stream(socket, stop.get());
  beast::flat_buffer buffer;
  while (!stopping) {
    http::request_parser<http::string_body> parser;
    parser.header_limit(kMaxRequestBytes);
    parser.body_limit(kMaxRequestBytes);
    beast::error_code error;
    http::read(stream, buffer, parser, error);
    if (error == http::error::end_of_stream || error == net::error::eof || error == net::error::timed_out ||
        error == net::error::operation_aborted) {
      return;
    }
    Reply reply;
    bool keep_alive = false;
    if (error) {
      reply = Reply::text(400, "a request that is not HTTP");
    } else {
      const auto& request = parser.get();
      keep_alive = request.keep_alive();
      if (request.method() != http::verb::get) {
        reply = Reply::text(405, "the monitor is read-only: GET only");
      } else {
        reply = api->answer({.target = std::string(request.target()),
                            .authorization = std::string(request[http::field::authorization]),
                            .host = std::string(request[http::field::host]),
                            .last_event_id = std::string(request["Last-Event-ID"])});
      }
    }
    if (reply.events) return stream_events(stream, reply);
    if (!reply.file.empty()) {
      http::response<http::file_body> response{static_cast<http::status>(reply.status), 11};
      response.body().open(reply.file.c_str(), beast::file_mode::scan, error);
      if (!error) {
        set_common_fields(response, reply);
        response.keep_alive(keep_alive);
        response.prepare_payload();
        http::write(stream, response, error);
        if (error || !keep_alive) return;
        continue;
      }
      reply = Reply::text(404, "not found");
    }
    http::response<http::string_body> response{static_cast<http::status>(reply.status), 11};
    set_common_fields(response, reply);
    response.body() = std::move(reply.body);
    response.keep_alive(keep_alive);
    response.prepare_payload();
    http::write(stream, response, error);
    if (error || !keep_alive) return;
  }
}

void MonitorServer::State::stream_events(ClientStream& stream, const Reply& reply) {
  http::response<http::empty_body> response{http::status::ok, 11};
  set_common_fields(response, reply);
  response.keep_alive(false);  // the stream ends when the connection does
  http::response_serializer<http::empty_body> serializer{response};
  beast::error_code error;
  http::write_header(stream, serializer, error);
  const auto send = [&stream, &error](const std::string& text) {
    net::write(stream, net::buffer(text), error);
    return !error;
  };
  if (!send("retry: 2000\n\n")) return;
  const JobBoard& board = *reply.events;
  std::uint64_t after = reply.after;
  int quiet_seconds = 0;
  while (!stopping) {
    const ChangeBatch batch = board.changes_after(after, std::chrono::seconds(1), stopping);
    if (stopping) return;
    if (!batch.reset && batch.last == after) {
      if (++quiet_seconds >= kKeepAliveSeconds) {
        quiet_seconds = 0;
        if (!send(": still here\n\n")) return;
      }
      continue;
    }
    quiet_seconds = 0;
    if (!send(MonitorApi::events_text(board, batch))) return;
    after = batch.last;
    // Many changes in a burst go as one batch: the farm's frames come first.
    if (stream.closed_within(kEventIntervalMs)) return;
  }
}

MonitorServer::MonitorServer(const ListenAddress& address, const std::string& token)
    : state_(std::make_unique<State>()) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const bool bracket = address.host.find(':') != std::string::npos;
  const std::string host = bracket ? "[" + address.host + "]" : address.host;
  const std::string where = host + ":" + std::to_string(address.port);
  if (const int problem = ::getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found)) {
    throw worker::JobFileError("the monitor on " + where + ": " + ::gai_strerror(problem));
  }
  sockaddr_storage bound{};
  std::memcpy(&bound, found->ai_addr, found->ai_addrlen);
  const socklen_t length = found->ai_addrlen;
  ::freeaddrinfo(found);
  state_->rules = {.token = token, .loopback = is_loopback(bound)};
  if (!state_->rules.loopback && token.empty()) {
    throw worker::JobFileError("the monitor on " + where +
                               ": a monitor that other machines can reach needs a token (--monitor-token, or --token "
                               "of paravelle-farm monitor)");
  }
  UniqueFd listener(::socket(bound.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int on = 1;
  if (!listener || ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&bound), length) != 0 ||
      ::listen(listener.get(), SOMAXCONN) != 0) {
    const int error = errno;
    throw worker::JobFileError("the monitor on " + where + ": cannot listen there: " + std::strerror(error),
                               std::error_code(error, std::system_category()));
  }
  sockaddr_storage actual{};
  socklen_t actual_length = sizeof actual;
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&actual), &actual_length);
  const int port = ntohs(actual.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(actual).sin6_port
                                                      : reinterpret_cast<const sockaddr_in&>(actual).sin_port);
  state_->url = "http://" + host + ":" + std::to_string(port) + "/";
  state_->listener = std::move(listener);
}

void MonitorServer::serve(std::vector<MonitoredJob> jobs) {
  if (state_->api) return;
  for (const auto& job : jobs) state_->boards.push_back(job.board);
  state_->api.emplace(std::move(jobs), state_->rules);
  state_->acceptor = std::thread([state = state_.get()] { state->accept_loop(); });
}

MonitorServer::~MonitorServer() {
  if (!state_->acceptor.joinable()) return;
  state_->stopping = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(state_->stop.get(), &one, sizeof one);
  for (const JobBoard* board : state_->boards) board->wake();
  state_->acceptor.join();
  state_->reap(true);
}

const std::string& MonitorServer::url() const { return state_->url; }

}  // namespace paravelle::monitor
