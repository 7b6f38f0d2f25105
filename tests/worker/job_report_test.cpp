// The JSON report: what a run writes is what collect reads, merging keeps the best try of each
// frame and names the frames no report holds, and the summary table shows it.
#include "worker/job_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_folder.h"
#include "worker/errors.h"

namespace paravelle::worker {
namespace {

using ::testing::HasSubstr;

FrameRecord record(std::int32_t frame, FrameStatus status, int tries, std::string problem = "") {
  FrameRecord r;
  r.frame = frame;
  r.status = status;
  r.tries = tries;
  r.node = 2;
  r.render_seconds = 0.25;
  r.problem = std::move(problem);
  if (status == FrameStatus::done)
    r.outputs = {{"/out/a_" + std::to_string(frame) + ".png", 20480}, {"/out/z.exr", 100}};
  return r;
}

JobReport part(std::vector<FrameRecord> frames) {
  JobReport report;
  report.job_file = "/jobs/a.json";
  report.frames = std::move(frames);
  report.node_starts = 2;
  report.elapsed_seconds = 3.5;
  return report;
}

TEST(JobReport, WrittenAndReadBackUnchanged) {
  paravelle::testing::TempFolder folder;
  JobReport report = part({record(1, FrameStatus::done, 1), record(2, FrameStatus::failed, 3, "stalled \"x\"\\"),
                           record(3, FrameStatus::pending, 0, "the job start failed")});
  report.frames[1].crash_reports = {"/r/frame-2-crash.txt"};
  const std::string file = folder.path() + "/report.json";
  write_report(report, file);
  EXPECT_FALSE(std::filesystem::exists(file + ".partial"));
  const JobReport back = read_report(file);
  EXPECT_EQ(report_json(back), report_json(report));
  EXPECT_THAT(report_json(report), HasSubstr("\"totals\": {\n    \"done\": 1,\n    \"elapsed_seconds\": 3.5,\n"
                                             "    \"failed\": 1,\n    \"frames\": 3,\n    \"node_starts\": 2,\n"
                                             "    \"not_rendered\": 1,\n    \"tries\": 4\n  }"));
  for (const auto& [text, problem] : std::vector<std::pair<std::string, std::string>>{
           {"{", "syntax error"},
           {"{\"format\": \"paravelle-job\", \"version\": 1}", "not a paravelle-farm-report"},
           {R"({"format": "paravelle-farm-report", "version": 1, "job_file": "a", "frames": [{"frame": 1}]})",
            "key 'status' not found"}}) {
    std::ofstream(file, std::ios::trunc) << text;
    try {
      read_report(file);
      ADD_FAILURE() << text;
    } catch (const JobFileError& error) {
      EXPECT_THAT(error.what(), HasSubstr(file + ": ")) << text;
      EXPECT_THAT(error.what(), HasSubstr(problem)) << text;
    }
  }
}

TEST(JobReport, MergeKeepsTheBestTryAndNamesMissingFrames) {
  const JobReport merged =
      merge_reports("/jobs/a.json", {1, 2, 3, 4, 5},
                    {part({record(1, FrameStatus::done, 1), record(2, FrameStatus::failed, 3, "stalled")}),
                     part({record(2, FrameStatus::done, 2), record(3, FrameStatus::failed, 1, "crash")}),
                     part({record(3, FrameStatus::pending, 0, "not reached"), record(9, FrameStatus::done, 1)})});
  ASSERT_EQ(merged.frames.size(), 5u);
  EXPECT_EQ(merged.frames[1].status, FrameStatus::done);
  EXPECT_EQ(merged.frames[1].tries, 2);
  EXPECT_EQ(merged.frames[2].status, FrameStatus::failed);
  EXPECT_EQ(merged.frames[2].problem, "crash");
  EXPECT_EQ(merged.frames[3].status, FrameStatus::pending);
  EXPECT_EQ(merged.frames[3].problem, "missing from every report");
  EXPECT_EQ(merged.node_starts, 6);
  EXPECT_FALSE(merged.all_done());
  EXPECT_TRUE(merge_reports("/jobs/a.json", {1}, {part({record(1, FrameStatus::done, 1)})}).all_done());
  EXPECT_FALSE(merge_reports("/jobs/a.json", {}, {}).all_done());
}

TEST(JobReport, SummaryTable) {
  JobReport report = part({record(1, FrameStatus::done, 1), record(12, FrameStatus::failed, 3, "stalled")});
  EXPECT_EQ(summary_table(report), "   frame  status        tries  node   seconds  outputs / problem\n"
                                   "       1  done              1     2      0.25  2 files, 20 KB\n"
                                   "      12  failed            3     2      0.25  stalled\n"
                                   "2 frame(s): 1 done, 1 failed, 0 not rendered; 4 tries, 2 node start(s), 3.5 s\n");
}

}  // namespace
}  // namespace paravelle::worker
