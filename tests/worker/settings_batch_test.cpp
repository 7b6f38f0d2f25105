// Settings go out back to back behind one synchronising command; the error replies that come
// before its answer are given to the settings they name.
#include "worker/settings_batch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

#include "raw_client.h"

namespace paravelle::worker {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

struct Case {
  std::string name;
  std::vector<std::string> replies;   // what the node answers once it has read everything
  std::vector<std::string> failures;  // "setting => reply"
  bool session_over;
};

TEST(SettingsBatch, RepliesBeforeTheSyncAnswerBelongToTheSettingsTheyName) {
  const std::vector<std::string> settings = {"TempFolder,/t", "CurrentTask,x", "\"Gamma\"Correction,0,1", "Bogus"};
  const std::string sync = "SUCCESS: paravelle-farm: settings received";
  const std::vector<Case> cases = {
      {"all accepted", {"STARTED", sync}, {}, false},
      {"errors in any order",
       {"ERROR: Unexpected command \"Bogus\" received.",
        "ERROR: GammaCorrection: Parameter 1, \"0\", is not a valid gamma value.",
        "ERROR: CurrentTask: Parameter 1 , \"x\", is not a valid task number.", "STARTED", sync},
       {"Bogus => ERROR: Unexpected command \"Bogus\" received.",
        "\"Gamma\"Correction,0,1 => ERROR: GammaCorrection: Parameter 1, \"0\", is not a valid gamma value.",
        "CurrentTask,x => ERROR: CurrentTask: Parameter 1 , \"x\", is not a valid task number."},
       false},
      {"an error no setting names", {"ERROR: Odd: text", "STARTED", sync}, {"settings => ERROR: Odd: text"}, false},
      {"the node ends its session",
       {"ERROR: Exception caught in 3ds max: unknown escape sequence"},
       {"settings => ERROR: Exception caught in 3ds max: unknown escape sequence"},
       true},
      {"a wrong answer to the sync",
       {"STARTED", "SUCCESS: something else"},
       {"ExecuteStringScript,0,\\\"paravelle-farm: settings received\\\" => SUCCESS: something else"},
       false},
  };
  for (const Case& c : cases) {
    FarmWorker worker;
    auto node = std::async(std::launch::async, [&] {
      testing::RawClient client(worker.port());
      std::vector<std::string> received;
      for (std::size_t i = 0; i <= settings.size(); ++i) received.push_back(client.receive_frame());
      for (const auto& reply : c.replies) client.send_frame(reply);
      return received;
    });
    worker.accept(5000);
    const BatchResult result = send_settings(worker, settings, 5000);
    std::vector<std::string> failures;
    for (const auto& failure : result.failures) failures.push_back(failure.command + " => " + failure.reply);
    EXPECT_THAT(failures, ElementsAreArray(c.failures)) << c.name;
    EXPECT_EQ(result.session_over, c.session_over) << c.name;
    EXPECT_THAT(node.get(), ElementsAre(settings[0], settings[1], settings[2], settings[3], sync_command())) << c.name;
  }
}

TEST(SettingsBatch, NoSettingsSendNothing) {
  FarmWorker worker;
  testing::RawClient client(worker.port());
  worker.accept(5000);
  EXPECT_TRUE(send_settings(worker, {}, 5000).failures.empty());
  EXPECT_TRUE(worker.silent_for(0));
  EXPECT_THROW(client.receive_bytes(1, 0), std::runtime_error) << "something was sent";
}

}  // namespace
}  // namespace paravelle::worker
