// How a run ends when a node, a job or the farm's own files misbehave: no crash report lost or
// listed unwritten, a node that stops reading replaced like a silent one, a job no node can start.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>

#include "support/temp_folder.h"
#include "support/temp_folder.h"
#include "worker/progress_display.h"

namespace paravelle::worker {
namespace {

using paravelle::testing::read_file;
using ::testing::HasSubstr;

struct FaultCase {
  const char* name;
  std::vector<std::string> node_args;
  std::function<void(JobFile&, RunnerOptions&, const std::string& folder)> setup;
  std::vector<std::int32_t> frames;
  std::vector<std::string> statuses;
  int node_starts;
  std::string problem;                   // on screen or in a frame's problem, and in the frame's log
  std::vector<std::string> crash_files;  // in the report folder, each with every trapped fault of its try
};

TEST(WorkerFaults, EachFaultEndsTheRunAsItsReportSays) {
  const std::string node = paravelle::testing::node_binary_path();
  // clang-format off
  const FaultCase cases[] = {
    {"two crashes in each of two tries", {"--crash-frame", "3", "--crashes", "2"}, {}, {3}, {"3 failed x2"}, 1,
     "ERROR: Trapped SEH Exception in RenderFrame(): Access Violation", {"frame-3-crash.txt", "frame-3-crash-2.txt"}},
    {"a crash report that cannot be written", {"--crash-frame", "3"}, [](auto&, auto& options, auto& at) {
       std::ofstream(at + "/file") << "a file, not a folder";
       options.launch.report_dir = at + "/file/report";
       options.retries = 0;
     }, {3}, {"3 failed x1"}, 1, "; the crash report could not be written to ", {}},
    {"a node that stops reading", {"--deaf-frame", "2", "--hang-once"}, [](auto& job, auto& options, auto& at) {
       options.launch.node_args.push_back(at + "/deaf-once");
       options.launch.stall_ms = 300;
       job.job_info["big"] = std::string(90000, 'b');
     }, {1, 2, 3}, {"1 done x1", "2 done x2", "3 done x1"}, 2,
     "frame 2: the node read nothing for 0.3 s during the frame (stalled); killing its process group", {}},
    {"a job without a scene", {}, [](auto& job, auto&, auto&) { job.scene.reset(); }, {1, 2},
     {"1 not rendered x0", "2 not rendered x0"}, 0, "job.json: a job needs \"scene\"", {}},
    {"no frames", {}, {}, {}, {}, 0, "", {}},
  };
  const auto options_in = [&node](const std::string& at, const std::vector<std::string>& node_args) {
    return RunnerOptions{.launch = {.node_binary = node.substr(0, node.find_last_of('/') + 1) + "fake-node",
      .node_args = node_args, .node_env = {}, .work_dir = at + "/work", .report_dir = at + "/report",
      .logs_dir = at + "/logs", .log_cap = TaskLog::kDefaultCap, .token = "t", .timeout_ms = 10000, .stall_ms = 10000},
      .retries = 1};
  };
  // clang-format on
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    const paravelle::testing::TempFolder folder;
    const std::string at = folder.path();
    JobFile job;
    job.source = at + "/job.json";
    job.scene = "/scenes/a.json";
    RunnerOptions options = options_in(at, c.node_args);
    if (c.setup) c.setup(job, options, at);
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> screen(std::fopen((at + "/screen").c_str(), "w"),
                                                                 &std::fclose);
    ProgressDisplay display(screen.get(), DisplayMode::quiet, 1, c.frames.size());
    const JobReport report = run_job_frames(job, c.frames, options, display);
    std::fflush(screen.get());
    std::string seen = read_file(at + "/screen");
    std::vector<std::string> statuses;
    std::vector<std::string> crash_files;
    for (const auto& record : report.frames) {
      statuses.push_back(std::to_string(record.frame) + " " + status_name(record.status) + " x" +
                         std::to_string(record.tries));
      seen += record.problem + "\n";
      if (!record.log.empty()) {
        EXPECT_THAT(read_file(record.log), HasSubstr(record.problem));
      }
      for (const auto& file : record.crash_reports) {
        crash_files.push_back(std::filesystem::path(file).filename().string());
        EXPECT_THAT(read_file(file), AllOf(HasSubstr("Access Violation\n"), HasSubstr("Stack Overflow 2\n")));
      }
    }
    EXPECT_EQ(statuses, c.statuses);
    EXPECT_EQ(report.node_starts, c.node_starts);
    EXPECT_THAT(seen, HasSubstr(c.problem));
    EXPECT_EQ(crash_files, c.crash_files);
    if (!c.crash_files.empty()) {
      EXPECT_EQ(read_file(options.launch.report_dir / "frame-3-paravelle-2.log"), "fake node log\n");
    }
  }
}

}  // namespace
}  // namespace paravelle::worker
