#include "worker/job_report.h"

#include <cstdio>
#include <fstream>
#include <map>
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
          {"problem", record.problem}};
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
  return record;
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
  if (record.status != FrameStatus::done) return record.problem;
  std::uint64_t bytes = 0;
  for (const auto& output : record.outputs) bytes += output.size;
  return std::to_string(record.outputs.size()) + (record.outputs.size() == 1 ? " file, " : " files, ") +
         size_text(bytes);
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

std::string report_json(const JobReport& report) {
  json frames = json::array();
  for (const auto& record : report.frames) frames.push_back(frame_json(record));
  const json document = {{"format", kReportFormat},
                         {"version", kReportVersion},
                         {"job_file", report.job_file},
                         {"frames", frames},
                         {"totals",
                          {{"frames", report.frames.size()},
                           {"done", report.count(FrameStatus::done)},
                           {"failed", report.count(FrameStatus::failed)},
                           {"not_rendered", report.count(FrameStatus::pending)},
                           {"tries", report.total_tries()},
                           {"node_starts", report.node_starts},
                           {"elapsed_seconds", report.elapsed_seconds}}}};
  return document.dump(2) + "\n";
}

JobReport read_report(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) throw JobFileError(file.string() + ": cannot be read");
  try {
    const json document = json::parse(stream);
    if (document.value("format", "") != kReportFormat || document.value("version", 0) != kReportVersion) {
      throw JobFileError(file.string() + ": not a " + kReportFormat + " version " + std::to_string(kReportVersion));
    }
    JobReport report;
    report.job_file = document.at("job_file").get<std::string>();
    for (const auto& frame : document.at("frames")) report.frames.push_back(frame_from(frame));
    report.node_starts = document.at("totals").at("node_starts").get<int>();
    report.elapsed_seconds = document.at("totals").at("elapsed_seconds").get<double>();
    return report;
  } catch (const JobFileError&) {
    throw;
  } catch (const std::exception& error) {
    throw JobFileError(file.string() + ": " + error.what());
  }
}

void write_report(const JobReport& report, const std::filesystem::path& file) {
  const std::filesystem::path temporary = file.string() + ".partial";
  {
    std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
    stream << report_json(report);
    stream.flush();
    if (!stream) throw WorkerError("cannot write the report " + temporary.string());
  }
  std::error_code error;
  std::filesystem::rename(temporary, file, error);
  if (error) throw WorkerError("cannot write the report " + file.string() + ": " + error.message());
}

JobReport merge_reports(const std::string& job_file, const std::vector<std::int32_t>& frames,
                        const std::vector<JobReport>& parts) {
  std::map<std::int32_t, FrameRecord> best;
  JobReport merged;
  merged.job_file = job_file;
  for (const auto& part : parts) {
    merged.node_starts += part.node_starts;
    merged.elapsed_seconds = std::max(merged.elapsed_seconds, part.elapsed_seconds);
    for (const auto& record : part.frames) {
      auto found = best.find(record.frame);
      if (found == best.end() || found->second.status == FrameStatus::pending ||
          (found->second.status == FrameStatus::failed && record.status == FrameStatus::done)) {
        best[record.frame] = record;
      }
    }
  }
  for (const auto frame : frames) {
    const auto found = best.find(frame);
    if (found != best.end()) {
      merged.frames.push_back(found->second);
      continue;
    }
    FrameRecord missing;
    missing.frame = frame;
    missing.problem = "missing from every report";
    merged.frames.push_back(missing);
  }
  return merged;
}

std::string seconds_text(double seconds) { return format("%.2f", seconds); }

std::string summary_table(const JobReport& report) {
  std::ostringstream table;
  table << format("%8s  %-12s  %5s  %4s  %8s  %s\n", "frame", "status", "tries", "node", "seconds",
                  "outputs / problem");
  for (const auto& record : report.frames) {
    table << format("%8d  %-12s  %5d  %4d  %8.2f  %s\n", record.frame, status_name(record.status), record.tries,
                    record.node, record.render_seconds, outputs_text(record).c_str());
  }
  table << format("%zu frame(s): %d done, %d failed, %d not rendered; %d tries, %d node start(s), %.1f s\n",
                  report.frames.size(), report.count(FrameStatus::done), report.count(FrameStatus::failed),
                  report.count(FrameStatus::pending), report.total_tries(), report.node_starts, report.elapsed_seconds);
  return table.str();
}

}  // namespace paravelle::worker
