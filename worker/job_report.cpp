#include "worker/job_report.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "worker/errors.h"

namespace paravelle::worker {
namespace {

using nlohmann::json;

FrameStatus status_from(const std::string& name) {
  for (const FrameStatus status : {FrameStatus::pending, FrameStatus::done, FrameStatus::failed}) {
    if (name == status_name(status)) return status;
  }
  throw std::invalid_argument("unknown frame status \"" + name + "\"");
}

json frame_json(const FrameRecord& record) {
  json outputs = json::array();
  for (const auto& output : record.outputs) outputs.push_back({{"file", output.path}, {"size", output.size}});
  return {{"frame", record.frame},
          {"status", status_name(record.status)},
          {"tries", record.tries},
          {"node", record.node},
          {"render_seconds", record.render_seconds},
          {"outputs", outputs},
          {"crash_reports", record.crash_reports},
          {"problem", record.problem},
          {"log", record.log}};
}

FrameRecord frame_from(const json& value) {
  FrameRecord record;
  record.frame = value.at("frame").get<std::int32_t>();
  record.status = status_from(value.at("status").get<std::string>());
  record.tries = value.at("tries").get<int>();
  record.node = value.at("node").get<int>();
  record.render_seconds = value.at("render_seconds").get<double>();
  for (const auto& output : value.at("outputs")) {
    record.outputs.push_back({output.at("file").get<std::string>(), output.at("size").get<std::uint64_t>()});
  }
  record.crash_reports = value.at("crash_reports").get<std::vector<std::string>>();
  record.problem = value.at("problem").get<std::string>();
  // Reports written before frames had logs have no "log".
  record.log = value.value("log", "");
  return record;
}

json elements_json(const std::vector<ReportElement>& elements) {
  json list = json::array();
  for (const auto& element : elements) {
    list.push_back({{"frames", element.frames},
                    {"report", element.report},
                    {"host", element.host},
                    {"start_time", element.start_time},
                    {"end_time", element.end_time}});
  }
  return list;
}

// The keys of a report's top level around "frames", in the order nlohmann writes a whole document
// (sorted), so that a streamed report reads like a dumped one.
json head_json(const ReportHeader& header) {
  json head = {{"format", kReportFormat}, {"end_time", header.end_time}};
  if (!header.elements.empty()) head["elements"] = elements_json(header.elements);
  return head;
}

json tail_json(const ReportHeader& header, const ReportTotals& totals) {
  return {{"host", header.host},
          {"job_file", header.job_file},
          {"start_time", header.start_time},
          {"totals",
           {{"frames", totals.frames},
            {"done", totals.done},
            {"failed", totals.failed},
            {"not_rendered", totals.not_rendered},
            {"tries", totals.tries},
            {"node_starts", header.node_starts},
            {"elapsed_seconds", header.elapsed_seconds}}},
          {"version", kReportVersion},
          {"warnings", header.warnings},
          {"work_dir", header.work_dir.empty() ? json(nullptr) : json(header.work_dir)}};
}

// A value dumped with two-space indentation, moved right by `indent` spaces.
std::string indented(const json& value, std::size_t indent) {
  std::string text = value.dump(2);
  std::string shifted;
  shifted.reserve(text.size());
  for (const char c : text) {
    shifted += c;
    if (c == '\n') shifted.append(indent, ' ');
  }
  return shifted;
}

void write_members(std::ostream& out, const json& object, bool& first) {
  for (const auto& item : object.items()) {
    out << (first ? "\n  " : ",\n  ") << json(item.key()).dump() << ": " << indented(item.value(), 2);
    first = false;
  }
}

ReportTotals stream_report(std::ostream& out, const ReportHeader& header, std::size_t count,
                           const FrameSource& frames) {
  ReportTotals totals;
  bool first = true;
  out << "{";
  write_members(out, head_json(header), first);
  out << ",\n  \"frames\": [";
  for (std::size_t i = 0; i < count; ++i) {
    const FrameRecord record = frames(i);
    totals.add(record);
    out << (i == 0 ? "\n    " : ",\n    ") << indented(frame_json(record), 4);
  }
  out << (count == 0 ? "]" : "\n  ]");
  write_members(out, tail_json(header, totals), first);
  out << "\n}\n";
  return totals;
}

std::string format(const char* pattern, auto... values) {
  char line[512];
  std::snprintf(line, sizeof line, pattern, values...);
  return line;
}

std::string size_text(std::uint64_t bytes) {
  if (bytes >= 10 * 1024 * 1024) return std::to_string(bytes / (1024 * 1024)) + " MB";
  if (bytes >= 10 * 1024) return std::to_string(bytes / 1024) + " KB";
  return std::to_string(bytes) + " B";
}

std::string outputs_text(const FrameRecord& record) {
  if (record.status != FrameStatus::done) return record.problem.substr(0, record.problem.find('\n'));
  std::uint64_t bytes = 0;
  for (const auto& output : record.outputs) bytes += output.size;
  return std::to_string(record.outputs.size()) + (record.outputs.size() == 1 ? " file, " : " files, ") +
         size_text(bytes);
}

ReportHeader header_from(const json& document) {
  ReportHeader header;
  header.job_file = document.at("job_file").get<std::string>();
  header.node_starts = document.at("totals").at("node_starts").get<int>();
  header.elapsed_seconds = document.at("totals").at("elapsed_seconds").get<double>();
  header.host = document.value("host", "");
  header.start_time = document.value("start_time", 0.0);
  header.end_time = document.value("end_time", 0.0);
  if (document.contains("warnings")) header.warnings = document["warnings"].get<std::vector<std::string>>();
  if (document.contains("work_dir") && document["work_dir"].is_string()) header.work_dir = document["work_dir"];
  for (const auto& element : document.value("elements", json::array())) {
    header.elements.push_back({element.at("frames").get<std::string>(), element.at("report").get<std::string>(),
                               element.at("host").get<std::string>(), element.at("start_time").get<double>(),
                               element.at("end_time").get<double>()});
  }
  return header;
}

}  // namespace

const char* status_name(FrameStatus status) {
  switch (status) {
    case FrameStatus::pending: return "not rendered";
    case FrameStatus::done: return "done";
    case FrameStatus::failed: return "failed";
  }
  return "?";
}

void ReportTotals::add(const FrameRecord& record) {
  ++frames;
  done += record.status == FrameStatus::done ? 1 : 0;
  failed += record.status == FrameStatus::failed ? 1 : 0;
  not_rendered += record.status == FrameStatus::pending ? 1 : 0;
  tries += record.tries;
}

int JobReport::count(FrameStatus status) const {
  int n = 0;
  for (const auto& record : frames) n += record.status == status ? 1 : 0;
  return n;
}

int JobReport::total_tries() const {
  int n = 0;
  for (const auto& record : frames) n += record.tries;
  return n;
}

std::string frame_record_line(const FrameRecord& record) { return frame_json(record).dump(); }

FrameRecord frame_record_from_line(const std::string& line) {
  try {
    return frame_from(json::parse(line));
  } catch (const std::exception& error) {
    throw JobFileError(std::string("a frame record that cannot be read: ") + error.what());
  }
}

std::string report_json(const JobReport& report) {
  std::ostringstream out;
  stream_report(out, report, report.frames.size(), [&report](std::size_t i) { return report.frames[i]; });
  return out.str();
}

ReportTotals write_report(const ReportHeader& header, std::size_t count, const FrameSource& frames,
                          const std::filesystem::path& file) {
  const std::filesystem::path temporary = file.string() + ".partial";
  ReportTotals totals;
  {
    std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
    if (stream) totals = stream_report(stream, header, count, frames);
    stream.flush();
    if (!stream) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      throw WorkerError("cannot write the report " + temporary.string());
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, file, error);
  if (error) throw WorkerError("cannot write the report " + file.string() + ": " + error.message());
  return totals;
}

void write_report(const JobReport& report, const std::filesystem::path& file) {
  write_report(
      report, report.frames.size(), [&report](std::size_t i) { return report.frames[i]; }, file);
}

ReportHeader read_report(const std::filesystem::path& file, const std::function<void(FrameRecord&&)>& each) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) throw JobFileError(file.string() + ": cannot be read");
  try {
    // Each frame is handed on as soon as it is parsed and then dropped from the document.
    bool in_frames = false;
    const json document = json::parse(stream, [&](int depth, json::parse_event_t event, json& parsed) {
      if (depth == 1 && event == json::parse_event_t::key) in_frames = parsed == "frames";
      if (depth != 2 || !in_frames || event != json::parse_event_t::object_end) return true;
      each(frame_from(parsed));
      return false;
    });
    if (document.value("format", "") != kReportFormat || document.value("version", 0) != kReportVersion) {
      throw JobFileError(file.string() + ": not a " + kReportFormat + " version " + std::to_string(kReportVersion));
    }
    if (!document.at("frames").empty()) throw std::invalid_argument("\"frames\" holds an entry that is not a frame");
    return header_from(document);
  } catch (const JobFileError&) {
    throw;
  } catch (const std::exception& error) {
    throw JobFileError(file.string() + ": " + error.what());
  }
}

JobReport read_report(const std::filesystem::path& file) {
  JobReport report;
  static_cast<ReportHeader&>(report) =
      read_report(file, [&report](FrameRecord&& record) { report.frames.push_back(std::move(record)); });
  return report;
}

double wall_seconds(const std::vector<ReportHeader>& parts) {
  double first = 0, last = 0, longest = 0;
  bool timed = !parts.empty();
  for (const auto& part : parts) {
    longest = std::max(longest, part.elapsed_seconds);
    if (part.start_time <= 0 || part.end_time <= 0) timed = false;
    first = first == 0 ? part.start_time : std::min(first, part.start_time);
    last = std::max(last, part.end_time);
  }
  return timed ? last - first : longest;
}

std::string seconds_text(double seconds) { return format("%.2f", seconds); }

void print_summary(std::FILE* out, const ReportHeader& header, std::size_t count, const FrameSource& frames) {
  std::fputs(
      format("%8s  %-12s  %5s  %4s  %8s  %s\n", "frame", "status", "tries", "node", "seconds", "outputs / problem")
          .c_str(),
      out);
  const bool every_row = count <= kTableRowsAll;
  ReportTotals totals;
  for (std::size_t i = 0; i < count; ++i) {
    const FrameRecord record = frames(i);
    totals.add(record);
    if (!every_row && record.status == FrameStatus::done) continue;
    std::fputs(format("%8d  %-12s  %5d  %4d  %8.2f  %s\n", record.frame, status_name(record.status), record.tries,
                      record.node, record.render_seconds, outputs_text(record).c_str())
                   .c_str(),
               out);
  }
  if (!every_row && totals.done > 0) {
    std::fprintf(out, "(%d done frame(s) not listed; the report lists every frame)\n", totals.done);
  }
  std::fputs(
      format("%zu frame(s): %d done, %d failed, %d not rendered; %d tries, %d node start(s), %.1f s\n", totals.frames,
             totals.done, totals.failed, totals.not_rendered, totals.tries, header.node_starts, header.elapsed_seconds)
          .c_str(),
      out);
}

std::string summary_table(const JobReport& report) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  print_summary(out, report, report.frames.size(), [&report](std::size_t i) { return report.frames[i]; });
  std::fclose(out);
  std::string table(text, size);
  std::free(text);
  return table;
}

double unix_time_now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace paravelle::worker
