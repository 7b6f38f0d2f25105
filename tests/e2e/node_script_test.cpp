// The node running a start-up script: the real binary, the real loaded plug-in, whose
// TaskmereUtil the script reaches by name.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "support/log_capture.h"
#include "support/node_binary.h"
#include "worker/farm_worker.h"

namespace paravelle {
namespace {

using ::testing::HasSubstr;

constexpr int wait_ms = 10000;

std::string write_script(const testing::TempFolder& folder, const std::string& text) {
  const std::string path = folder.path() + "/startup.ms";
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

TEST(NodeScript, AStartUpScriptRunsTheDaemonThroughTheInterface) {
  testing::TempFolder tmp;
  worker::FarmWorker farm;
  const std::string script = write_script(tmp, "print TaskmereUtil.CurrentTask\n"
                                               "ended = TaskmereUtil.RunParavelleDaemon " +
                                                   std::to_string(farm.port()) +
                                                   " \"from-scr\u00efpt\"\n"
                                                   "print ended\n");
  worker::NodeProcess node({testing::node_binary_path(), "--script", script}, {{"TMP", tmp.path()}});
  EXPECT_THAT(farm.open_session(wait_ms, "from-scr\xC3\xAFpt"), ::testing::StartsWith("Paravelle "));
  EXPECT_EQ(farm.command("Bogus", wait_ms).final_reply(), "ERROR: Unexpected command \"Bogus\" received.");
  farm.close();
  EXPECT_EQ(node.wait(wait_ms), 0) << node.stderr_text();
  EXPECT_EQ(node.stdout_text(), "-1\ntrue\n");
}

TEST(NodeScript, AScriptErrorIsPrintedAndExitsWithOne) {
  testing::TempFolder tmp;
  const std::string script = write_script(tmp, "TaskmereUtil.FailRender \"no scene here\"\n");
  worker::NodeProcess node({testing::node_binary_path(), "--script", script}, {{"TMP", tmp.path()}});
  EXPECT_EQ(node.wait(wait_ms), 1);
  EXPECT_THAT(node.stdout_text(), HasSubstr("-- Runtime error: no scene here"));
  EXPECT_THAT(node.stderr_text(), HasSubstr("paravelle-node: the script " + script + " raised an error"));

  worker::NodeProcess missing({testing::node_binary_path(), "--script", tmp.path() + "/absent.ms"},
                              {{"TMP", tmp.path()}});
  EXPECT_EQ(missing.wait(wait_ms), 1);
  EXPECT_THAT(missing.stdout_text(), HasSubstr("Cannot open script file"));
}

TEST(NodeScript, AScriptExcludesPortAndToken) {
  worker::NodeProcess help({testing::node_binary_path(), "--help"});
  EXPECT_EQ(help.wait(wait_ms), 0);
  EXPECT_THAT(help.stdout_text(), HasSubstr("--script"));
  EXPECT_THAT(help.stdout_text(), HasSubstr("TaskmereUtil.RunParavelleDaemon"));

  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"--script", "a.ms", "--port", "5000"},
                                                    {"--script", "a.ms", "--token", "t"},
                                                    {"--script"},
                                                    {}}) {
    std::vector<std::string> argv{testing::node_binary_path()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    worker::NodeProcess bad(argv);
    EXPECT_EQ(bad.wait(wait_ms), 2) << ::testing::PrintToString(arguments);
    EXPECT_THAT(bad.stderr_text(), HasSubstr("paravelle-node: "));
  }
}

}  // namespace
}  // namespace paravelle
