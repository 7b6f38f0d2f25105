// StartJob, RenderTask and EndJob as the farm sees them: the replies in order, the log
// lines around them, and the node serving on after every failure.

#include <gmock/gmock.h>

#include <future>

#include "daemon/session.h"
#include "dispatcher_fixture.h"
#include "host/platform.h"
#include "host/standalone/standalone_interface.h"
#include "support/job_scenes.h"
#include "transport/text.h"
#include "worker/farm_worker.h"

namespace paravelle::daemon {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Replies = std::vector<std::string>;

// The job commands with the host at its start-up state, scenes in a fresh folder, and the
// pauses after error replies recorded instead of slept.
class JobCommands : public DispatcherTest {
 protected:
  void SetUp() override {
    DispatcherTest::SetUp();
    host::standalone::standalone_interface().reset();
    host::set_sleep_function([this](std::uint32_t ms) { pauses.push_back(ms); });
  }
  void TearDown() override {
    host::set_sleep_function({});
    host::standalone::standalone_interface().reset();
  }
  // The scene file as the farm sends it: forward slashes.
  std::wstring scene(const nlohmann::json& content, const std::string& name = "scene.json") {
    return testing::wide(testing::write_scene(folder.path(), name, content));
  }

  testing::TempFolder folder;
  std::vector<std::uint32_t> pauses;
};

TEST_F(JobCommands, RefusalsComeInsteadOfTheTasksReplies) {
  const struct {
    const wchar_t* command;
    const char* reply;
  } cases[] = {
      {L"RenderTask", "ERROR: RenderTask: Expected 1 parameter, got 0"},
      {L"RenderTask,1,2", "ERROR: RenderTask: Expected 1 parameter, got 2"},
      {L"RenderTask,12a", "ERROR: RenderTask: Parameter 1 , \"12a\", is not a valid frame number."},
      {L"RenderTask, 12", "ERROR: RenderTask: Parameter 1 , \" 12\", is not a valid frame number."},
      {L"RenderTask,2147483648", "ERROR: RenderTask: Parameter 1 , \"2147483648\", is not a valid frame number."},
      {L"StartJob,a.json", "ERROR: StartJob: Expected 2 parameters, got 1"},
      {L"StartJob,a.json,Cam,x", "ERROR: StartJob: Expected 2 parameters, got 3"},
      {L"renderTask,1", "ERROR: Unexpected command \"renderTask\" received."},
  };
  for (const auto& c : cases) EXPECT_THAT(dispatch(c.command), ElementsAre(c.reply)) << to_string(c.command);
  EXPECT_EQ(state.currentFrame, 0);
  EXPECT_TRUE(pauses.empty());
}

// The frame is stored before the job check, so a script sees the task's frame.
TEST_F(JobCommands, ATaskOutsideAJobIsRefusedAfterItsFrameWasStored) {
  EXPECT_THAT(dispatch(L"RenderTask,+12"), ElementsAre("ERROR: RenderTask: Called without being in a job."));
  EXPECT_EQ(state.currentFrame, 12);
}

TEST_F(JobCommands, AFailedStartIsStillAnsweredWithTheSuccessReply) {
  EXPECT_THAT(dispatch(L"StartJob,C:/s/a.max,"),
              ElementsAre("ERROR: Invalid max file: \"C:/s/a.max\"", "SUCCESS Scene loaded successfully"));
  EXPECT_EQ(state.sceneFileName, L"a.max");
  EXPECT_EQ(state.sceneFilePath, L"C:\\s");
  EXPECT_FALSE(state.jobRunning);
  const auto lines = log.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_THAT(Replies(lines.end() - 2, lines.end()), ElementsAre("Sending error", "Sending success"));
  // A path that ends in a separator names the folder "." of its parent.
  dispatch(L"StartJob,C:/s/,Cam");
  EXPECT_EQ(state.sceneFileName, L".");
  EXPECT_EQ(state.sceneFilePath, L"C:\\s");
}

TEST_F(JobCommands, EndJobWithoutAJobIsAnErrorFollowedBySuccess) {
  EXPECT_THAT(dispatch(L"EndJob,whatever"),
              ElementsAre("ERROR: EndJob called when consistency check flag jobRunning was not set", "SUCCESS"));
  EXPECT_EQ(log.lines().back(), "Sending error");
}

// Faults in host calls that no inner trap covers reach the job command's own trap: the
// error reply carries the trap's text and the crash report, and the session goes on.
TEST_F(JobCommands, AMachineFaultInAJobStepIsReportedWithItsCrashReport) {
  nlohmann::json faulty = testing::small_job_scene();
  faulty["faults"] = {{{"when", "viewport"}, {"kind", "write"}}};
  Replies replies = dispatch(L"StartJob," + scene(faulty) + L",");
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_THAT(replies[0], StartsWith("ERROR: Trapped SEH Exception in StartJob(): Access Violation\nProcess:  "));
  EXPECT_EQ(replies[0].substr(replies[0].find('\n') + 1), state.lastCrashReport);
  EXPECT_EQ(replies[1], "SUCCESS Scene loaded successfully");
  EXPECT_FALSE(state.jobRunning);

  faulty["faults"] = {{{"when", "flush"}, {"kind", "divide_by_zero"}}};
  EXPECT_THAT(dispatch(L"StartJob," + scene(faulty, "flush.json") + L",Cam"),
              ElementsAre("SUCCESS Scene loaded successfully"));
  replies = dispatch(L"EndJob");
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_THAT(replies[0], StartsWith("ERROR: Trapped SEH Exception in EndJob(): Integer Divide By Zero\nProcess:  "));
  EXPECT_EQ(replies[1], "SUCCESS");
  // The job did not end: the frame commands keep working, and EndJob may be tried again.
  EXPECT_TRUE(state.jobRunning);
}

// A task whose frame fails: STARTED, the error, half a second, then the final reply.
TEST_F(JobCommands, AFailedTaskPausesAfterItsErrorReply) {
  ASSERT_THAT(dispatch(L"StartJob," + scene(testing::small_job_scene()) + L",Cam"),
              ElementsAre("SUCCESS Scene loaded successfully"));
  EXPECT_THAT(
      dispatch(L"RenderTask,13421773"),
      ElementsAre("STARTED", "FUNCTION: STDOUT: MaxParavelle: Render frame 13421773",
                  "ERROR: Frame 13421773 at 160 ticks per frame lies outside the scene's time range.",
                  "ERROR: Failed to save file."));
  EXPECT_THAT(pauses, ElementsAre(500u));
  EXPECT_EQ(state.currentFrame, 13421773);
  EXPECT_THAT(dispatch(L"EndJob"), ElementsAre("SUCCESS"));
  EXPECT_FALSE(state.jobRunning);
}

// The whole path, in-process: a worker sends the commands, a real session dispatches.
TEST(JobSession, AJobRunsThroughADaemonSession) {
  testing::LogCapture log;
  testing::TempFolder folder;
  host::standalone::standalone_interface().reset();
  const std::string scene = testing::write_scene(folder.path(), "shot.json", testing::small_job_scene());
  JobState state;
  win32::simple_socket connection;
  worker::FarmWorker farm;
  auto session =
      std::async(std::launch::async, [&] { return RunParavelleDaemon(state, connection, farm.port(), L"t"); });
  farm.open_session(10000, "t");

  EXPECT_EQ(farm.job_command("StartJob," + scene + ",Cam", 10000).replies(),
            Replies{"SUCCESS Scene loaded successfully"});
  EXPECT_EQ(farm.job_command("StartJob," + scene + ",Cam", 10000).replies(),
            (Replies{"ERROR: StartJob called when job was already running.", "SUCCESS Scene loaded successfully"}));
  EXPECT_EQ(farm.job_command("EndJob", 10000).replies(), Replies{"SUCCESS"});
  EXPECT_EQ(farm.job_command("EndJob", 10000).replies(),
            (Replies{"ERROR: EndJob called when consistency check flag jobRunning was not set", "SUCCESS"}));
  farm.close();
  EXPECT_TRUE(session.get());

  const std::string text = log.text();
  EXPECT_THAT(text, HasSubstr("Command: StartJob," + scene + ",Cam\nStartJob\n" + scene + "\nCam\n\nStartJob begin\n"));
  EXPECT_THAT(text, ::testing::ContainsRegex("Got the active viewport: [0-9A-F]{16}\nSending success\n"));
  EXPECT_THAT(text, HasSubstr("StartJob begin\nSending error\nSending success\n"));
  EXPECT_THAT(text, HasSubstr("Command: EndJob\nEndJob\n\nSending error\n"));
  host::standalone::standalone_interface().reset();
}

}  // namespace
}  // namespace paravelle::daemon
