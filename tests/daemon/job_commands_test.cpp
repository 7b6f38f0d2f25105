// StartJob, RenderTask and EndJob as the farm sees them: the replies in order, the log
// lines around them, and the node serving on after every failure.

#include <gmock/gmock.h>

#include <unistd.h>

#include <fstream>
#include <future>

#include "daemon/session.h"
#include "dispatcher_fixture.h"
#include "host/platform.h"
#include "host/standalone/bitmaps.h"
#include "host/standalone/standalone_interface.h"
#include "support/job_scenes.h"
#include "support/sanitizers.h"
#include "transport/text.h"
#include "worker/farm_worker.h"

namespace paravelle::daemon {

using job::JobState;

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
  PARAVELLE_SKIP_UNLESS_MACHINE_FAULTS_TRAPPED();
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
  Replies replies = dispatch(L"RenderTask,13421773");
  std::erase_if(replies, [](const std::string& reply) { return reply.starts_with("FUNCTION: "); });
  EXPECT_THAT(replies, ElementsAre("STARTED",
                                   "ERROR: Frame 13421773 at 160 ticks per frame lies outside the scene's time range.",
                                   "ERROR: Failed to save file."));
  EXPECT_THAT(pauses, ElementsAre(500u));
  EXPECT_EQ(state.currentFrame, 13421773);
  EXPECT_THAT(dispatch(L"EndJob"), ElementsAre("SUCCESS"));
  EXPECT_FALSE(state.jobRunning);
}

// True when `expected` appear in `lines` in this order, other lines between them allowed.
::testing::AssertionResult in_order(const Replies& lines, const Replies& expected) {
  auto at = lines.begin();
  for (const std::string& line : expected) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end()) return ::testing::AssertionFailure() << "missing or out of order: " << line;
    ++at;
  }
  return ::testing::AssertionSuccess();
}

// The whole path in-process: a worker sends, a real session dispatches, the host renders;
// the pauses after error replies are recorded instead of slept.
class JobSession : public ::testing::Test {
 protected:
  void SetUp() override {
    host::standalone::standalone_interface().reset();
    host::set_sleep_function([this](std::uint32_t ms) { pauses.push_back(ms); });
    session =
        std::async(std::launch::async, [this] { return RunParavelleDaemon(state, connection, farm.port(), L"t"); });
    farm.open_session(10000, "t");
  }
  void TearDown() override {
    farm.close();
    EXPECT_TRUE(session.get());
    host::set_sleep_function({});
    host::standalone::standalone_interface().reset();
  }
  worker::Conversation job(const std::string& command) { return farm.job_command(command, 10000); }
  std::string scene(const nlohmann::json& content) { return testing::write_scene(folder.path(), "shot.json", content); }

  testing::LogCapture log;
  testing::TempFolder folder;
  std::vector<std::uint32_t> pauses;
  JobState state;
  win32::simple_socket connection;
  worker::FarmWorker farm;
  std::future<bool> session;
};

TEST_F(JobSession, AJobOpensTheRendererOnceRendersItsFramesAndEnds) {
  const std::string shot = scene(testing::small_job_scene());
  EXPECT_EQ(job("StartJob," + shot + ",Cam").replies(), Replies{"SUCCESS Scene loaded successfully"});
  EXPECT_EQ(job("StartJob," + shot + ",Cam").replies(),
            (Replies{"ERROR: StartJob called when job was already running.", "SUCCESS Scene loaded successfully"}));
  const worker::Conversation first = job("RenderTask,1");
  EXPECT_EQ(first.replies(), (Replies{"STARTED", "SUCCESS"}));
  EXPECT_TRUE(in_order(first.notifications("STDOUT"),
                       {"MaxParavelle: Setting up render parameters", "MaxParavelle: Rendering camera node Cam",
                        "MaxParavelle: Checking multipass info for frame 1", "MaxParavelle: Opening renderer",
                        "MaxParavelle: Multipass disabled", "MaxParavelle: Rendering 1 passes",
                        "MaxParavelle: Checking default actions", "MaxParavelle:   TYPE_MISSING_XREF_FILES = FAIL",
                        "MaxParavelle: Calling renderer", "MaxParavelle: CallCurRendererRenderFrame returned code 1"}));
  // The renderer stays open for the job's next frame.
  const Replies second = job("RenderTask,2").notifications("STDOUT");
  EXPECT_EQ(std::count(second.begin(), second.end(), "MaxParavelle: Opening renderer"), 0);
  EXPECT_EQ(job("EndJob").replies(), Replies{"SUCCESS"});
  EXPECT_FALSE(host::standalone::standalone_interface().renderer_open());
  EXPECT_EQ(job("EndJob").replies(),
            (Replies{"ERROR: EndJob called when consistency check flag jobRunning was not set", "SUCCESS"}));
  EXPECT_TRUE(pauses.empty());

  const Replies lines = log.lines();
  EXPECT_TRUE(
      in_order(lines, {"Command: StartJob," + shot + ",Cam", "StartJob", shot, "Cam", "", "StartJob begin",
                       "Successfully loaded the max file", "Sending success", "StartJob begin", "Sending error",
                       "Sending success", "Command: RenderTask,1", "Setting up render parameters", "Calling renderer",
                       "Command: RenderTask,2", "Command: EndJob", "Command: EndJob", "Sending error"}));
}

std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// A frame that crashes the renderer costs the farm that task only: a thousand of them in
// a row, then a good frame; nothing of the crashed frames stays behind.
TEST_F(JobSession, TheNodeKeepsServingAfterAThousandCrashedFrames) {
  PARAVELLE_SKIP_UNLESS_MACHINE_FAULTS_TRAPPED();
  nlohmann::json crashing = testing::small_job_scene();
  crashing["faults"] = {{{"when", "render"}, {"frame", 7}, {"kind", "write"}}};
  ASSERT_EQ(job("StartJob," + scene(crashing) + ",Cam").replies(), Replies{"SUCCESS Scene loaded successfully"});
  const auto crash = [&] {
    const Replies replies = job("RenderTask,7").replies();
    return replies.size() == 3 && replies[0] == "STARTED" &&
           replies[1].starts_with("ERROR: Trapped SEH Exception in CurRendererRenderFrame(): Access Violation\n"
                                  "Process:  ") &&
           replies[2] == "ERROR: Failed to save file.";
  };
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(crash());  // the allocator settles
  const std::int64_t bitmaps = host::standalone::live_bitmap_count();
  const std::size_t memory = resident_bytes();
  int crashed = 0;
  for (int i = 0; i < 1000; ++i) crashed += crash() ? 1 : 0;
  EXPECT_EQ(crashed, 1000);
  EXPECT_EQ(host::standalone::live_bitmap_count(), bitmaps);
  if (testing::active_sanitizer == nullptr) {  // a sanitizer's memory, its quarantine among it, is not ours
    EXPECT_LT(resident_bytes(), memory + 4 * 1024 * 1024) << "grew from " << memory;
  }
  EXPECT_EQ(job("RenderTask,1").replies(), (Replies{"STARTED", "SUCCESS"}));
  EXPECT_EQ(pauses, std::vector<std::uint32_t>(1050, 500));
}

}  // namespace
}  // namespace paravelle::daemon
