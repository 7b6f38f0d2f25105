// Scene scripts run inside the command that loads or renders, so they can ask the farm
// for job information while the command is still open.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "support/log_capture.h"
#include "support/node_binary.h"
#include "worker/farm_worker.h"

namespace paravelle {
namespace {

constexpr int wait_ms = 10000;

TEST(SceneScript, AsksTheFarmForJobInformationInTheMiddleOfLoading) {
  testing::TempFolder tmp;
  const std::string scene = tmp.path() + "/shot.json";
  std::ofstream(scene) << R"({"format": "paravelle-scene", "version": 1,
    "scripts": {"post_load": "shotName = TaskmereUtil.GetJobInfoEntry \"Name\""}})";

  worker::FarmWorker farm;
  worker::NodeProcess node(testing::node_binary_path(), farm.port(), "t", {}, {{"TMP", tmp.path()}});
  farm.open_session(wait_ms, "t");
  std::vector<std::string> requests;
  const auto conversation =
      farm.command("ExecuteStringScript,0,(loadMaxFile \\\"" + scene + "\\\") as string + \\\" \\\" + shotName",
                   wait_ms, [&](const std::string& request) {
                     requests.push_back(request);
                     return std::string("SUCCESS: Night shot");
                   });
  EXPECT_THAT(conversation.messages,
              ::testing::ElementsAre("STARTED", "FUNCTION: GETJOBINFOENTRY Name", "SUCCESS: true Night shot"));
  EXPECT_THAT(requests, ::testing::ElementsAre("FUNCTION: GETJOBINFOENTRY Name"));
  farm.close();
  EXPECT_EQ(node.wait(wait_ms), 0) << node.stderr_text();
}

}  // namespace
}  // namespace paravelle
