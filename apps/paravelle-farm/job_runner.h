// The two ways paravelle-farm runs a job file on this machine: a whole job on N nodes with the
// progress display, the report and the summary; or, with --without-job, the settings and the
// scripts on one node with the conversation shown.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "console_view.h"
#include "monitor_command.h"
#include "worker/job_file.h"

namespace paravelle::farm {

struct RunOptions {
  std::string node_binary;
  std::string token;
  int timeout_ms = 120000;             // longest silence from the node outside a job command
  double stall_timeout_seconds = 600;  // longest silence during StartJob or RenderTask; 0: none
  int retries = 2;
  int nodes = 1;
  std::optional<std::vector<std::int32_t>> frames;  // --frames, else the job file's
  std::filesystem::path report_file;                // empty: no JSON report (unless resuming)
  std::filesystem::path work_dir;                   // empty: a new folder under the temp folder
  std::filesystem::path logs_dir;                   // empty: logs/ in the report folder
  std::filesystem::path resume_report;              // empty: render every frame
  bool keep_work = false;
  bool quiet = false;
  bool without_job = false;
  std::vector<std::string> node_args;
  std::vector<std::pair<std::string, std::string>> node_env;
  MonitorOptions monitor;
};

// Everything that can be found wrong before a node starts: the scene and the script files exist,
// the report can be written where it is asked for, the report to resume from can be read. Throws
// JobFileError naming the file and the problem (the program then exits with 2).
void check_before_start(const worker::JobFile& job, const RunOptions& options);

// 0 when every frame was rendered, 1 when any failed or was not rendered.
int run_frames(const worker::JobFile& job, const RunOptions& options);
// 0 when every setting and script got the expected reply and the node ended cleanly, 1 otherwise.
int run_without_job(const worker::JobFile& job, const RunOptions& options, ConsoleView& view);

}  // namespace paravelle::farm
