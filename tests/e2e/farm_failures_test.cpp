// paravelle-farm with real nodes when something goes wrong: a job start every node would refuse
// stops the job with the node's own words, a node that cannot start says why, everything a frame's
// tries said is kept in its log, and a node without TMP or without a worker says so.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>

#include "support/farm_program.h"
#include "support/job_scenes.h"
#include "support/temp_folder.h"
#include "worker/job_report.h"

namespace paravelle {
namespace {

using ::testing::AllOf;
using testing::built_program;
using testing::FarmResult;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::read_file;

struct NodeJob {
  testing::TempFolder folder;
  std::string job_file = folder.path() + "/job.json";
  std::string report = folder.path() + "/report.json";

  NodeJob(const std::string& keys, const nlohmann::json& scene = testing::small_job_scene()) {
    testing::write_scene(folder.path(), "scene.json", scene);
    std::ofstream(job_file) << R"({"format": "paravelle-job", "version": 1, "scene": "scene.json", "camera": "Cam",
      "frames": [1, 2], "settings_after_start": ["HideFrameBuffer", "OutputImageFilename,)"
                            << folder.path() << R"(/out/f_.png"])" << (keys.empty() ? "" : ", ") << keys << "}";
  }
  FarmResult run(std::vector<std::string> extra) const {
    std::vector<std::string> argv = {built_program("paravelle-farm"), job_file, "--report", report, "--work-dir",
                                     folder.path() + "/work"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return testing::run_program(argv);
  }
};

TEST(FarmFailures, AJobStartEveryNodeWouldRefuseStopsTheJobWithTheNodesOwnWords) {
  struct Case {
    std::string keys;
    std::vector<std::string> args;
    std::string words;
  };
  for (const Case& c : {
           Case{R"("scripts": [{"text": "y = x + \"a\""}])",
                {},
                R"(ERROR: Exception caught in 3ds max: -- No "+" function for undefined (at line 1))"},
           Case{R"("scripts": [{"text": "x = (1 +"}])",
                {},
                "-- Syntax error: at line 1, expected an expression, got the end of the script"},
           Case{R"("settings_before_start": ["CurrentTask,x"])",
                {},
                R"(the job start failed: CurrentTask,x: ERROR: CurrentTask: Parameter 1 , "x", is not a valid task )"
                R"(number.)"},
           Case{R"("settings_before_start": ["Bogus"])", {}, R"(Bogus: ERROR: Unexpected command "Bogus" received.)"},
           Case{R"("scene": "job.json")", {}, "ERROR: Invalid max file: "},
           Case{"",
                {"--node-arg=--bogus", "--retries", "0"},
                "the node exited with code 2 before it connected; its standard error ends: "},
       }) {
    const NodeJob job(c.keys);
    const FarmResult result = job.run(c.args);
    EXPECT_EQ(result.code, 1) << result.out << result.err;
    EXPECT_THAT(result.out, HasSubstr(c.words));
    const worker::JobReport report = worker::read_report(job.report);
    EXPECT_EQ(report.node_starts, 1) << c.words;
    for (const auto& frame : report.frames) {
      EXPECT_EQ(frame.status, worker::FrameStatus::pending);
      EXPECT_THAT(frame.problem, HasSubstr(c.words));
      if (!c.args.empty()) {
        EXPECT_THAT(frame.problem, HasSubstr("--bogus")) << "the node's own message names it";
      }
    }
  }
  // Without a job the same script error is one failure: the node's exit after it is no second one.
  const NodeJob job(R"("scripts": [{"text": "y = x + \"a\""}])");
  const FarmResult result = testing::run_program(
      {built_program("paravelle-farm"), "--without-job", job.job_file, "--work-dir", job.folder.path() + "/work"});
  EXPECT_EQ(result.code, 1);
  EXPECT_THAT(result.out, AllOf(HasSubstr("\nFAILED: ExecuteStringScript"), HasSubstr("\n1 failure(s)\n"),
                                Not(HasSubstr("exited with code"))));
}

TEST(FarmLogs, EveryTryOfAFrameIsLoggedWithWhatTheNodeSaidAndPrinted) {
  nlohmann::json scene = testing::small_job_scene();
  scene["scripts"]["pre_frame"] = R"(print "printed before the frame"; TaskmereUtil.LogMessage "logged before it")";
  scene["faults"] = nlohmann::json::array({{{"when", "render"}, {"kind", "divide_by_zero"}, {"frame", 2}}});
  const NodeJob job("", scene);
  const FarmResult result = job.run({"--retries", "1", "--keep-work"});
  EXPECT_EQ(result.code, 1) << result.out << result.err;
  const worker::JobReport report = worker::read_report(job.report);
  const std::string logs = job.folder.path() + "/logs/";
  ASSERT_EQ(report.frames.size(), 2u);
  EXPECT_EQ(report.frames[0].log, logs + "frame-1.log");
  EXPECT_THAT(read_file(logs + "frame-1.log"),
              AllOf(HasSubstr("== frame 1, try 1, node 1 (start 1, pid "), HasSubstr(" farm: RenderTask,1\n"),
                    HasSubstr(" node: FUNCTION: STDOUT: logged before it\n"),
                    HasSubstr(" node stdout: \"printed before the frame\"\n"), HasSubstr(" -- the try succeeded in ")));
  EXPECT_THAT(
      read_file(logs + "frame-2.log"),
      AllOf(HasSubstr("== frame 2, try 2, node 1 (start 1, pid "),
            HasSubstr(" node: ERROR: Trapped SEH Exception in CurRendererRenderFrame(): Integer Divide By Zero"),
            HasSubstr(" -- the crash report is kept in " + job.folder.path() + "/frame-2-crash.txt\n"),
            HasSubstr(" -- the try failed: ERROR: Trapped SEH Exception")));
  EXPECT_THAT(
      read_file(logs + "job-start-1-1.log"),
      AllOf(HasSubstr(" farm: TaskmereStartup\n"), HasSubstr(" farm: StartJob,"), HasSubstr(" farm: EndJob\n")));
  EXPECT_THAT(read_file(job.folder.path() + "/work/node-1-1/node-1-1.out"),
              HasSubstr("paravelle-node: connecting to the farm worker on 127.0.0.1:"));
}

TEST(NodeOnItsOwn, WithoutTmpTheLogGoesToTheTemporaryFolderAndARefusedConnectSaysWhy) {
  // A port nothing listens on: bound and let go again.
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(probe);
  const std::string port = std::to_string(ntohs(address.sin_port));
  const FarmResult result = testing::run_program({"/usr/bin/env", "-u", "TMP", "-u", "TMPDIR", "-u", "USERPROFILE",
                                                  testing::node_binary_path(), "--port", port, "--token", "t"});
  EXPECT_EQ(result.code, 1);
  EXPECT_THAT(
      result.err,
      AllOf(HasSubstr("paravelle: none of TMP, TMPDIR and USERPROFILE is set; the log goes to /tmp/paravelle.log\n"),
            HasSubstr("paravelle: connect: Failed to connect to server at port " + port + " (connection refused)\n")));
  EXPECT_EQ(result.err.find("TMPDIR"), result.err.rfind("TMPDIR")) << "said once";
}

}  // namespace
}  // namespace paravelle
