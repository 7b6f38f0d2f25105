// paravelle-farm as users run it, and its job runner, against scripted nodes: exit codes, the
// output and the report, Slurm through stand-in commands, refusals of bad arguments; frames
// spread over nodes, retries, hung nodes killed with their process group, crash files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <fstream>
#include <csignal>
#include <mutex>

#include "support/temp_folder.h"
#include "worker/job_report.h"
#include "worker/node_process.h"
#include "worker/job_runner.h"

namespace paravelle::worker {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

std::string beside_node(const std::string& name) {
  const std::string node = paravelle::testing::node_binary_path();
  return node.substr(0, node.find_last_of('/') + 1) + name;
}

struct Farm {
  paravelle::testing::TempFolder folder;
  std::string job_file = folder.path() + "/job.json";
  Farm() {
    std::ofstream(folder.path() + "/scene.json") << "{}";  // checked for before any node starts
    std::ofstream(job_file) << R"({"format": "paravelle-job", "version": 1, "scene": "scene.json",
      "settings_before_start": ["TempFolder,/tmp/x"], "frames": "1-4"})";
  }
  std::vector<std::string> argv(std::vector<std::string> extra) const {
    std::vector<std::string> args = {beside_node("paravelle-farm"), job_file,     "--node",
                                     beside_node("fake-node"),      "--work-dir", folder.path() + "/work"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
};

struct Result {
  int code;
  std::string out, err;
};
Result run(const std::vector<std::string>& argv) {
  NodeProcess process(argv);
  const int code = process.wait(60000);
  return {code, process.stdout_text(), process.stderr_text()};
}

TEST(FarmProgram, PlainRunWithReportAndSummary) {
  Farm farm;
  const std::string report = farm.folder.path() + "/out/report.json";
  std::filesystem::create_directories(farm.folder.path() + "/out");
  const Result result = run(farm.argv({"--nodes", "2", "--report", report, "--frames", "2-3,7"}));
  EXPECT_EQ(result.code, 0) << result.out << result.err;
  EXPECT_THAT(result.out, AllOf(HasSubstr("frame 7 done on node "), HasSubstr("  [3/3]\n"),
                                HasSubstr("3 frame(s): 3 done, 0 failed, 0 not rendered; 3 tries, 2 node start(s)"),
                                HasSubstr("Report: " + report + "\n"), Not(HasSubstr("\033["))));
  const JobReport written = read_report(report);
  ASSERT_EQ(written.frames.size(), 3u);
  EXPECT_EQ(written.frames[2].frame, 7);
  EXPECT_TRUE(written.all_done());
}

// Slurm's commands stood in for by scripts on PATH: what submit hands to sbatch, the array script
// each element runs (run here by hand, as Slurm would), and collect merging what they reported.
TEST(FarmProgram, SubmitAndCollectThroughStandInSlurmCommands) {
  Farm farm;
  const std::string bin = farm.folder.path() + "/bin";
  const std::string out = farm.folder.path() + "/out";
  std::filesystem::create_directories(bin);
  std::ofstream(bin + "/sbatch") << "#!/bin/sh\necho \"$@\" > " << bin << "/sbatch-args\n"
                                 << "[ -n \"$FAIL\" ] && { echo 'sbatch: error: invalid partition' >&2; exit 1; }\n"
                                 << "echo '4711;paravelle'\n";
  std::ofstream(bin + "/squeue") << "#!/bin/sh\nexit 0\n";
  std::filesystem::permissions(bin + "/sbatch", std::filesystem::perms::owner_all);
  std::filesystem::permissions(bin + "/squeue", std::filesystem::perms::owner_all);
  const std::vector<std::pair<std::string, std::string>> path = {{"PATH", bin + ":/usr/bin:/bin"}};
  std::vector<std::string> submit = {
      beside_node("paravelle-farm"), "submit", farm.job_file, "--chunk",  "3",  "--partition", "gpu",
      "--sbatch-arg=--time=5",       "--out",  out,           "--frames", "1-7"};
  submit.push_back("--element-arg=--node=" + beside_node("fake-node"));
  NodeProcess submitted(submit, path);
  ASSERT_EQ(submitted.wait(60000), 0) << submitted.stderr_text();
  EXPECT_EQ(submitted.stdout_text(), "4711\n");
  std::ifstream args(bin + "/sbatch-args");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(args), {}),
            "--parsable --partition=gpu --time=5 " + out + "/array.sh\n");
  std::ifstream script_file(out + "/array.sh");
  const std::string script((std::istreambuf_iterator<char>(script_file)), {});
  EXPECT_THAT(script, AllOf(HasSubstr("#SBATCH --array=0-2\n"), HasSubstr("chunks=( '1-3' '4-6' '7' )\n"),
                            HasSubstr("#SBATCH --output=" + out + "/slurm-%A_%a.out\n")));

  // Elements 0 and 2 run; element 1 never does, so its frames are missing.
  for (const char* element : {"0", "2"}) {
    NodeProcess run_element({"/bin/bash", out + "/array.sh"}, {{"SLURM_ARRAY_TASK_ID", element}});
    EXPECT_EQ(run_element.wait(60000), 0) << run_element.stdout_text() << run_element.stderr_text();
  }
  NodeProcess collect({beside_node("paravelle-farm"), "collect", out, "--wait", "4711", "--poll", "0.05"}, path);
  EXPECT_EQ(collect.wait(60000), 1);
  EXPECT_THAT(collect.stdout_text(),
              AllOf(HasSubstr("Slurm job 4711: 0 pending, 0 running, 3 done of 3\n"),
                    HasSubstr("7 frame(s): 4 done, 0 failed, 3 not rendered"), HasSubstr("missing from every report")));
  EXPECT_THAT(collect.stderr_text(), HasSubstr("element 1 (frames 4-6): " + out + "/report-1.json: cannot be read"));
  const JobReport merged = read_report(out + "/report.json");
  ASSERT_EQ(merged.frames.size(), 7u);
  EXPECT_EQ(merged.frames[6].status, FrameStatus::done);

  auto failing = path;
  failing.emplace_back("FAIL", "1");
  NodeProcess refused(submit, failing);
  EXPECT_EQ(refused.wait(60000), 1);
  EXPECT_THAT(refused.stderr_text(), HasSubstr("sbatch failed (exit code 1): sbatch: error: invalid partition"));
}

using paravelle::testing::read_file;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

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
  EXPECT_EQ(read_file(crash),
            "ERROR: Trapped SEH Exception in RenderFrame(): Access Violation\nException code: C0000005\n");
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
  const std::string child =
      read_file(std::filesystem::path(once.options.launch.work_dir) / "node-1-1" / "hang-child.pid");
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
  EXPECT_THAT(run.report.frames[0].problem, ::testing::StartsWith("no node was left to render it"));
  EXPECT_EQ(run.report.node_starts, 2);
  EXPECT_THAT(run.recorder.problems.back(), HasSubstr("gave up after 2 failed starts"));
  EXPECT_THAT(run.recorder.problems.front(), HasSubstr("the node exited with code 1 before it connected"));
}

}  // namespace
}  // namespace paravelle::worker
