// What a job did, frame by frame: written as the JSON report (--report), read back by --resume and
// by `paravelle-farm collect`, and shown as the summary table. Reports are written and read a
// frame at a time, so a job of a million frames never holds its report in memory; JobReport is
// the whole report at once, for small jobs and tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
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
  std::string log;                         // the frame's log (every try's messages); empty when none
};

// One Slurm array element of a merged report.
struct ReportElement {
  std::string frames;  // its chunk, as a range text
  std::string report;  // the element's own report file
  std::string host;    // the machine it ran on; empty when its report is missing
  double start_time = 0;
  double end_time = 0;
};

// Everything of a report but its frames.
struct ReportHeader {
  std::string job_file;
  std::string host;       // the machine the run happened on
  double start_time = 0;  // seconds since 1970 (UTC); 0 when unknown
  double end_time = 0;
  int node_starts = 0;
  double elapsed_seconds = 0;
  std::vector<std::string> warnings;  // settings the node would ignore, and the like
  std::string work_dir;               // the work folder, when it was kept; empty when removed
  std::vector<ReportElement> elements;
};

struct ReportTotals {
  std::size_t frames = 0;
  int done = 0;
  int failed = 0;
  int not_rendered = 0;
  int tries = 0;
  void add(const FrameRecord& record);
};

struct JobReport : ReportHeader {
  std::vector<FrameRecord> frames;  // in the order of the job's frame list

  int count(FrameStatus status) const;
  int total_tries() const;
  bool all_done() const { return !frames.empty() && count(FrameStatus::done) == static_cast<int>(frames.size()); }
};

// The frames of a report, one at a time: the record at an index below the count.
using FrameSource = std::function<FrameRecord(std::size_t index)>;

// Writes a report through a temporary file in the same folder, so a reader never sees half of it.
// Throws WorkerError when it cannot be written (the temporary file is then removed).
ReportTotals write_report(const ReportHeader& header, std::size_t count, const FrameSource& frames,
                          const std::filesystem::path& file);
void write_report(const JobReport& report, const std::filesystem::path& file);
std::string report_json(const JobReport& report);

// Reads a report, handing each frame to `each` as it is read. Throws JobFileError "<file>: <problem>"
// for a file that is not a report.
ReportHeader read_report(const std::filesystem::path& file, const std::function<void(FrameRecord&&)>& each);
JobReport read_report(const std::filesystem::path& file);

// One frame record as one line of JSON, and back (JobFileError for a line that is not one).
std::string frame_record_line(const FrameRecord& record);
FrameRecord frame_record_from_line(const std::string& line);

// One report for `frames` from the reports of its parts: each frame takes the record of the part
// that rendered it (a done record wins over a failed one); frames no part holds stay pending
// with the problem "missing from every report". The elapsed time runs from the earliest start to
// the latest end of the parts (the longest part's time when they do not say when they ran).
JobReport merge_reports(const std::string& job_file, const std::vector<std::int32_t>& frames,
                        const std::vector<JobReport>& parts);
// The elapsed time of parts that ran side by side: first start to last end.
double wall_seconds(const std::vector<ReportHeader>& parts);

// "0.52": seconds with two decimals, as the table and the display show them.
std::string seconds_text(double seconds);

// The table printed at the end of a run: one line per frame and the totals. A job of more than
// kTableRowsAll frames lists only the frames not done, and says how many done ones it left out.
inline constexpr std::size_t kTableRowsAll = 1000;
void print_summary(std::FILE* out, const ReportHeader& header, std::size_t count, const FrameSource& frames);
std::string summary_table(const JobReport& report);

// Seconds since 1970 now, and this machine's name, as a report records them.
double unix_time_now();
std::string host_name();

}  // namespace paravelle::worker
