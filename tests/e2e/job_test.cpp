// A job as a farm worker drives it against the real node: StartJob, RenderTask and EndJob
// with their replies, failures driven by scene files, progress, and the log in order.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "support/job_scenes.h"
#include "support/log_capture.h"
#include "support/sanitizers.h"
#include "support/node_binary.h"
#include "worker/farm_worker.h"

namespace paravelle {
namespace {

using ::testing::StartsWith;
using Replies = std::vector<std::string>;

constexpr int wait_ms = 20000;

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

TEST(NodeJob, FailuresCostTheirCommandOnlyAndFramesRender) {
  PARAVELLE_SKIP_UNLESS_MACHINE_FAULTS_TRAPPED();
  testing::TempFolder tmp;
  nlohmann::json scene = testing::small_job_scene();
  scene["render"].update({{"width", 160}, {"height", 120}});
  scene["faults"] = {{{"when", "render"}, {"frame", 3}, {"kind", "write"}}};
  const std::string shot = testing::write_scene(tmp.path(), "shot.json", scene);
  scene["faults"] = {{{"when", "load"}, {"kind", "write"}}};
  const std::string crashing = testing::write_scene(tmp.path(), "crash.json", scene);

  worker::FarmWorker farm;
  // What the frames a trapped fault abandons held is lost by design: no leak report at the end.
  worker::NodeProcess node(testing::node_binary_path(), farm.port(), "job", {},
                           {{"TMP", tmp.path()}, {"ASAN_OPTIONS", "detect_leaks=0"}});
  farm.open_session(wait_ms, "job");
  const auto job = [&](const std::string& command) { return farm.job_command(command, wait_ms); };

  EXPECT_EQ(
      job("StartJob," + tmp.path() + "/none.json,Cam").replies(),
      (Replies{"ERROR: Invalid max file: \"" + tmp.path() + "/none.json\"", "SUCCESS Scene loaded successfully"}));
  const Replies crashed = job("StartJob," + crashing + ",Cam").replies();
  ASSERT_EQ(crashed.size(), 2u);
  EXPECT_THAT(crashed[0], StartsWith("ERROR: Trapped SEH Exception in LoadFromFile(): Access Violation\nProcess:  " +
                                     testing::node_binary_path() + "\n"));
  EXPECT_THAT(crashed[0], ::testing::HasSubstr("\nException Code:  C0000005\nWrite Address:  00000010\n"));
  EXPECT_EQ(crashed[1], "SUCCESS Scene loaded successfully");
  EXPECT_EQ(job("RenderTask,1").replies(), Replies{"ERROR: RenderTask: Called without being in a job."});

  EXPECT_EQ(job("StartJob," + shot + ",Cam").replies(), Replies{"SUCCESS Scene loaded successfully"});
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
  EXPECT_EQ(job("RenderTask,2").replies(), (Replies{"STARTED", "SUCCESS"}));
  EXPECT_EQ(job("EndJob").replies(), Replies{"SUCCESS"});
  EXPECT_EQ(job("EndJob").replies(),
            (Replies{"ERROR: EndJob called when consistency check flag jobRunning was not set", "SUCCESS"}));
  farm.close();
  EXPECT_EQ(node.wait(wait_ms), 0) << node.stderr_text();

  std::ifstream file(tmp.path() + "/paravelle.log");
  Replies log;
  for (std::string line; std::getline(file, line);) log.push_back(line);
  EXPECT_TRUE(in_order(log, {"Command: StartJob," + crashing + ",Cam", "Trying to load max file...", "Sending error",
                             "Sending success", "Command: StartJob," + shot + ",Cam",
                             "Successfully loaded the max file", "Sending success", "Command: RenderTask,1",
                             "Opening renderer", "Calling renderer", "CallCurRendererRenderFrame returned code 1",
                             "Command: RenderTask,3", "CallCurRendererRenderFrame returned code 0", "Command: EndJob",
                             "Command: EndJob", "Sending error", "Returning TRUE"}));
}

}  // namespace
}  // namespace paravelle
