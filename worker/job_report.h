// What a job did, frame by frame: kept while the job runs, written as the JSON report
// (--report), merged from many reports by `paravelle-farm collect`, and shown as the summary table.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace paravelle::worker {

inline constexpr const char* kReportFormat = "paravelle-farm-report";
inline constexpr int kReportVersion = 1;

enum class FrameStatus {
  pending,  // not rendered (yet): the job stopped before it, or a report that should hold it is missing
  done,     // rendered, and every output file it reported exists and is not empty
  failed,   // every try failed
};

const char* status_name(FrameStatus status);

struct OutputFile {
  std::string path;
  std::uint64_t size = 0;
};

struct FrameRecord {
  std::int32_t frame = 0;
  FrameStatus status = FrameStatus::pending;
  int tries = 0;
  int node = 0;               // the node (1..N) of the last try; 0 before any
  double render_seconds = 0;  // RenderTask to its final reply, last try
  std::vector<OutputFile> outputs;
  std::vector<std::string> crash_reports;  // files holding the crash replies of its tries
  std::string problem;                     // why the last try failed; empty when done
};

struct JobReport {
  std::string job_file;
  std::vector<FrameRecord> frames;  // in the order of the job's frame list
  int node_starts = 0;
  double elapsed_seconds = 0;

  int count(FrameStatus status) const;
  int total_tries() const;
  bool all_done() const { return !frames.empty() && count(FrameStatus::done) == static_cast<int>(frames.size()); }
};

std::string report_json(const JobReport& report);
// Throws JobFileError "<file>: <problem>" for a file that is not a report.
JobReport read_report(const std::filesystem::path& file);
// Writes through a temporary file in the same folder, so a reader never sees half a report.
void write_report(const JobReport& report, const std::filesystem::path& file);

// One report for `frames` from the reports of its parts: each frame takes the record of the part
// that rendered it (a done record wins over a failed one); frames no part holds stay pending
// with the problem "missing from every report".
JobReport merge_reports(const std::string& job_file, const std::vector<std::int32_t>& frames,
                        const std::vector<JobReport>& parts);

// "0.52": seconds with two decimals, as the table and the display show them.
std::string seconds_text(double seconds);

// The table printed at the end of a run: one line per frame and the totals.
std::string summary_table(const JobReport& report);

}  // namespace paravelle::worker
