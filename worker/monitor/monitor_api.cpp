#include "worker/monitor/monitor_api.h"

#include <charconv>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "worker/monitor/monitor_page.h"

namespace paravelle::monitor {
namespace {

using json = nlohmann::ordered_json;

// Texts from nodes and files may hold bytes that are not UTF-8: they are shown replaced, never refused.
std::string dumped(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

Reply not_found() { return Reply::text(404, "not found"); }

Reply json_reply(const json& value) { return Reply::of("application/json", dumped(value)); }

template <typename Number>
std::optional<Number> number_of(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

json optional_number(const std::optional<double>& value) { return value ? json(*value) : json(nullptr); }

json frame_json(const FrameEntry& entry) {
  const auto& record = entry.record;
  json outputs = json::array();
  for (const auto& output : record.outputs) outputs.push_back({{"file", output.path}, {"size", output.size}});
  return {{"frame", record.frame},
          {"index", entry.index},
          {"status", state_name(entry.state)},
          {"tries", record.tries},
          {"node", record.node},
          {"render_seconds", record.render_seconds},
          {"outputs", outputs},
          {"crash_reports", record.crash_reports},
          {"problem", record.problem},
          {"log", record.log},
          {"thumbnail", !record.outputs.empty()}};
}

json node_json(const NodeRow& row) {
  return {{"node", row.node},
          {"state", row.state},
          {"frame", row.frame ? json(*row.frame) : json(nullptr)},
          {"try", row.try_number},
          {"progress", row.progress < 0 ? json(nullptr) : json(row.progress)},
          {"title", row.title},
          {"tries", row.tries},
          {"starts", row.starts}};
}

json note_json(std::uint64_t number, const Note& note) {
  return {{"number", number}, {"time", note.time}, {"text", note.text}, {"problem", note.problem}};
}

json summary_json(const BoardSummary& summary) {
  const auto count = [&summary](FrameState state) { return summary.counts[static_cast<std::size_t>(state)]; };
  int frames = 0;
  for (const int n : summary.counts) frames += n;
  return {{"running", summary.running},
          {"start_time", summary.header.start_time},
          {"end_time", summary.header.end_time},
          {"elapsed_seconds", summary.elapsed_seconds},
          {"estimate_seconds", optional_number(summary.estimate_seconds)},
          {"totals",
           {{"frames", frames},
            {"done", count(FrameState::done)},
            {"failed", count(FrameState::failed)},
            {"not_rendered", count(FrameState::not_rendered)},
            {"waiting", count(FrameState::waiting)},
            {"rendering", count(FrameState::rendering)},
            {"left", count(FrameState::waiting) + count(FrameState::rendering)},
            {"tries", summary.tries},
            {"node_starts", summary.header.node_starts},
            {"elapsed_seconds", summary.elapsed_seconds}}}};
}

// The whole job: the report's shape as it stands, with the nodes, the notes and the number of the
// last change it includes (the event stream goes on from there). Frames are written one by one, so a
// job of many frames is never held as one JSON tree.
std::string job_text(const MonitoredJob& job) {
  const JobBoard& board = *job.board;
  const std::uint64_t seq = board.seq();
  const BoardSummary summary = board.summary();
  const auto& header = summary.header;
  json document = summary_json(summary);
  document["format"] = worker::kReportFormat;
  document["version"] = worker::kReportVersion;
  document["seq"] = seq;
  document["report"] = job.report;
  document["job_file"] = header.job_file;
  document["host"] = header.host;
  document["warnings"] = header.warnings;
  document["work_dir"] = header.work_dir.empty() ? json(nullptr) : json(header.work_dir);
  json elements = json::array();
  for (const auto& element : header.elements) {
    elements.push_back({{"frames", element.frames},
                        {"report", element.report},
                        {"host", element.host},
                        {"start_time", element.start_time},
                        {"end_time", element.end_time}});
  }
  document["elements"] = elements;
  json nodes = json::array();
  for (const auto& row : board.nodes()) nodes.push_back(node_json(row));
  document["nodes"] = nodes;
  json notes = json::array();
  for (const auto& [number, note] : board.notes()) notes.push_back(note_json(number, note));
  document["notes"] = notes;

  std::string text = dumped(document);
  text.pop_back();  // the closing brace: the frames go last
  text += ",\"frames\":[";
  for (std::size_t i = 0; i < board.frame_count(); ++i) {
    if (i > 0) text += ',';
    text += dumped(frame_json(board.frame(i)));
  }
  text += "]}";
  return text;
}

std::string content_type_of(const std::filesystem::path& file) {
  static const std::map<std::string, std::string> types = {
      {".png", "image/png"},   {".jpg", "image/jpeg"}, {".jpeg", "image/jpeg"}, {".gif", "image/gif"},
      {".bmp", "image/bmp"},   {".txt", "text/plain; charset=utf-8"}, {".log", "text/plain; charset=utf-8"}};
  std::string extension = file.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const auto found = types.find(extension);
  return found == types.end() ? "application/octet-stream" : found->second;
}

// A file of the job, or 404 when the listing is empty or the file may not be served.
Reply file_reply(const std::string& listed, const std::string& content_type = {}) {
  const auto file = servable_file(listed);
  if (!file) return not_found();
  Reply reply = Reply::of(content_type.empty() ? content_type_of(*file) : content_type, "");
  reply.file = *file;
  if (reply.content_type == "application/octet-stream") {
    // A file name may hold anything but '/': only plain characters go into the header.
    std::string name = file->filename().string();
    for (char& c : name) c = c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '_' : c;
    reply.disposition = "attachment; filename=\"" + name + "\"";
  }
  return reply;
}

// The end of a log, from the first whole line within its last `bytes` bytes.
Reply tail_reply(const std::string& listed, std::uint64_t bytes) {
  const auto file = servable_file(listed);
  if (!file) return not_found();
  std::ifstream stream(*file, std::ios::binary);
  stream.seekg(0, std::ios::end);
  const auto size = static_cast<std::uint64_t>(stream.tellg());
  if (size <= bytes) return file_reply(listed, "text/plain; charset=utf-8");
  stream.seekg(static_cast<std::streamoff>(size - bytes));
  std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  const auto line = text.find('\n');
  if (line != std::string::npos) text.erase(0, line + 1);
  return Reply::of("text/plain; charset=utf-8", std::move(text));
}

bool token_matches(const std::string& given, const std::string& token) {
  if (given.size() != token.size()) return false;
  // Every byte compared, whatever the first difference: the time taken tells nothing of the token.
  unsigned difference = 0;
  for (std::size_t i = 0; i < given.size(); ++i) difference |= static_cast<unsigned char>(given[i] ^ token[i]);
  return difference == 0;
}

bool loopback_host(const std::string& host) {
  std::string name = host.substr(0, host.starts_with('[') ? host.find(']') + 1 : host.rfind(':'));
  if (name.empty()) name = host;
  return name == "localhost" || name == "[::1]" || name.starts_with("127.");
}

}  // namespace

const PageFile* page_file(std::string_view path) {
  if (path == "/index.html") path = "/";
  for (const PageFile& file : page_files()) {
    if (file.path == path) return &file;
  }
  return nullptr;
}

std::optional<std::filesystem::path> servable_file(const std::string& listed) {
  if (listed.empty()) return std::nullopt;
  const std::filesystem::path path(listed);
  for (const auto& part : path) {
    if (part == "..") return std::nullopt;
  }
  std::error_code error;
  const auto real = std::filesystem::canonical(path, error);
  if (error) return std::nullopt;
  const auto folder = std::filesystem::canonical(path.has_parent_path() ? path.parent_path() : ".", error);
  if (error || real.parent_path() != folder || !std::filesystem::is_regular_file(real, error)) return std::nullopt;
  return real;
}

std::map<std::string, std::string> query_of(const std::string& target) {
  const auto decode = [](std::string_view text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
      unsigned byte = 0;
      if (text[i] == '+') {
        decoded += ' ';
      } else if (text[i] == '%' && i + 2 < text.size() &&
                 std::from_chars(text.data() + i + 1, text.data() + i + 3, byte, 16).ptr == text.data() + i + 3) {
        decoded += static_cast<char>(byte);
        i += 2;
      } else {
        decoded += text[i];
      }
    }
    return decoded;
  };
  std::map<std::string, std::string> query;
  const auto mark = target.find('?');
  std::string_view rest = mark == std::string::npos ? std::string_view() : std::string_view(target).substr(mark + 1);
  while (!rest.empty()) {
    const auto amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    const auto equals = pair.find('=');
    query.emplace(decode(pair.substr(0, equals)),
                  equals == std::string_view::npos ? std::string() : decode(pair.substr(equals + 1)));
    rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
  }
  return query;
}

MonitorApi::MonitorApi(std::vector<MonitoredJob> jobs, AccessRules rules)
    : jobs_(std::move(jobs)), rules_(std::move(rules)) {}

Reply MonitorApi::answer(const Request& request) {
  const auto query = query_of(request.target);
  if (!rules_.token.empty()) {
    const auto given = query.find("token");
    const bool bearer = request.authorization.starts_with("Bearer ") &&
                        token_matches(request.authorization.substr(7), rules_.token);
    if (!bearer && (given == query.end() || !token_matches(given->second, rules_.token))) {
      return Reply::text(401, "this monitor needs its token: open the address with ?token=... or send "
                             "\"Authorization: Bearer ...\"");
    }
  } else if (rules_.loopback && !loopback_host(request.host)) {
    // A page of another site that a rebound name points here must not read the job.
    return Reply::text(403, "this monitor answers to addresses of this machine only (127.0.0.1, localhost)");
  }
  const std::string path = request.target.substr(0, request.target.find('?'));
  if (const PageFile* page = page_file(path)) {
    return Reply::of(std::string(page->content_type), std::string(page->body), false);
  }
  if (path == "/api/jobs") {
    json list = json::array();
    for (std::size_t i = 0; i < jobs_.size(); ++i) {
      json entry = summary_json(jobs_[i].board->summary());
      entry["job"] = i + 1;
      entry["report"] = jobs_[i].report;
      entry["job_file"] = jobs_[i].board->summary().header.job_file;
      list.push_back(entry);
    }
    return json_reply(list);
  }
  std::size_t job = 1;
  if (const auto chosen = query.find("job"); chosen != query.end()) {
    const auto number = number_of<std::size_t>(chosen->second);
    if (!number) return not_found();
    job = *number;
  }
  if (job < 1 || job > jobs_.size()) return not_found();
  const MonitoredJob& monitored = jobs_[job - 1];
  if (path == "/api/job") return Reply::of("application/json", job_text(monitored));
  if (path == "/api/events") {
    const std::string& from = request.last_event_id.empty() ? (query.contains("after") ? query.at("after") : "")
                                                            : request.last_event_id;
    const auto after = from.empty() ? std::optional<std::uint64_t>(monitored.board->seq())
                                    : number_of<std::uint64_t>(from);
    if (!after) return Reply::text(400, "the event number to go on from is not a number: " + from);
    Reply reply = Reply::of("text/event-stream", "");
    reply.events = monitored.board;
    reply.after = *after;
    return reply;
  }
  constexpr std::string_view frames = "/api/frames/";
  if (path.starts_with(frames)) return frame_reply(*monitored.board, path.substr(frames.size()), query);
  return not_found();
}

Reply MonitorApi::frame_reply(const JobBoard& board, const std::string& rest,
                              const std::map<std::string, std::string>& query) {
  const auto slash = rest.find('/');
  const auto frame = number_of<std::int32_t>(std::string_view(rest).substr(0, slash));
  const auto index = frame ? board.index_of(*frame) : std::nullopt;
  if (!index) return not_found();
  const std::string what = slash == std::string::npos ? "" : rest.substr(slash + 1);
  const FrameEntry entry = board.frame(*index);
  const auto& record = entry.record;
  // "crash/<i>" and "outputs/<i>": the i-th file the record lists.
  const auto listed = [&what](std::string_view kind, const auto& list) -> std::optional<std::size_t> {
    if (!what.starts_with(kind)) return std::nullopt;
    const auto position = number_of<std::size_t>(std::string_view(what).substr(kind.size()));
    return position && *position < list.size() ? position : std::nullopt;
  };
  if (what.empty()) return json_reply(frame_json(entry));
  if (what == "log") {
    if (const auto tail = query.find("tail"); tail != query.end()) {
      const auto bytes = number_of<std::uint64_t>(tail->second);
      if (!bytes || *bytes == 0 || *bytes > kMaxTail) return Reply::text(400, "tail takes a number of bytes up to 16 MiB");
      return tail_reply(record.log, *bytes);
    }
    return file_reply(record.log, "text/plain; charset=utf-8");
  }
  if (const auto crash = listed("crash/", record.crash_reports)) {
    return file_reply(record.crash_reports[*crash], "text/plain; charset=utf-8");
  }
  if (const auto output = listed("outputs/", record.outputs)) return file_reply(record.outputs[*output].path);
  if (what == "thumbnail") {
    std::vector<std::filesystem::path> files;
    for (const auto& output : record.outputs) {
      if (const auto file = servable_file(output.path)) files.push_back(*file);
    }
    auto jpeg = thumbnails_.of(files);
    if (!jpeg) return Reply::text(404, "no thumbnail (yet) for frame " + std::to_string(record.frame));
    return Reply::of("image/jpeg", std::move(*jpeg), false);
  }
  return not_found();
}

std::string MonitorApi::events_text(const JobBoard& board, const ChangeBatch& batch) {
  if (batch.reset) return "event: reset\ndata: {}\n\n";
  std::string text;
  for (std::size_t i = 0; i < batch.changes.size(); ++i) {
    const Change& change = batch.changes[i];
    json data;
    switch (change.kind) {
      case Change::Kind::frame:
        text += "event: frame\n";
        data = frame_json(board.frame(change.id));
        break;
      case Change::Kind::node: {
        const auto row = board.node(static_cast<int>(change.id));
        if (!row) continue;
        text += "event: node\n";
        data = node_json(*row);
        break;
      }
      case Change::Kind::note: {
        const auto note = board.note_number(change.id);
        if (!note) continue;
        text += "event: note\n";
        data = note_json(change.id, *note);
        break;
      }
      case Change::Kind::job:
        text += "event: job\n";
        data = summary_json(board.summary());
        break;
    }
    text += "data: " + dumped(data) + "\n";
    if (i + 1 == batch.changes.size()) text += "id: " + std::to_string(batch.last) + "\n";
    text += "\n";
  }
  if (text.empty()) text = "id: " + std::to_string(batch.last) + "\n\n";
  return text;
}

}  // namespace paravelle::monitor
