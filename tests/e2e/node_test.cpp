// The node as a farm worker drives it: the real binary, the real loaded plug-in, loopback.
// Its arguments, its log, a session that fails, a worker that misbehaves or vanishes, a
// start-up script, a job whose failures cost their command only; and whole jobs on real
// nodes through the reference farm's runner.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <csignal>
#include <map>
#include <mutex>

#include "e2e/node_fixture.h"
#include "support/job_scenes.h"
#include "support/sanitizers.h"
#include "support/log_capture.h"
#include "worker/job_runner.h"

namespace paravelle::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Replies = std::vector<std::string>;

const std::string bogus = "ERROR: Unexpected command \"Bogus\" received.";

TEST_F(NodeTest, ServesAWorkerUntilItClosesTheConnectionLoggingEveryCommand) {
  start_node();
  EXPECT_EQ(farm.command("RegionRendering,1,2,3", wait_ms).final_reply(),
            "ERROR: RegionRendering: Expected 6 parameters, got 3");
  farm.send_raw("TempFolder,C:/farm/temp");
  EXPECT_TRUE(farm.silent_for(200));
  // A script asks the farm for job information in the middle of loading the scene it loads.
  std::ofstream(path("shot.json")) << R"({"format": "paravelle-scene", "version": 1,
    "scripts": {"post_load": "shotName = TaskmereUtil.GetJobInfoEntry \"Name\""}})";
  const auto loading = farm.command(
      "ExecuteStringScript,0,(loadMaxFile \\\"" + path("shot.json") + "\\\") as string + \\\" \\\" + shotName", wait_ms,
      [](const std::string&) { return std::string("SUCCESS: Night shot"); });
  EXPECT_THAT(loading.messages, ElementsAre("STARTED", "FUNCTION: GETJOBINFOENTRY Name", "SUCCESS: true Night shot"));
  farm.close();
  EXPECT_EQ(node->wait(wait_ms), 0) << node->stderr_text();
  node.reset();
  EXPECT_THAT(log(), HasSubstr("running daemon...\n"));
  EXPECT_THAT(log(), HasSubstr("\nGot command: TempFolder,C:/farm/temp\n\nCommand: TempFolder,C:/farm/temp\n"));
  EXPECT_THAT(log(), ::testing::EndsWith("Returning TRUE\n"));
  EXPECT_EQ(log().find('\r'), std::string::npos);
}

TEST(NodeBinary, ExitsWithOneWhenTheSessionFailsAndTwoForBadArguments) {
  TempFolder tmp;
  worker::FarmWorker farm;
  worker::NodeProcess node(node_binary_path(), farm.port(), "t", {}, {{"TMP", tmp.path()}});
  farm.accept(wait_ms);
  EXPECT_EQ(farm.receive_raw(wait_ms), "t");
  EXPECT_THAT(farm.handshake(wait_ms, "Hello"), HasSubstr("Incompatible plugin versions detected, exiting."));
  EXPECT_EQ(farm.receive_raw(wait_ms), "ERROR: Exception caught in 3ds max: Incorrect handshake with Taskmere plugin.");
  EXPECT_EQ(node.wait(wait_ms), 1);
  std::uint16_t port;
  {
    const worker::FarmWorker gone;
    port = gone.port();
  }
  worker::NodeProcess alone(node_binary_path(), port, "t", {}, {{"TMP", tmp.path()}});
  EXPECT_EQ(alone.wait(wait_ms), 1);
  EXPECT_THAT(read_file(tmp.path() + "/paravelle.log"),
              HasSubstr("Exception: connect: Failed to connect to server at port " + std::to_string(port) + "\n"));

  worker::NodeProcess help({node_binary_path(), "--help"});
  EXPECT_EQ(help.wait(wait_ms), 0);
  for (const char* option : {"--port", "--token", "--script", "TaskmereUtil.RunParavelleDaemon"})
    EXPECT_THAT(help.stdout_text(), HasSubstr(option));
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"--token", "t"},
                                                    {"--port", "abc", "--token", "t"},
                                                    {"--port", "70000", "--token", "t"},
                                                    {"--port", "5000"},
                                                    {"--script", "a.ms", "--port", "5000"},
                                                    {"--script", "a.ms", "--token", "t"},
                                                    {"--script"},
                                                    {}}) {
    std::vector<std::string> argv{node_binary_path()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    worker::NodeProcess bad(argv);
    EXPECT_EQ(bad.wait(wait_ms), 2) << ::testing::PrintToString(arguments);
    EXPECT_THAT(bad.stderr_text(), HasSubstr("paravelle-node: "));
  }
}

TEST(NodeScript, AStartUpScriptRunsTheDaemonThroughTheInterfaceOrExitsWithOneOnAnError) {
  TempFolder tmp;
  worker::FarmWorker farm;
  const std::string script = tmp.path() + "/startup.ms";
  std::ofstream(script) << "print TaskmereUtil.CurrentTask\nended = TaskmereUtil.RunParavelleDaemon " << farm.port()
                        << " \"from-scr\u00efpt\"\nprint ended\n";
  worker::NodeProcess node({node_binary_path(), "--script", script}, {{"TMP", tmp.path()}});
  EXPECT_THAT(farm.open_session(wait_ms, "from-scr\xC3\xAFpt"), StartsWith("Paravelle "));
  EXPECT_EQ(farm.command("Bogus", wait_ms).final_reply(), bogus);
  farm.close();
  EXPECT_EQ(node.wait(wait_ms), 0) << node.stderr_text();
  EXPECT_EQ(node.stdout_text(), "-1\ntrue\n");

  std::ofstream(script, std::ios::trunc) << "TaskmereUtil.FailRender \"no scene here\"\n";
  worker::NodeProcess failing({node_binary_path(), "--script", script}, {{"TMP", tmp.path()}});
  EXPECT_EQ(failing.wait(wait_ms), 1);
  EXPECT_THAT(failing.stdout_text(), HasSubstr("-- Runtime error: no scene here"));
  EXPECT_THAT(failing.stderr_text(), HasSubstr("paravelle-node: the script " + script + " raised an error"));
  worker::NodeProcess missing({node_binary_path(), "--script", tmp.path() + "/absent.ms"}, {{"TMP", tmp.path()}});
  EXPECT_EQ(missing.wait(wait_ms), 1);
  EXPECT_THAT(missing.stdout_text(), HasSubstr("Cannot open script file"));
}

// Each fault, then what the worker sees next (nothing, when empty), the log line it leaves
// and the node's exit status; a node still serving answers a command after the fault.
TEST(NodeFaults, FramesTheNodeCannotTakeAndAWorkerThatVanishes) {
  const struct {
    const char* name;
    std::function<void(worker::FarmWorker&)> fault;
    std::string next_message, log_line;
    int exit_status;
  } faults[] = {
      {"zero-length frame", [](auto& farm) { farm.send_raw(""); }, "ERROR: Unexpected command \"\" received.",
       "\nGot command: \n", 0},
      {"oversized frame", [](auto& farm) { farm.send_header_only(100001); },
       "ERROR: Exception caught in 3ds max: simple_socket::receive: Invalid packet size (given 100001)",
       "\nException: simple_socket::receive: Invalid packet size (given 100001)\n", 1},
      {"worker gone inside a frame", [](auto& farm) { farm.send_header_only(10), farm.close(); }, "",
       "Returning TRUE\n", 0},
  };
  for (const auto& f : faults) {
    SCOPED_TRACE(f.name);
    TempFolder tmp;
    worker::FarmWorker farm;
    worker::NodeProcess node(node_binary_path(), farm.port(), "t", {}, {{"TMP", tmp.path()}});
    farm.open_session(wait_ms, "t");
    f.fault(farm);
    if (!f.next_message.empty()) {
      EXPECT_EQ(farm.receive_raw(wait_ms), f.next_message);
    }
    if (f.exit_status == 0 && farm.connected()) {
      EXPECT_EQ(farm.command("Bogus", wait_ms).final_reply(), bogus);
    }
    farm.close();
    const int status = node.wait(wait_ms);
    EXPECT_TRUE(status == f.exit_status || (f.exit_status < 0 && (status == 0 || status == 1)))
        << status << node.stderr_text();
    EXPECT_THAT(read_file(tmp.path() + "/paravelle.log"), HasSubstr(f.log_line));
  }
}

TEST(NodeJob, FailuresCostTheirCommandOnlyAndFramesRender) {
  PARAVELLE_SKIP_UNLESS_MACHINE_FAULTS_TRAPPED();
  TempFolder tmp;
  nlohmann::json scene = small_job_scene();
  scene["render"].update({{"width", 160}, {"height", 120}});
  scene["faults"] = {{{"when", "render"}, {"frame", 3}, {"kind", "write"}}};
  const std::string shot = write_scene(tmp.path(), "shot.json", scene);
  scene["faults"] = {{{"when", "load"}, {"kind", "write"}}};
  const std::string crashing = write_scene(tmp.path(), "crash.json", scene);
  worker::FarmWorker farm;
  // What the frames a trapped fault abandons held is lost by design: no leak report at the end.
  worker::NodeProcess node(node_binary_path(), farm.port(), "job", {},
                           {{"TMP", tmp.path()}, {"ASAN_OPTIONS", "detect_leaks=0"}});
  farm.open_session(wait_ms, "job");
  const auto job = [&](const std::string& command) { return farm.job_command(command, wait_ms); };

  EXPECT_EQ(
      job("StartJob," + tmp.path() + "/none.json,Cam").replies(),
      (Replies{"ERROR: Invalid max file: \"" + tmp.path() + "/none.json\"", "SUCCESS Scene loaded successfully"}));
  const Replies crashed = job("StartJob," + crashing + ",Cam").replies();
  ASSERT_EQ(crashed.size(), 2u);
  EXPECT_THAT(crashed[0], StartsWith("ERROR: Trapped SEH Exception in LoadFromFile(): Access Violation\nProcess:  " +
                                     node_binary_path() + "\n"));
  EXPECT_THAT(crashed[0], HasSubstr("\nException Code:  C0000005\nWrite Address:  00000010\n"));
  EXPECT_EQ(crashed[1], "SUCCESS Scene loaded successfully");
  EXPECT_EQ(job("RenderTask,1").replies(), Replies{"ERROR: RenderTask: Called without being in a job."});
  EXPECT_EQ(job("StartJob," + shot + ",Cam").replies(), Replies{"SUCCESS Scene loaded successfully"});
  EXPECT_EQ(job("StartJob," + shot + ",Cam").replies(),
            (Replies{"ERROR: StartJob called when job was already running.", "SUCCESS Scene loaded successfully"}));
  const worker::Conversation frame = job("RenderTask,1");
  EXPECT_EQ(frame.replies(), (Replies{"STARTED", "SUCCESS"}));
  std::vector<double> progress;
  for (const std::string& value : frame.notifications("PROGRESS")) progress.push_back(std::stod(value));
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  const Replies failed = job("RenderTask,3").replies();
  ASSERT_EQ(failed.size(), 3u);
  EXPECT_THAT(failed[1], StartsWith("ERROR: Trapped SEH Exception in CurRendererRenderFrame(): Access Violation\n"));
  EXPECT_EQ(failed[2], "ERROR: Failed to save file.");
  EXPECT_EQ(job("RenderTask,-13421773").replies(),
            (Replies{"STARTED", "ERROR: Frame -13421773 at 160 ticks per frame lies outside the scene's time range.",
                     "ERROR: Failed to save file."}));
  const Replies second = job("RenderTask,2").notifications("STDOUT");
  EXPECT_EQ(std::count(second.begin(), second.end(), "MaxParavelle: Opening renderer"), 0) << "it stays open";
  EXPECT_EQ(job("EndJob").replies(), Replies{"SUCCESS"});
  EXPECT_EQ(job("EndJob").replies(),
            (Replies{"ERROR: EndJob called when consistency check flag jobRunning was not set", "SUCCESS"}));
  farm.close();
  EXPECT_EQ(node.wait(wait_ms), 0) << node.stderr_text();

  // The log in order: each command, its steps and what was sent.
  std::istringstream file(read_file(tmp.path() + "/paravelle.log"));
  std::vector<std::string> log;
  for (std::string line; std::getline(file, line);) log.push_back(line);
  std::size_t next = 0;
  for (const std::string& line :
       {"Command: StartJob," + crashing + ",Cam", std::string("Trying to load max file..."),
        std::string("Sending error"), std::string("Sending success"), "Command: StartJob," + shot + ",Cam",
        std::string("Successfully loaded the max file"), std::string("Command: RenderTask,1"),
        std::string("Calling renderer"), std::string("CallCurRendererRenderFrame returned code 1"),
        std::string("Command: RenderTask,3"), std::string("CallCurRendererRenderFrame returned code 0"),
        std::string("Command: EndJob"), std::string("Returning TRUE")}) {
    const auto found = std::find(log.begin() + std::ptrdiff_t(next), log.end(), line);
    ASSERT_NE(found, log.end()) << "missing or out of order: " << line;
    next = std::size_t(found - log.begin()) + 1;
  }
}

}  // namespace
}  // namespace paravelle::testing

namespace paravelle {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class Problems : public worker::RunObserver {
 public:
  void node_state(int, const std::string&) override {}
  void frame_started(int node, std::int32_t frame, int try_number) override {
    std::lock_guard lock(mutex_);
    current_[node] = frame == kill_frame && try_number == 1;
  }
  // Kills the node at its first message of the chosen frame's first try: in the middle of the task.
  void node_message(int node, const std::string&) override {
    std::lock_guard lock(mutex_);
    if (!current_[node] || pids_[node] <= 0) return;
    current_[node] = false;
    ::kill(pids_[node], SIGKILL);
    ++kills;
  }
  void frame_finished(int, const worker::FrameRecord&, bool) override {}
  void note(const std::string& text, bool problem) override {
    std::lock_guard lock(mutex_);
    if (problem) lines.push_back(text);
    // "node 2: started in 0.91 s (pid 4711, TMP ...)"
    if (const auto at = text.find("(pid ");
        at != std::string::npos && text.find(": started in ") != std::string::npos) {
      pids_[std::stoi(text.substr(5))] = std::stoi(text.substr(at + 5));
    }
  }
  std::vector<std::string> lines;
  std::int32_t kill_frame = -1000;
  int kills = 0;

 private:
  std::mutex mutex_;
  std::map<int, pid_t> pids_;
  std::map<int, bool> current_;
};

struct Job {
  testing::TempFolder folder;
  worker::JobFile job;
  worker::RunnerOptions options;
  Problems problems;

  Job(const nlohmann::json& scene, int nodes, int retries) {
    job.source = folder.path() + "/job.json";
    job.scene = testing::write_scene(folder.path(), "scene.json", scene);
    job.camera = "Cam";
    job.settings_before_start = {"TempFolder," + folder.path() + "/temp"};
    job.settings_after_start = {"HideFrameBuffer", "OverrideSaveFile,1",
                                "OutputImageFilename," + folder.path() + "/out/frame_.png"};
    options.launch.node_binary = testing::node_binary_path();
    options.launch.work_dir = folder.path() + "/work";
    options.launch.report_dir = folder.path() + "/report";
    options.launch.token = "e2e";
    options.launch.timeout_ms = options.launch.stall_ms = 30000;
    options.nodes = nodes;
    options.retries = retries;
  }
  worker::JobReport run(const std::vector<std::int32_t>& frames) {
    return worker::run_job_frames(job, frames, options, problems);
  }
};

std::vector<std::string> statuses(const worker::JobReport& report) {
  std::vector<std::string> result;
  for (const auto& r : report.frames) result.push_back(std::to_string(r.frame) + " " + worker::status_name(r.status));
  return result;
}

nlohmann::json with_fault(nlohmann::json scene, const char* kind, int frame) {
  scene["faults"] = nlohmann::json::array({{{"when", "render"}, {"kind", kind}, {"frame", frame}}});
  return scene;
}

TEST(FarmJob, FramesOnTwoNodesWriteEveryFrameAndAFaultCostsItsFrameOnly) {
  Job job(with_fault(testing::small_job_scene(), "divide_by_zero", 3), 2, 0);
  const worker::JobReport report = job.run({1, 2, 3, 4, 5});
  EXPECT_THAT(statuses(report), ElementsAre("1 done", "2 done", "3 failed", "4 done", "5 done"));
  for (const auto& record : report.frames)
    EXPECT_TRUE(record.frame == 3 || std::filesystem::file_size(record.outputs.at(0).path) > 0) << record.frame;
  const auto crash = std::filesystem::path(job.options.launch.report_dir) / "frame-3-crash.txt";
  EXPECT_THAT(report.frames[2].crash_reports, ElementsAre(crash.string()));
  EXPECT_THAT(testing::read_file(crash),
              HasSubstr("ERROR: Trapped SEH Exception in CurRendererRenderFrame(): Integer Divide By Zero\n"));
  EXPECT_TRUE(std::filesystem::exists(crash.parent_path() / "frame-3-paravelle.log"));
  EXPECT_EQ(report.node_starts, 2) << "a trapped fault must not cost the node";
}

TEST(FarmJob, HangsAreEndedByTheStallTimeOutRetriedAndReported) {
  nlohmann::json hanging_start = testing::small_job_scene();
  hanging_start["faults"] = nlohmann::json::array({{{"when", "load"}, {"kind", "hang"}}});
  Job start(hanging_start, 1, 1);
  start.options.launch.stall_ms = 1000;
  const worker::JobReport never = start.run({1, 2});
  EXPECT_THAT(statuses(never), ElementsAre("1 not rendered", "2 not rendered"));
  EXPECT_THAT(never.frames[0].problem, ::testing::StartsWith("no node was left to render it"));
  ASSERT_EQ(start.problems.lines.size(), 3u);
  EXPECT_THAT(start.problems.lines[0],
              HasSubstr("the node sent nothing for 1 s during StartJob (stalled); killing it"));
  EXPECT_THAT(start.problems.lines[2], HasSubstr("gave up after 2 failed starts"));

  Job frame(with_fault(testing::small_job_scene(), "hang", 2), 1, 1);
  frame.options.launch.stall_ms = 1000;
  const worker::JobReport report = frame.run({1, 2, 3});
  EXPECT_THAT(statuses(report), ElementsAre("1 done", "2 failed", "3 done"));
  EXPECT_EQ(report.frames[1].tries, 2);
  EXPECT_THAT(report.frames[1].problem, HasSubstr("the node sent nothing for 1 s during the frame (stalled)"));
  EXPECT_EQ(report.node_starts, 3);
}

TEST(FarmJob, ANodeKilledInTheMiddleOfAFrameIsReplaced) {
  Job job(testing::small_job_scene(), 1, 1);
  job.problems.kill_frame = 2;
  const worker::JobReport report = job.run({1, 2, 3});
  EXPECT_EQ(job.problems.kills, 1);
  EXPECT_THAT(statuses(report), ElementsAre("1 done", "2 done", "3 done"));
  EXPECT_EQ(report.frames[1].tries, 2);
  EXPECT_EQ(report.node_starts, 2);
}

}  // namespace
}  // namespace paravelle
