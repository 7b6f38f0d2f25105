// The node as a farm worker drives it: the real binary, the real loaded plug-in, loopback.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/log_capture.h"
#include "support/node_binary.h"
#include "worker/farm_worker.h"

namespace paravelle {
namespace {

using ::testing::HasSubstr;

constexpr int wait_ms = 10000;

using testing::read_file;

TEST(NodeBinary, ServesAWorkerUntilItClosesTheConnection) {
  testing::TempFolder tmp;
  worker::FarmWorker farm;
  worker::NodeProcess node(testing::node_binary_path(), farm.port(), "secret", {}, {{"TMP", tmp.path()}});
  EXPECT_THAT(farm.open_session(wait_ms, "secret"), ::testing::StartsWith("Paravelle "));

  EXPECT_EQ(farm.command("RegionRendering,1,2,3", wait_ms).final_reply(),
            "ERROR: RegionRendering: Expected 6 parameters, got 3");
  farm.send_raw("TempFolder,C:/farm/temp");
  EXPECT_TRUE(farm.silent_for(200));
  EXPECT_EQ(farm.command("Bogus", wait_ms).final_reply(), "ERROR: Unexpected command \"Bogus\" received.");
  farm.close();

  EXPECT_EQ(node.wait(wait_ms), 0) << node.stderr_text();
  const std::string log = read_file(tmp.path() + "/paravelle.log");
  EXPECT_THAT(log, HasSubstr("running daemon...\n"));
  EXPECT_THAT(log, HasSubstr("\nGot command: TempFolder,C:/farm/temp\n\nCommand: TempFolder,C:/farm/temp\n"));
  EXPECT_THAT(log, ::testing::EndsWith("Returning TRUE\n"));
  EXPECT_EQ(log.find('\r'), std::string::npos);
}

TEST(NodeBinary, ExitsWithOneWhenTheSessionFails) {
  testing::TempFolder tmp;
  worker::FarmWorker farm;
  worker::NodeProcess node(testing::node_binary_path(), farm.port(), "t", {}, {{"TMP", tmp.path()}});
  farm.accept(wait_ms);
  EXPECT_EQ(farm.receive_raw(wait_ms), "t");
  EXPECT_THAT(farm.handshake(wait_ms, "Hello"), HasSubstr("Incompatible plugin versions detected, exiting."));
  EXPECT_EQ(farm.receive_raw(wait_ms), "ERROR: Exception caught in 3ds max: Incorrect handshake with Taskmere plugin.");
  EXPECT_EQ(node.wait(wait_ms), 1);
}

TEST(NodeBinary, ExitsWithOneWhenNoWorkerListens) {
  testing::TempFolder tmp;
  std::uint16_t port;
  {
    worker::FarmWorker gone;
    port = gone.port();
  }
  worker::NodeProcess node(testing::node_binary_path(), port, "t", {}, {{"TMP", tmp.path()}});
  EXPECT_EQ(node.wait(wait_ms), 1);
  EXPECT_THAT(read_file(tmp.path() + "/paravelle.log"),
              HasSubstr("Exception: connect: Failed to connect to server at port " + std::to_string(port) + "\n"));
}

TEST(NodeBinary, ExplainsItselfAndRefusesBadArguments) {
  worker::NodeProcess help({testing::node_binary_path(), "--help"});
  EXPECT_EQ(help.wait(wait_ms), 0);
  EXPECT_THAT(help.stdout_text(), HasSubstr("--port"));
  EXPECT_THAT(help.stdout_text(), HasSubstr("--token"));

  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"--token", "t"},
                                                    {"--port", "abc", "--token", "t"},
                                                    {"--port", "70000", "--token", "t"},
                                                    {"--port", "5000"}}) {
    std::vector<std::string> argv{testing::node_binary_path()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    worker::NodeProcess bad(argv);
    EXPECT_EQ(bad.wait(wait_ms), 2) << arguments[0];
    EXPECT_THAT(bad.stderr_text(), HasSubstr("paravelle-node: "));
  }
}

}  // namespace
}  // namespace paravelle
