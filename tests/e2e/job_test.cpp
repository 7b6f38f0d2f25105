// A job as a farm worker drives it against the real node: the reply sequences of StartJob,
// RenderTask and EndJob, failures driven by scene files, the log lines in their order.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/job_scenes.h"
#include "support/log_capture.h"
#include "support/node_binary.h"
#include "worker/farm_worker.h"

namespace paravelle {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;
using Replies = std::vector<std::string>;

constexpr int wait_ms = 20000;

std::vector<std::string> log_lines(const std::string& folder) {
  std::ifstream file(folder + "/paravelle.log");
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// True when `expected` appear in `lines` in this order (other lines may come between).
::testing::AssertionResult in_order(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  auto at = lines.begin();
  for (const std::string& line : expected) {
    at = std::find(at, lines.end(), line);
    if (at == lines.end()) return ::testing::AssertionFailure() << "missing, or out of order: \"" << line << "\"";
    ++at;
  }
  return ::testing::AssertionSuccess();
}

class NodeJob : public ::testing::Test {
 protected:
  void SetUp() override {
    node.emplace(testing::node_binary_path(), farm.port(), "job", std::vector<std::string>{},
                 std::vector<std::pair<std::string, std::string>>{{"TMP", tmp.path()}});
    farm.open_session(wait_ms, "job");
  }
  Replies job(const std::string& command) { return farm.job_command(command, wait_ms).replies(); }
  std::string scene(const nlohmann::json& content, const std::string& name) {
    return testing::write_scene(tmp.path(), name, content);
  }
  int finish() {
    farm.close();
    return node->wait(wait_ms);
  }

  testing::TempFolder tmp;
  worker::FarmWorker farm;
  std::optional<worker::NodeProcess> node;
};

TEST_F(NodeJob, FailedStartsAndTasksLeaveTheNodeServing) {
  nlohmann::json crashing = testing::small_job_scene();
  crashing["faults"] = {{{"when", "load"}, {"kind", "write"}}};
  const std::string crash_scene = scene(crashing, "crash.json");
  const std::string good_scene = scene(testing::small_job_scene(), "good.json");

  EXPECT_EQ(
      job("StartJob," + tmp.path() + "/none.json,Cam"),
      (Replies{"ERROR: Invalid max file: \"" + tmp.path() + "/none.json\"", "SUCCESS Scene loaded successfully"}));
  const Replies crashed = job("StartJob," + crash_scene + ",Cam");
  ASSERT_EQ(crashed.size(), 2u);
  EXPECT_THAT(crashed[0], StartsWith("ERROR: Trapped SEH Exception in LoadFromFile(): Access Violation\nProcess:  " +
                                     testing::node_binary_path() + "\n"));
  EXPECT_THAT(crashed[0], ::testing::HasSubstr("\nException Code:  C0000005\nWrite Address:  00000010\n"));
  EXPECT_EQ(crashed[1], "SUCCESS Scene loaded successfully");
  EXPECT_EQ(job("RenderTask,1"), Replies{"ERROR: RenderTask: Called without being in a job."});

  EXPECT_EQ(job("StartJob," + good_scene + ",Cam"), Replies{"SUCCESS Scene loaded successfully"});
  EXPECT_EQ(job("StartJob," + good_scene + ",Cam"),
            (Replies{"ERROR: StartJob called when job was already running.", "SUCCESS Scene loaded successfully"}));
  EXPECT_EQ(job("RenderTask,-13421773"),
            (Replies{"STARTED", "ERROR: Frame -13421773 at 160 ticks per frame lies outside the scene's time range.",
                     "ERROR: Failed to save file."}));
  EXPECT_EQ(job("EndJob"), Replies{"SUCCESS"});
  EXPECT_EQ(job("EndJob"),
            (Replies{"ERROR: EndJob called when consistency check flag jobRunning was not set", "SUCCESS"}));
  EXPECT_EQ(finish(), 0) << node->stderr_text();

  const std::vector<std::string> lines = log_lines(tmp.path());
  EXPECT_TRUE(in_order(
      lines, {"Command: StartJob," + crash_scene + ",Cam", "StartJob begin", "Trying to load max file...",
              "Sending error", "Sending success", "Command: StartJob," + good_scene + ",Cam", "StartJob begin",
              "Successfully loaded the max file", "setting up default actions again, just to ensure they're set",
              "Sending success", "StartJob begin", "Sending error", "Sending success", "Command: EndJob",
              "Command: EndJob", "Sending error", "Returning TRUE"}));
}

}  // namespace
}  // namespace paravelle
