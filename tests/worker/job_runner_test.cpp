// The job runner against scripted nodes: frames spread over nodes, retries, hung nodes killed
// with their process group and replaced, crash files, output checks, refused job starts; and
// the node processes it starts and ends.

#include "worker/job_runner.h"

#include <gmock/gmock.h>

#include <csignal>
#include <mutex>
#include <thread>

#include "support/node_binary.h"
#include "support/temp_folder.h"
#include "worker/errors.h"
#include "worker/node_process.h"

namespace paravelle::worker {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using paravelle::testing::read_file;

class Recorder : public RunObserver {
 public:
  void node_state(int, const std::string&) override {}
  void frame_started(int, std::int32_t, int) override {}
  void node_message(int, const std::string& payload) override {
    std::lock_guard lock(mutex_);
    progress_messages += payload.starts_with("FUNCTION: PROGRESS ");
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
    const std::string node = paravelle::testing::node_binary_path();
    options.launch.node_binary = node.substr(0, node.find_last_of('/') + 1) + "fake-node";
    options.launch.node_args = std::move(node_args);
    options.launch.work_dir = folder.path() + "/work";
    options.launch.report_dir = folder.path() + "/report";
    options.launch.token = "t";
    options.launch.timeout_ms = options.launch.stall_ms = 10000;
    options.nodes = nodes;
    options.retries = retries;
  }
  std::vector<std::string> operator()(const std::vector<std::int32_t>& frames) {
    report = run_job_frames(job, frames, options, recorder);
    std::vector<std::string> statuses;
    for (const auto& r : report.frames)
      statuses.push_back(std::to_string(r.frame) + " " + status_name(r.status) + " x" + std::to_string(r.tries));
    return statuses;
  }
  JobReport report;
};

TEST(JobRunner, SixFramesOnTwoNodesAllWithTheirOutputs) {
  JobRun run({}, 2);
  EXPECT_THAT(run({1, 2, 3, 4, 5, 6}),
              ElementsAre("1 done x1", "2 done x1", "3 done x1", "4 done x1", "5 done x1", "6 done x1"));
  EXPECT_EQ(run.recorder.progress_messages, 6);
  EXPECT_EQ(run.report.node_starts, 2);
  for (const auto& record : run.report.frames) {
    ASSERT_EQ(record.outputs.size(), 1u);
    EXPECT_THAT(record.outputs[0].path, HasSubstr("/frame-" + std::to_string(record.frame) + ".png"));
    EXPECT_EQ(record.outputs[0].size, std::filesystem::file_size(record.outputs[0].path));
  }
  EXPECT_TRUE(run.report.all_done());
  EXPECT_TRUE(run.recorder.problems.empty());
}

TEST(JobRunner, FailedTriesAreRetriedUntilTheyRunOutAndCrashRepliesAreKept) {
  for (const auto& [flag, problem] :
       {std::pair{"--crash-frame", "ERROR: Trapped SEH Exception in RenderFrame(): Access Violation"},
        {"--empty-output-frame", "frame-3.png is empty"},
        {"--die-frame", "the node closed the connection during the frame (exit code 9)"}}) {
    JobRun run({flag, "3"}, 1, 1);
    EXPECT_THAT(run({2, 3, 4}), ElementsAre("2 done x1", "3 failed x2", "4 done x1")) << flag;
    EXPECT_THAT(run.report.frames[1].problem, HasSubstr(problem)) << flag;
    EXPECT_EQ(run.report.node_starts, std::string(flag) == "--die-frame" ? 3 : 1) << flag;
    EXPECT_FALSE(run.report.all_done());
  }
  JobRun run({"--crash-frame", "3"}, 1, 0);
  run({3});
  const auto crash = std::filesystem::path(run.options.launch.report_dir) / "frame-3-crash.txt";
  EXPECT_THAT(run.report.frames[0].crash_reports, ElementsAre(crash.string()));
  EXPECT_EQ(read_file(crash), "ERROR: Trapped SEH Exception in RenderFrame(): Access Violation\nException code: C0000005\n");
  EXPECT_EQ(read_file(crash.parent_path() / "frame-3-paravelle.log"), "fake node log\n");
}

TEST(JobRunner, AHungNodeIsKilledWithItsGroupAndAFrameThatAlwaysHangsFails) {
  paravelle::testing::TempFolder marker_folder;
  JobRun once({"--hang-frame", "2", "--hang-once", marker_folder.path() + "/hung"});
  once.options.launch.stall_ms = 300;
  EXPECT_THAT(once({1, 2, 3}), ElementsAre("1 done x1", "2 done x2", "3 done x1"));
  EXPECT_EQ(once.report.node_starts, 2);
  ASSERT_EQ(once.recorder.problems.size(), 1u);
  EXPECT_THAT(once.recorder.problems[0], AllOf(HasSubstr("frame 2: the node sent nothing for 0.3 s during the frame "
                                                         "(stalled)"),
                                               HasSubstr("killing its process group")));
  // The hung node's own child went with it (at most a zombie is left until init reaps it).
  const std::string child = read_file(std::filesystem::path(once.options.launch.work_dir) / "node-1-1" / "hang-child.pid");
  const std::string stat = read_file("/proc/" + child + "/stat");
  EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;

  JobRun always({"--hang-frame", "2"}, 2, 1);
  always.options.launch.stall_ms = 200;
  EXPECT_THAT(always({1, 2, 3, 4}), ElementsAre("1 done x1", "2 failed x2", "3 done x1", "4 done x1"));
  EXPECT_THAT(always.report.frames[1].problem, HasSubstr("(stalled)"));
}

TEST(JobRunner, ARefusedJobStartOrNodesThatNeverConnectStopTheJobWithTheReason) {
  for (const auto& [args, problem] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--refuse-start"}, "the job start failed: StartJob,/scenes/a.json,: ERROR: the scene is refused"},
           {{"--reject-setting", "IgnoreMissingXREFs"},
            "the job start failed: IgnoreMissingXREFs: ERROR: IgnoreMissingXREFs: refused by the fake node"}}) {
    JobRun run(args, 2);
    EXPECT_THAT(run({1, 2, 3}), ElementsAre("1 not rendered x0", "2 not rendered x0", "3 not rendered x0"));
    EXPECT_EQ(run.report.frames[2].problem, problem);
  }
  JobRun run({}, 1, 1);
  run.options.launch.node_binary = "/bin/false";
  EXPECT_THAT(run({1, 2}), ElementsAre("1 not rendered x0", "2 not rendered x0"));
  EXPECT_EQ(run.report.frames[0].problem, "no node was left to render it");
  EXPECT_EQ(run.report.node_starts, 2);
  EXPECT_THAT(run.recorder.problems.back(), HasSubstr("gave up after 2 failed starts"));
  EXPECT_THAT(run.recorder.problems.front(), HasSubstr("the node exited with code 1 before it connected"));
}

TEST(NodeProcess, ArgumentsEnvironmentOutputsAndEveryWayOfEnding) {
  NodeProcess node({"/bin/sh", "-c", "echo \"$0 $PARAVELLE_TEST $TMP\"; echo oops >&2; exit 3", "--port"},
                   {{"PARAVELLE_TEST", "one"}, {"TMP", "/tmp/x"}});
  EXPECT_EQ(node.wait(10000), 3);
  EXPECT_EQ(node.stdout_text(), "--port one /tmp/x\n");
  EXPECT_EQ(node.stderr_text(), "oops\n");
  NodeProcess as_node("/bin/echo", 4711, "tok", {"--extra"});
  EXPECT_EQ(as_node.wait(10000), 0);
  EXPECT_EQ(as_node.stdout_text(), "--port 4711 --token tok --extra\n");

  pid_t pid;
  {
    NodeProcess sleeper({"/bin/sleep", "600"});
    pid = sleeper.pid();
    EXPECT_THROW(sleeper.wait(20), TimeoutError);
    EXPECT_TRUE(sleeper.running());
  }
  EXPECT_NE(::kill(pid, 0), 0) << "killed and reaped on destruction";
  NodeProcess stubborn({"/bin/sh", "-c", "trap '' TERM; echo ready; exec /bin/sleep 600"});
  for (int i = 0; i < 2000 && stubborn.stdout_text().empty(); ++i)  // SIGTERM only once the trap is set
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(stubborn.terminate(100), 128 + SIGKILL);
  EXPECT_FALSE(stubborn.running());
  EXPECT_EQ(stubborn.wait(0), 128 + SIGKILL);
  try {
    NodeProcess missing("/nonexistent/paravelle-node", 1, "t");
    FAIL() << "started a missing program";
  } catch (const WorkerError& error) {
    EXPECT_THAT(error.what(), HasSubstr("cannot start /nonexistent/paravelle-node: No such file or directory"));
    EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory) << "the child's errno reaches the caller";
  }
}

}  // namespace
}  // namespace paravelle::worker
