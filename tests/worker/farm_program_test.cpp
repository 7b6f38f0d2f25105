// paravelle-farm as users run it, with scripted nodes: exit codes, the plain and quiet output,
// the report, the terminal display through a pseudo-terminal, and its refusals of bad arguments.
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "support/temp_folder.h"
#include "support/node_binary.h"
#include "worker/job_report.h"
#include "worker/node_process.h"
#include "worker/progress_display.h"

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
    std::ofstream(job_file) << R"({"format": "paravelle-job", "version": 1, "scene": "/scenes/a.json",
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

TEST(FarmProgram, QuietFailureExitsWithOneAndKeepsTheCrashBesideTheReport) {
  Farm farm;
  const std::string report = farm.folder.path() + "/report.json";
  const Result result = run(
      farm.argv({"--quiet", "--retries", "0", "--report", report, "--node-arg", "--crash-frame", "--node-arg", "3"}));
  EXPECT_EQ(result.code, 1) << result.out << result.err;
  EXPECT_THAT(result.out, ::testing::StartsWith("frame 3 FAILED on node 1 (try 1, "));
  EXPECT_THAT(result.out, Not(HasSubstr("frame 1 done")));
  EXPECT_THAT(result.out, HasSubstr("4 frame(s): 3 done, 1 failed"));
  EXPECT_TRUE(std::filesystem::exists(farm.folder.path() + "/frame-3-crash.txt"));
}

TEST(FarmProgram, TerminalDisplayThroughAPseudoTerminal) {
  Farm farm;
  std::vector<std::string> args = farm.argv({"--nodes", "2"});
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int master = -1;
  winsize size{24, 120, 0, 0};
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  std::string out;
  char chunk[4096];
  for (ssize_t n; (n = ::read(master, chunk, sizeof chunk)) > 0;) out.append(chunk, static_cast<std::size_t>(n));
  ::close(master);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  // The block of node lines and the overall line, redrawn in place, ending with every frame done.
  EXPECT_THAT(out, AllOf(HasSubstr("\033[3A\r\033[J"), HasSubstr("node 1  "), HasSubstr("node 2  "),
                         HasSubstr("frames 4/4 done"), HasSubstr("4 frame(s): 4 done")));
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
  const std::vector<std::string> submit = {
      beside_node("paravelle-farm"), "submit", farm.job_file, "--chunk", "3", "--partition", "gpu",
      "--sbatch-arg=--time=5", "--out", out, "--frames", "1-7", "--element-arg=--node=" + beside_node("fake-node")};
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

TEST(FarmProgram, BadArgumentsAndJobFilesExitWithTwo) {
  Farm farm;
  std::ofstream(farm.folder.path() + "/bad.json") << R"({"format": "paravelle-job", "version": 1, "frames": "4-2"})";
  struct Case {
    std::vector<std::string> argv;
    std::string message;
  };
  const std::string farm_program = beside_node("paravelle-farm");
  for (const Case& c : {Case{farm.argv({"--nodes", "0"}), "--nodes"},
                        Case{farm.argv({"--frames", "4-2"}), "the end is before the start"},
                        Case{farm.argv({"--stall-timeout", "-1"}), "--stall-timeout"},
                        Case{{farm_program, farm.folder.path() + "/bad.json"}, "\"4-2\" is not a frame or frame range"},
                        Case{{farm_program, farm.folder.path() + "/none.json"}, "no such file"},
                        Case{{farm_program}, "JOBFILE"}, Case{{farm_program, "submit", farm.job_file}, "--chunk"},
                        Case{{farm_program, "collect", farm.folder.path()}, "no submission here"}}) {
    const Result result = run(c.argv);
    EXPECT_EQ(result.code, 2) << c.message << result.out;
    EXPECT_THAT(result.err + result.out, HasSubstr(c.message));
  }
  const Result help = run({farm_program, "--help"});
  EXPECT_EQ(help.code, 0);
  for (const char* option :
       {"--frames", "--nodes", "--stall-timeout", "--retries", "--report", "--quiet", "submit", "collect"}) {
    EXPECT_THAT(help.out, HasSubstr(option));
  }
}

}  // namespace
}  // namespace paravelle::worker

namespace paravelle::worker {
namespace {

// A display with a clock the test moves, printing to a temporary file.
struct Clocked {
  Clock::time_point now = Clock::time_point() + std::chrono::hours(1);
  std::FILE* file = std::tmpfile();
  ProgressDisplay display;
  explicit Clocked(DisplayMode mode, int nodes = 2, std::size_t frames = 4)
      : display(file, mode, nodes, frames, 60, [this] { return now; }) {}
  ~Clocked() { std::fclose(file); }
  void advance(int ms) { now += std::chrono::milliseconds(ms); }
  std::string text() const {
    std::fflush(file);
    std::rewind(file);
    std::string all;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) all.append(chunk, n);
    return all;
  }
};

FrameRecord finished(std::int32_t frame, FrameStatus status, int tries, const std::string& problem = "") {
  FrameRecord record;
  record.frame = frame;
  record.status = status;
  record.tries = tries;
  record.render_seconds = 1.5;
  record.problem = problem;
  return record;
}

TEST(ProgressDisplay, PlainLinesAtMostOncePerSecondPerNodeAndQuietShowsOnlyProblems) {
  for (const DisplayMode mode : {DisplayMode::plain, DisplayMode::quiet}) {
    Clocked clocked(mode);
    clocked.display.frame_started(1, 7, 1);
    clocked.display.frame_started(2, 8, 2);
    clocked.display.node_message(1, "FUNCTION: SETTITLE Rendering image - 25.0%");
    clocked.display.node_message(1, "FUNCTION: PROGRESS 25");  // within the second: not shown
    clocked.display.node_message(2, "FUNCTION: PROGRESS -1");
    clocked.advance(999);
    clocked.display.node_message(1, "FUNCTION: PROGRESS 30");
    clocked.advance(1);
    clocked.display.node_message(1, "FUNCTION: PROGRESS 50");
    clocked.display.node_message(1, "FUNCTION: STDOUT: MaxParavelle: not progress");
    clocked.display.note("node 1: started", false);
    clocked.display.frame_finished(1, finished(7, FrameStatus::done, 1), true);
    clocked.display.frame_finished(2, finished(8, FrameStatus::pending, 2, "the node closed the connection"), false);
    clocked.display.note("node 2: gave up", true);
    clocked.display.frame_finished(1, finished(9, FrameStatus::failed, 3, "stalled"), true);
    clocked.advance(61000);
    clocked.display.finish();
    EXPECT_EQ(clocked.text(),
              mode == DisplayMode::quiet
                  ? "node 2: gave up\nframe 9 FAILED on node 1 (try 3, 1.50 s): stalled  [2/4]\n"
                  : "node 1  frame 7  [--------------------]     ?%  Rendering image - 25.0%\n"
                    "node 2  frame 8 (try 2)  [--------------------]     ?%\n"
                    "node 1  frame 7  [##########----------]  50.0%  Rendering image - 25.0%\n"
                    "node 1: started\n"
                    "frame 7 done on node 1 (try 1, 1.50 s)  [1/4]\n"
                    "frame 8 failed, will retry on node 2 (try 2, 1.50 s): the node closed the connection  [1/4]\n"
                    "node 2: gave up\n"
                    "frame 9 FAILED on node 1 (try 3, 1.50 s): stalled  [2/4]\n"
                    "frames 1/4 done, 1 failed  elapsed 1:02  left ~1:02\n");
  }
}

TEST(ProgressDisplay, TerminalRedrawsTheBlockInPlaceAtMostTenTimesASecondAndNeverWraps) {
  Clocked clocked(DisplayMode::terminal);
  clocked.display.tick();
  const std::string first = clocked.text();
  EXPECT_EQ(first, "node 1  waiting\nnode 2  waiting\nframes 0/4 done  elapsed 0:00\n");
  clocked.display.frame_started(1, 3, 1);
  clocked.display.node_message(1, "FUNCTION: PROGRESS 100");
  clocked.advance(99);
  clocked.display.tick();  // too soon after the last redraw
  EXPECT_EQ(clocked.text(), first);
  clocked.advance(1);
  clocked.display.tick();
  const std::string second = clocked.text().substr(first.size());
  EXPECT_EQ(second, "\033[3A\r\033[Jnode 1  frame 3  [####################] 100.0%\nnode 2  waiting\n"
                    "frames 0/4 done  elapsed 0:00\n");
  clocked.advance(500);
  clocked.display.tick();  // nothing changed: nothing drawn
  EXPECT_EQ(clocked.text().size(), first.size() + second.size());
  // A note goes above the block, which is erased and drawn again at the next tick.
  clocked.display.note("node 2: the node exited", true);
  EXPECT_EQ(clocked.text().substr(first.size() + second.size()), "\033[3A\r\033[Jnode 2: the node exited\n");
  clocked.display.node_message(1, "FUNCTION: SETTITLE " + std::string(200, 'x'));
  clocked.advance(100);
  clocked.display.tick();
  const std::string text = clocked.text();
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    EXPECT_LT(end - start, 60u);
  EXPECT_THAT(text, HasSubstr(std::string(10, 'x') + "\n"));
}

}  // namespace
}  // namespace paravelle::worker
