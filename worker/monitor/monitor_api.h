// What the monitor answers, independent of the HTTP library that carries it: the page, the JSON of
// GET /api/job and its parts, the job's own files (logs, crash reports, outputs, thumbnails), and the
// text of the event stream. docs/monitor.md describes each address.
//
// Files are served only as the report lists them, by frame and position, never by a path taken from
// the request: a request path is matched whole against the addresses below, and anything else is 404.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "worker/monitor/job_board.h"
#include "worker/monitor/thumbnails.h"

namespace paravelle::monitor {

struct MonitoredJob {
  const JobBoard* board = nullptr;
  std::string report;  // the report it was read from; empty for the running job
};

struct Request {
  std::string target;         // as the request line has it: path and query, not decoded
  std::string authorization;  // the Authorization header
  std::string host;           // the Host header
  std::string last_event_id;  // the Last-Event-ID header
};

struct Reply {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  std::filesystem::path file;  // when set, the body is this file's content
  std::string disposition;     // Content-Disposition, for files a browser cannot show
  bool no_store = true;        // Cache-Control: no-store (the static page may be cached)
  // The event stream of a job, from the change after `after`: the server keeps the connection.
  const JobBoard* events = nullptr;
  std::uint64_t after = 0;

  // An answer of this type; a text/plain one ("<text>\n") with this status.
  static Reply of(std::string content_type, std::string body, bool no_store = true) {
    Reply reply;
    reply.content_type = std::move(content_type);
    reply.body = std::move(body);
    reply.no_store = no_store;
    return reply;
  }
  static Reply text(int status, const std::string& text) {
    Reply reply = of("text/plain; charset=utf-8", text + "\n");
    reply.status = status;
    return reply;
  }
};

struct AccessRules {
  std::string token;  // empty: none required
  bool loopback = true;
};

class MonitorApi {
 public:
  static constexpr std::uint64_t kMaxTail = 16 * 1024 * 1024;

  MonitorApi(std::vector<MonitoredJob> jobs, AccessRules rules);

  Reply answer(const Request& request);

  // The events for a batch of changes: "event: frame|node|note|job|reset", "data: <JSON>", the
  // batch's last number as the id of its last event.
  static std::string events_text(const JobBoard& board, const ChangeBatch& batch);

 private:
  Reply frame_reply(const JobBoard& board, const std::string& rest, const std::map<std::string, std::string>& query);

  std::vector<MonitoredJob> jobs_;
  AccessRules rules_;
  Thumbnails thumbnails_;
};

// The listed file as it may be served: a regular file that is, symbolic links followed, still in the
// folder the listing names, and a listing without "..". None otherwise.
std::optional<std::filesystem::path> servable_file(const std::string& listed);

// The query of a request target, decoded ("a%20b" and "a+b" are "a b").
std::map<std::string, std::string> query_of(const std::string& target);

}  // namespace paravelle::monitor
