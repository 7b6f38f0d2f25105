// paravelle-farm as an operator meets it, with scripted nodes: what it refuses before any node
// starts, what it warns of and runs anyway, a job finished later from its report, collect's
// timing and its command for what is missing, and the cap of a task's log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <thread>

#include "support/farm_program.h"
#include "support/temp_folder.h"
#include "worker/job_report.h"
#include "worker/task_log.h"

namespace paravelle::worker {
namespace {

using paravelle::testing::built_program;
using paravelle::testing::FarmResult;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

struct FarmJob {
  paravelle::testing::TempFolder folder;
  std::string job_file = folder.path() + "/job.json";
  std::string work = folder.path() + "/work";
  std::string report = folder.path() + "/report.json";

  // A job of frames 1-2 on an existing scene; `keys` come last and may replace the scene.
  explicit FarmJob(const std::string& keys = "") {
    std::ofstream(folder.path() + "/scene.json") << "{}";
    std::ofstream(job_file) << R"({"format": "paravelle-job", "version": 1, "frames": "1-2", "scene": "scene.json")"
                            << (keys.empty() ? "" : ", ") << keys << "}";
  }
  std::vector<std::string> argv(const std::vector<std::string>& extra) const {
    std::vector<std::string> argv = {built_program("paravelle-farm"), job_file,     "--node",
                                     built_program("fake-node"),      "--work-dir", work};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
  }
  FarmResult run(const std::vector<std::string>& extra) const { return paravelle::testing::run_program(argv(extra)); }
};

TEST(FarmChecks, WhatCannotRunIsRefusedBeforeAnyNodeStarts) {
  struct Case {
    std::string keys;
    std::vector<std::string> args;
    std::string message;
  };
  for (const Case& c : {
           Case{R"("settings_before_start": ["TempFolder,C:\\x\\y"])",
                {},
                R"("settings_before_start"[0] "TempFolder,C:\x\y": the node cannot read this command and would end )"
                R"(its session: unknown escape sequence \x (a backslash starts an escape: write paths with forward)"},
           Case{R"("settings_after_start": ["OverrideSaveFile,true"])",
                {},
                R"("settings_after_start"[0] "OverrideSaveFile,true": OverrideSaveFile takes 0 or 1; the node )"
                R"(would end its session on "true")"},
           Case{R"("scripts": ["ExecuteStringScript,0,\\q"])", {}, "unknown escape sequence \\q"},
           Case{R"("scene": "missing.json")", {}, "/missing.json: no such file"},
           Case{R"("scripts": [{"file": "none.ms"}])", {}, "none.ms: no such file"},
           Case{R"("scripts": ["ExecuteMaxScriptFile,/none/x.ms,false,0,false"])",
                {},
                "the script /none/x.ms: no such file"},
           Case{"",
                {"--report", "/nonexistent/folder/r.json"},
                "--report /nonexistent/folder/r.json: the folder /nonexistent/folder does not exist"},
           Case{"", {"--report", "/tmp"}, "--report /tmp: is a folder; give the report's file name"},
           Case{"", {"--resume", "/proc/self/status"}, "/proc/self/status: "},
       }) {
    const FarmJob farm(c.keys);
    const FarmResult result = farm.run(c.args);
    EXPECT_EQ(result.code, 2) << c.message << "\n" << result.out;
    EXPECT_THAT(result.err, HasSubstr(c.message));
    EXPECT_FALSE(std::filesystem::exists(farm.work)) << "a node was started for " << c.message;
  }
}

TEST(FarmChecks, SettingsTheNodeWouldIgnoreAreWarnedOfAndTheJobRunsAsBefore) {
  const FarmJob farm(R"("settings_before_start": ["HideFrameBuffer"],
                     "settings_after_start": ["UseJpegOutput", "FailOnBlackFrames,abc,0.2", "GammaCorrection,2.2,2.2",
                                              "OverrideSaveFile,+01", "OutputImageReFilename,x,/a.png"])");
  const FarmResult result = farm.run({"--quiet", "--report", farm.report});
  EXPECT_EQ(result.code, 0) << result.out << result.err;
  const std::vector<std::string> expected = {
      R"("settings_before_start"[0] "HideFrameBuffer": StartJob resets it, so it has no effect here; put it in )"
      R"("settings_after_start")",
      R"("settings_after_start"[0] "UseJpegOutput": takes 1 field (the JPEG folder), got 0; the node ignores it)",
      R"("settings_after_start"[1] "FailOnBlackFrames,abc,0.2": "abc" is not a whole number; the node switches the )"
      R"(setting off)",
      R"("settings_after_start"[2] "GammaCorrection,2.2,2.2": the node reads it when a scene loads, so it has no )"
      R"(effect on this job; put it in "settings_before_start")"};
  EXPECT_EQ(read_report(farm.report).warnings, expected);
  for (const auto& warning : expected) EXPECT_THAT(result.out, HasSubstr("warning: " + warning + "\n"));
}

TEST(FarmResume, AnInterruptedRunIsFinishedLaterWithOnlyTheFramesNotDone) {
  const FarmJob farm;
  // Frame 3 fails, frame 4 hangs until the operator's Ctrl-C, frame 5 is never reached.
  NodeProcess first(farm.argv({"--frames", "1-5", "--retries", "0", "--report", farm.report, "--node-arg",
                               "--crash-frame", "--node-arg", "3", "--node-arg", "--hang-frame", "--node-arg", "4"}));
  for (int waited = 0; !std::filesystem::exists(farm.folder.path() + "/logs/frame-4.log") && waited < 3000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(first.pid(), SIGINT);
  EXPECT_EQ(first.wait(60000), 1) << first.stdout_text() << first.stderr_text();
  EXPECT_THAT(first.stdout_text(), AllOf(HasSubstr("the run was interrupted (Interrupt): stopping the nodes"),
                                         HasSubstr("\nWork folder kept: " + farm.work + "\n")));
  const JobReport before = read_report(farm.report);
  EXPECT_EQ(before.work_dir, farm.work);
  ASSERT_EQ(before.frames.size(), 5u);
  for (const int unrendered : {3, 4}) {
    EXPECT_EQ(before.frames[unrendered].status, FrameStatus::pending);
    EXPECT_EQ(before.frames[unrendered].problem, "the run was interrupted (Interrupt)");
  }
  // Frame 1 was done, but its output has gone since: it is rendered again, with frames 3 to 5.
  std::filesystem::remove(before.frames[0].outputs.at(0).path);

  const auto second = farm.run({"--frames", "1-5", "--resume", farm.report});
  EXPECT_EQ(second.code, 0) << second.out << second.err;
  EXPECT_THAT(second.out,
              AllOf(HasSubstr("1 of 5 frame(s) done already"), HasSubstr("[4/4]"), Not(HasSubstr("Work folder kept"))));
  const JobReport after = read_report(farm.report);
  ASSERT_EQ(after.frames.size(), 5u);
  EXPECT_TRUE(after.all_done());
  EXPECT_EQ(frame_record_line(after.frames[1]), frame_record_line(before.frames[1]));
  EXPECT_TRUE(after.frames[2].crash_reports.empty());
  EXPECT_EQ(after.node_starts, 2);
  EXPECT_EQ(after.work_dir, "");
  EXPECT_FALSE(std::filesystem::exists(farm.work + "/node-1-1")) << "a run with every frame done leaves no node folder";
  // Both runs' tries of frame 3 are in its log, each under its heading.
  const std::string log = paravelle::testing::read_file(after.frames[2].log);
  const auto second_heading = log.find("== frame 3, try 1, node 1", log.find("== frame 3, try 1, node 1") + 1);
  EXPECT_NE(second_heading, std::string::npos) << log;
  EXPECT_THAT(log,
              AllOf(HasSubstr("-- the try failed: ERROR: Trapped SEH Exception"), HasSubstr("-- the try succeeded")));
}

TEST(FarmCollect, TheWallTimeRunsFromFirstStartToLastEndAndWhatIsMissingCanBeSubmittedAgain) {
  paravelle::testing::TempFolder out;
  std::ofstream(out.path() + "/submission.json") << R"({"format": "paravelle-farm-submission", "version": 1,
    "job_file": "/jobs/a.json", "frames": [1, 2, 3, 4, 5], "chunks": ["1-2", "3-4", "5"], "chunk": 2,
    "element_args": ["--nodes=2"], "slurm_job_id": "7"})";
  const auto part = [&](int element, const char* host, double start, double end, std::vector<FrameRecord> frames) {
    JobReport report;
    report.host = host;
    report.start_time = start;
    report.end_time = end;
    report.elapsed_seconds = end - start;
    report.frames = std::move(frames);
    write_report(report, out.path() + "/report-" + std::to_string(element) + ".json");
  };
  const auto frame = [](std::int32_t number, FrameStatus status) {
    FrameRecord record;
    record.frame = number;
    record.status = status;
    return record;
  };
  part(0, "alpha", 1000, 1010, {frame(1, FrameStatus::done), frame(2, FrameStatus::failed)});
  part(1, "beta", 1005, 1030, {frame(3, FrameStatus::done), frame(4, FrameStatus::done)});
  const FarmResult result = paravelle::testing::run_program({built_program("paravelle-farm"), "collect", out.path()});
  EXPECT_EQ(result.code, 1) << result.err;
  EXPECT_THAT(result.out,
              AllOf(HasSubstr("element 0 (frames 1-2) on alpha: 1 done, 1 failed, 0 not rendered in 10.00 s\n"),
                    HasSubstr("element 1 (frames 3-4) on beta: 2 done, 0 failed, 0 not rendered in 25.00 s\n"),
                    HasSubstr("To render the 2 frame(s) not done:\n  paravelle-farm submit '/jobs/a.json' --chunk 2 "
                              "--frames 2,5 --out '" +
                              out.path() + "-rest' '--element-arg=--nodes=2'\n")));
  const JobReport merged = read_report(out.path() + "/report.json");
  EXPECT_EQ(merged.elapsed_seconds, 30);
  EXPECT_EQ(merged.start_time, 1000);
  ASSERT_EQ(merged.elements.size(), 3u);
  EXPECT_EQ(merged.elements[1].host, "beta");
  EXPECT_EQ(merged.elements[2].host, "") << "element 2 wrote no report";
}

TEST(TaskLog, ALogIsCutAtItsCapSaysWhereAndLaterTriesAddNothing) {
  paravelle::testing::TempFolder folder;
  const std::string path = folder.path() + "/logs/frame-1.log";
  {
    TaskLog log(path, 600);
    log.heading("frame 1, try 1");
    log.message(true, "ERROR: Trapped\nException code: C0000005");
    for (int i = 0; i < 40; ++i) log.message(true, "FUNCTION: STDOUT: line " + std::to_string(i));
  }
  const std::string text = paravelle::testing::read_file(path);
  EXPECT_LE(text.size(), 600u);
  EXPECT_THAT(text, HasSubstr(" node: ERROR: Trapped\n                              Exception code: C0000005\n"));
  EXPECT_TRUE(text.ends_with("-- [cut here: this log reached its limit of 600 bytes; later lines are not kept]\n"));
  TaskLog(path, 600).heading("frame 1, try 2");
  EXPECT_EQ(paravelle::testing::read_file(path), text);
}

}  // namespace
}  // namespace paravelle::worker
