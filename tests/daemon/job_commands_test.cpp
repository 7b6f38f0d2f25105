// StartJob, RenderTask and EndJob as the farm sees them: the replies in order, the pauses
// after errors, and the node serving on after every failure.

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
#include "worker/farm_worker.h"

namespace paravelle::daemon {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;

// The host at its start-up state, and the pauses after error replies recorded instead of slept.
class HostReset {
 public:
  HostReset() {
    host::standalone::standalone_interface().reset();
    host::set_sleep_function([this](std::uint32_t ms) { pauses.push_back(ms); });
  }
  ~HostReset() {
    host::set_sleep_function({});
    host::standalone::standalone_interface().reset();
  }
  std::vector<std::uint32_t> pauses;
};

class JobCommands : public DispatcherTest {
 protected:
  // The scene file as the farm sends it: forward slashes.
  std::wstring scene(const nlohmann::json& content, const std::string& name = "scene.json") {
    return testing::wide(testing::write_scene(folder.path(), name, content));
  }
  HostReset host;
  testing::TempFolder folder;
};

TEST_F(JobCommands, AFailedStartIsStillAnsweredWithTheSuccessReply) {
  EXPECT_THAT(dispatch(L"StartJob,C:/s/a.max,"),
              ElementsAre("ERROR: Invalid max file: \"C:/s/a.max\"", "SUCCESS Scene loaded successfully"));
  EXPECT_EQ(state.sceneFileName, L"a.max");
  EXPECT_EQ(state.sceneFilePath, L"C:\\s");
  EXPECT_FALSE(state.jobRunning);
  const auto lines = log.lines();
  EXPECT_THAT(Replies(lines.end() - 2, lines.end()), ElementsAre("Sending error", "Sending success"));
  // A path that ends in a separator names the folder "." of its parent.
  dispatch(L"StartJob,C:/s/,Cam");
  EXPECT_EQ(state.sceneFileName, L".");
  EXPECT_TRUE(host.pauses.empty());
}

// Faults in host calls that no inner trap covers reach the job command's own trap: the
// error reply carries the trap's text and the crash report, and the session goes on.
TEST_F(JobCommands, AMachineFaultInAJobStepIsReportedWithItsCrashReport) {
  PARAVELLE_SKIP_UNDER_SANITIZER("machine faults need the trap's own signal handlers");
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
  EXPECT_TRUE(state.jobRunning) << "the job did not end: EndJob may be tried again";
}

// A task whose frame fails: STARTED, the error, half a second, then the final reply.
TEST_F(JobCommands, AFailedTaskPausesAfterItsErrorReply) {
  ASSERT_THAT(dispatch(L"StartJob," + scene(testing::small_job_scene()) + L",Cam"),
              ElementsAre("SUCCESS Scene loaded successfully"));
  EXPECT_THAT(dispatch(L"RenderTask,13421773"),
              ElementsAre("STARTED", "ERROR: Frame 13421773 at 160 ticks per frame lies outside the scene's time range.",
                          "ERROR: Failed to save file."));
  EXPECT_THAT(host.pauses, ElementsAre(500u));
  EXPECT_THAT(dispatch(L"RenderTask,1"), ElementsAre("STARTED", "SUCCESS"));
  EXPECT_THAT(dispatch(L"EndJob"), ElementsAre("SUCCESS"));
  EXPECT_FALSE(state.jobRunning);
  EXPECT_THAT(dispatch(L"EndJob"),
              ElementsAre("ERROR: EndJob called when consistency check flag jobRunning was not set", "SUCCESS"));
  EXPECT_EQ(log.lines().back(), "Sending error");
  EXPECT_THAT(host.pauses, ElementsAre(500u)) << "EndJob does not pause";
}

std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// A frame that crashes the renderer costs the farm that task only: a thousand of them in
// a row through a real session, then a good frame; nothing of the crashed frames stays behind.
TEST(JobSession, TheNodeKeepsServingAfterAThousandCrashedFrames) {
  PARAVELLE_SKIP_UNDER_SANITIZER("machine faults need the trap's own signal handlers");
  HostReset host;
  testing::LogCapture log;
  testing::TempFolder folder;
  JobState state;
  win32::simple_socket connection;
  worker::FarmWorker farm;
  auto session =
      std::async(std::launch::async, [&] { return RunParavelleDaemon(state, connection, farm.port(), L"t"); });
  farm.open_session(10000, "t");
  const auto job = [&](const std::string& command) { return farm.job_command(command, 10000).replies(); };
  nlohmann::json crashing = testing::small_job_scene();
  crashing["faults"] = {{{"when", "render"}, {"frame", 7}, {"kind", "write"}}};
  ASSERT_EQ(job("StartJob," + testing::write_scene(folder.path(), "shot.json", crashing) + ",Cam"),
            Replies{"SUCCESS Scene loaded successfully"});
  const auto crash = [&] {
    const Replies replies = job("RenderTask,7");
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
  EXPECT_LT(resident_bytes(), memory + 4 * 1024 * 1024) << "grew from " << memory;
  EXPECT_EQ(job("RenderTask,1"), (Replies{"STARTED", "SUCCESS"}));
  EXPECT_EQ(host.pauses, std::vector<std::uint32_t>(1050, 500));
  farm.close();
  EXPECT_TRUE(session.get());
}

}  // namespace
}  // namespace paravelle::daemon
