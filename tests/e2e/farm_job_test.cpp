// Whole jobs on real nodes through the reference farm's runner.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>

#include "support/job_scenes.h"
#include "support/log_capture.h"
#include "support/node_binary.h"
#include "worker/job_runner.h"

namespace paravelle {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class Problems : public worker::RunObserver {
 public:
  void node_state(int, const std::string&) override {}
  void frame_started(int, std::int32_t, int) override {}
  void node_message(int, const std::string&) override {}
  void frame_finished(int, const worker::FrameRecord&, bool) override {}
  void note(const std::string& text, bool problem) override {
    std::lock_guard lock(mutex_);
    if (problem) lines.push_back(text);
  }
  std::vector<std::string> lines;

 private:
  std::mutex mutex_;
};

struct Job {
  testing::TempFolder folder;
  worker::JobFile job;
  worker::RunnerOptions options;
  Problems problems;

  Job(const nlohmann::json& scene, int nodes, int retries) {
    job.source = folder.path() + "/job.json";
    job.scene = testing::write_scene(folder.path(), "scene.json", scene);
    job.camera = "Cam";
    job.settings_before_start = {"TempFolder," + folder.path() + "/temp"};
    job.settings_after_start = {"HideFrameBuffer"};
    options.launch.node_binary = testing::node_binary_path();
    options.launch.work_dir = folder.path() + "/work";
    options.launch.report_dir = folder.path() + "/report";
    options.launch.token = "e2e";
    options.launch.timeout_ms = 30000;
    options.launch.stall_ms = 30000;
    options.nodes = nodes;
    options.retries = retries;
  }
  worker::JobReport run(const std::vector<std::int32_t>& frames) {
    return worker::run_job_frames(job, frames, options, problems);
  }
};

std::vector<std::string> statuses(const worker::JobReport& report) {
  std::vector<std::string> result;
  for (const auto& r : report.frames) result.push_back(std::to_string(r.frame) + " " + worker::status_name(r.status));
  return result;
}

TEST(FarmJob, AJobStartThatHangsIsEndedAndANodeThatNeverStartsIsGivenUp) {
  nlohmann::json scene = testing::small_job_scene();
  scene["faults"] = nlohmann::json::array({{{"when", "load"}, {"kind", "hang"}}});
  Job job(scene, 1, 1);
  job.options.launch.stall_ms = 1000;
  const worker::JobReport report = job.run({1, 2});
  EXPECT_THAT(statuses(report), ElementsAre("1 not rendered", "2 not rendered"));
  EXPECT_EQ(report.frames[0].problem, "no node was left to render it");
  EXPECT_EQ(report.node_starts, 2);
  ASSERT_EQ(job.problems.lines.size(), 3u);
  EXPECT_THAT(job.problems.lines[0], HasSubstr("the node sent nothing for 1 s during StartJob (stalled); killing it"));
  EXPECT_THAT(job.problems.lines[2], HasSubstr("gave up after 2 failed starts"));
}

}  // namespace
}  // namespace paravelle
