// The monitor's HTTP server: serves the page, the JSON API and the event stream of one or more jobs
// (docs/monitor.md) on threads of its own, which run at a lower priority than the farm's and read the
// jobs only through their JobBoard. The HTTP library (Boost.Beast) stays inside monitor_server.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "worker/monitor/monitor_api.h"

namespace paravelle::monitor {

struct ListenAddress {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: a free port
};

// "[HOST:]PORT", "[::1]:8080" for an IPv6 address. Throws std::invalid_argument saying what is wrong.
ListenAddress parse_listen_address(const std::string& text);

class MonitorServer {
 public:
  static constexpr int kMaxConnections = 64;

  // Binds at once, so that a port in use is found before anything starts; serves once serve() is
  // called, until destroyed. Throws JobFileError naming the address when it cannot bind, or when the
  // address is not this machine's loopback and there is no token.
  MonitorServer(const ListenAddress& address, const std::string& token);
  ~MonitorServer();

  // Starts serving these jobs (the first is the one "/" shows); the boards must outlive the server.
  void serve(std::vector<MonitoredJob> jobs);
  MonitorServer(const MonitorServer&) = delete;
  MonitorServer& operator=(const MonitorServer&) = delete;

  // "http://127.0.0.1:8080/": HOST as given, PORT the one bound.
  const std::string& url() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace paravelle::monitor
