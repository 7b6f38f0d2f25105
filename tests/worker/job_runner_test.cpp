// The job runner against scripted nodes: frames spread over nodes, retries, hung nodes killed
// with their process group and replaced, crash files, output checks, refused job starts.
#include "worker/job_runner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <mutex>

#include "support/temp_folder.h"
#include "support/node_binary.h"

namespace paravelle::worker {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string fake_node_path() {
  const std::string node = paravelle::testing::node_binary_path();
  return node.substr(0, node.find_last_of('/') + 1) + "fake-node";
}

using testing::read_file;

class Recorder : public RunObserver {
 public:
  void node_state(int, const std::string&) override {}
  void frame_started(int, std::int32_t, int) override {}
  void node_message(int, const std::string& payload) override {
    std::lock_guard lock(mutex_);
    if (payload.starts_with("FUNCTION: PROGRESS ")) ++progress_messages;
  }
  void frame_finished(int, const FrameRecord&, bool) override {}
  void note(const std::string& text, bool problem) override {
    std::lock_guard lock(mutex_);
    if (problem) problems.push_back(text);
  }
  int progress_messages = 0;
  std::vector<std::string> problems;

 private:
  std::mutex mutex_;
};

struct JobRun {
  paravelle::testing::TempFolder folder;
  JobFile job;
  RunnerOptions options;
  Recorder recorder;

  explicit JobRun(std::vector<std::string> node_args, int nodes = 1, int retries = 2) {
    job.source = folder.path() + "/job.json";
    job.scene = "/scenes/a.json";
    job.settings_before_start = {"TempFolder,/tmp/x", "IgnoreMissingXREFs"};
    job.settings_after_start = {"HideFrameBuffer"};
    options.launch.node_binary = fake_node_path();
    options.launch.node_args = std::move(node_args);
    options.launch.work_dir = folder.path() + "/work";
    options.launch.report_dir = folder.path() + "/report";
    options.launch.token = "t";
    options.launch.timeout_ms = 10000;
    options.launch.stall_ms = 10000;
    options.nodes = nodes;
    options.retries = retries;
  }
  JobReport operator()(const std::vector<std::int32_t>& frames) {
    return run_job_frames(job, frames, options, recorder);
  }
};

std::vector<std::string> statuses(const JobReport& report) {
  std::vector<std::string> result;
  for (const auto& record : report.frames)
    result.push_back(std::to_string(record.frame) + " " + status_name(record.status) + " x" +
                     std::to_string(record.tries));
  return result;
}

TEST(JobRunner, SixFramesOnTwoNodesAllWithTheirOutputs) {
  JobRun run({}, 2);
  const JobReport report = run({1, 2, 3, 4, 5, 6});
  EXPECT_THAT(statuses(report),
              ElementsAre("1 done x1", "2 done x1", "3 done x1", "4 done x1", "5 done x1", "6 done x1"));
  EXPECT_EQ(run.recorder.progress_messages, 6);
  EXPECT_EQ(report.node_starts, 2);
  for (const auto& record : report.frames) {
    ASSERT_EQ(record.outputs.size(), 1u);
    EXPECT_THAT(record.outputs[0].path, HasSubstr("/frame-" + std::to_string(record.frame) + ".png"));
    EXPECT_EQ(record.outputs[0].size, std::filesystem::file_size(record.outputs[0].path));
    EXPECT_EQ(record.outputs[0].path.find('\\'), std::string::npos);
  }
  EXPECT_TRUE(report.all_done());
  EXPECT_TRUE(run.recorder.problems.empty()) << run.recorder.problems.front();
}

TEST(JobRunner, FailedTriesAreRetriedUntilTheyRunOut) {
  struct Case {
    std::vector<std::string> args;
    std::string problem;
  };
  for (const Case& c : {Case{{"--crash-frame", "3"}, "ERROR: Trapped SEH Exception in RenderFrame(): Access Violation"},
                        Case{{"--empty-output-frame", "3"}, "frame-3.png is empty"},
                        Case{{"--die-frame", "3"}, "the node closed the connection during the frame (exit code 9)"}}) {
    JobRun run(c.args, 1, 1);
    const JobReport report = run({2, 3, 4});
    EXPECT_THAT(statuses(report), ElementsAre("2 done x1", "3 failed x2", "4 done x1")) << c.args[0];
    EXPECT_THAT(report.frames[1].problem, HasSubstr(c.problem)) << c.args[0];
    EXPECT_EQ(report.node_starts, c.args[0] == "--die-frame" ? 3 : 1) << c.args[0];
    EXPECT_FALSE(report.all_done());
  }
}

TEST(JobRunner, CrashRepliesAreKeptWithTheNodeLog) {
  JobRun run({"--crash-frame", "3"}, 1, 0);
  const JobReport report = run({3});
  const auto crash = std::filesystem::path(run.options.launch.report_dir) / "frame-3-crash.txt";
  EXPECT_THAT(report.frames[0].crash_reports, ElementsAre(crash.string()));
  EXPECT_EQ(read_file(crash),
            "ERROR: Trapped SEH Exception in RenderFrame(): Access Violation\nException code: C0000005\n");
  EXPECT_EQ(read_file(crash.parent_path() / "frame-3-paravelle.log"), "fake node log\n");
}

TEST(JobRunner, AHungNodeIsKilledWithItsGroupAndItsFrameRetriedOnAFreshNode) {
  paravelle::testing::TempFolder marker_folder;
  JobRun run({"--hang-frame", "2", "--hang-once", marker_folder.path() + "/hung"});
  run.options.launch.stall_ms = 300;
  const JobReport report = run({1, 2, 3});
  EXPECT_THAT(statuses(report), ElementsAre("1 done x1", "2 done x2", "3 done x1"));
  EXPECT_EQ(report.node_starts, 2);
  ASSERT_EQ(run.recorder.problems.size(), 1u);
  EXPECT_THAT(run.recorder.problems[0],
              AllOf(HasSubstr("frame 2: the node sent nothing for 0.3 s during the frame (stalled)"),
                    HasSubstr("killing its process group")));
  // The hung node's own child went with it (at most a zombie is left until init reaps it).
  const std::string child =
      read_file(std::filesystem::path(run.options.launch.work_dir) / "node-1-1" / "hang-child.pid");
  const std::string stat = read_file("/proc/" + child + "/stat");
  EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;
}

TEST(JobRunner, AFrameThatAlwaysHangsFailsAndTheOthersGoOn) {
  JobRun run({"--hang-frame", "2"}, 2, 1);
  run.options.launch.stall_ms = 200;
  const JobReport report = run({1, 2, 3, 4});
  EXPECT_THAT(statuses(report), ElementsAre("1 done x1", "2 failed x2", "3 done x1", "4 done x1"));
  EXPECT_THAT(report.frames[1].problem, HasSubstr("(stalled)"));
}

TEST(JobRunner, ARefusedJobStartStopsTheJobWithTheReason) {
  struct Case {
    std::vector<std::string> args;
    std::string problem;
  };
  for (const Case& c :
       {Case{{"--refuse-start"}, "the job start failed: StartJob,/scenes/a.json,: ERROR: the scene is refused"},
        Case{{"--reject-setting", "IgnoreMissingXREFs"},
             "the job start failed: IgnoreMissingXREFs: ERROR: IgnoreMissingXREFs: refused by the fake node"}}) {
    JobRun run(c.args, 2);
    const JobReport report = run({1, 2, 3});
    EXPECT_THAT(statuses(report), ElementsAre("1 not rendered x0", "2 not rendered x0", "3 not rendered x0"));
    EXPECT_EQ(report.frames[2].problem, c.problem);
  }
}

TEST(JobRunner, NodesThatNeverConnectAreGivenUpAfterTheirRetries) {
  JobRun run({});
  run.options.launch.node_binary = "/bin/false";
  run.options.retries = 1;
  const JobReport report = run({1, 2});
  EXPECT_THAT(statuses(report), ElementsAre("1 not rendered x0", "2 not rendered x0"));
  EXPECT_THAT(report.frames[0].problem, ::testing::StartsWith("no node was left to render it"));
  EXPECT_EQ(report.node_starts, 2);
  EXPECT_THAT(run.recorder.problems.back(), HasSubstr("gave up after 2 failed starts"));
  EXPECT_THAT(run.recorder.problems.front(), HasSubstr("the node exited with code 1 before it connected"));
}

}  // namespace
}  // namespace paravelle::worker
