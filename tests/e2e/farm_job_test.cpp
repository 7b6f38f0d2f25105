// Whole jobs on real nodes through the reference farm's runner.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
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
  void frame_started(int node, std::int32_t frame, int try_number) override {
    std::lock_guard lock(mutex_);
    current_[node] = frame == kill_frame && try_number == 1;
  }
  // Kills the node at its first message of the chosen frame's first try: in the middle of the task.
  void node_message(int node, const std::string&) override {
    std::lock_guard lock(mutex_);
    if (!current_[node] || pids_[node] <= 0) return;
    current_[node] = false;
    ::kill(pids_[node], SIGKILL);
    ++kills;
  }
  void frame_finished(int, const worker::FrameRecord&, bool) override {}
  void note(const std::string& text, bool problem) override {
    std::lock_guard lock(mutex_);
    if (problem) lines.push_back(text);
    // "node 2: started in 0.91 s (pid 4711, TMP ...)"
    if (const auto at = text.find("(pid ");
        at != std::string::npos && text.find(": started in ") != std::string::npos) {
      pids_[std::stoi(text.substr(5))] = std::stoi(text.substr(at + 5));
    }
  }
  std::vector<std::string> lines;
  std::int32_t kill_frame = -1000;
  int kills = 0;

 private:
  std::mutex mutex_;
  std::map<int, pid_t> pids_;
  std::map<int, bool> current_;
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
    job.settings_after_start = {"HideFrameBuffer", "OverrideSaveFile,1",
                                "OutputImageFilename," + folder.path() + "/out/frame_.png"};
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

nlohmann::json with_fault(nlohmann::json scene, const char* kind, int frame) {
  scene["faults"] = nlohmann::json::array({{{"when", "render"}, {"kind", kind}, {"frame", frame}}});
  return scene;
}

TEST(FarmJob, AJobStartThatHangsIsEndedAndANodeThatNeverStartsIsGivenUp) {
  nlohmann::json scene = testing::small_job_scene();
  scene["faults"] = nlohmann::json::array({{{"when", "load"}, {"kind", "hang"}}});
  Job job(scene, 1, 1);
  job.options.launch.stall_ms = 1000;
  const worker::JobReport report = job.run({1, 2});
  EXPECT_THAT(statuses(report), ElementsAre("1 not rendered", "2 not rendered"));
  EXPECT_THAT(report.frames[0].problem, ::testing::StartsWith("no node was left to render it"));
  EXPECT_EQ(report.node_starts, 2);
  ASSERT_EQ(job.problems.lines.size(), 3u);
  EXPECT_THAT(job.problems.lines[0], HasSubstr("the node sent nothing for 1 s during StartJob (stalled); killing it"));
  EXPECT_THAT(job.problems.lines[2], HasSubstr("gave up after 2 failed starts"));
}

TEST(FarmJob, SixFramesOnTwoNodesWriteEveryFrame) {
  Job job(testing::small_job_scene(), 2, 0);
  const worker::JobReport report = job.run({1, 2, 3, 4, 5, 6});
  EXPECT_THAT(statuses(report), ElementsAre("1 done", "2 done", "3 done", "4 done", "5 done", "6 done"))
      << (job.problems.lines.empty() ? "" : job.problems.lines.front());
  for (const auto& record : report.frames) {
    ASSERT_FALSE(record.outputs.empty()) << record.frame;
    EXPECT_GT(std::filesystem::file_size(record.outputs.front().path), 0u);
  }
  EXPECT_EQ(report.node_starts, 2);
}

TEST(FarmJob, AFaultInFrameThreeLeavesACrashFileAndTheOtherFramesRender) {
  Job job(with_fault(testing::small_job_scene(), "divide_by_zero", 3), 1, 0);
  const worker::JobReport report = job.run({1, 2, 3, 4});
  EXPECT_THAT(statuses(report), ElementsAre("1 done", "2 done", "3 failed", "4 done"));
  const auto crash = std::filesystem::path(job.options.launch.report_dir) / "frame-3-crash.txt";
  EXPECT_THAT(report.frames[2].crash_reports, ElementsAre(crash.string()));
  std::ifstream file(crash);
  const std::string text((std::istreambuf_iterator<char>(file)), {});
  EXPECT_THAT(text, HasSubstr("ERROR: Trapped SEH Exception in CurRendererRenderFrame(): Integer Divide By Zero\n"));
  EXPECT_TRUE(std::filesystem::exists(crash.parent_path() / "frame-3-paravelle.log"));
  EXPECT_EQ(report.node_starts, 1) << "a trapped fault must not cost the node";
}

TEST(FarmJob, AHungFrameIsEndedByTheStallTimeOutRetriedAndReported) {
  Job job(with_fault(testing::small_job_scene(), "hang", 2), 1, 1);
  job.options.launch.stall_ms = 1000;
  const worker::JobReport report = job.run({1, 2, 3});
  EXPECT_THAT(statuses(report), ElementsAre("1 done", "2 failed", "3 done"));
  EXPECT_EQ(report.frames[1].tries, 2);
  EXPECT_THAT(report.frames[1].problem, HasSubstr("the node sent nothing for 1 s during the frame (stalled)"));
  EXPECT_EQ(report.node_starts, 3);
}

TEST(FarmJob, ANodeKilledInTheMiddleOfAFrameIsReplaced) {
  Job job(testing::small_job_scene(), 1, 1);
  job.problems.kill_frame = 2;
  const worker::JobReport report = job.run({1, 2, 3});
  EXPECT_EQ(job.problems.kills, 1);
  EXPECT_THAT(statuses(report), ElementsAre("1 done", "2 done", "3 done"));
  EXPECT_EQ(report.frames[1].tries, 2);
  EXPECT_EQ(report.node_starts, 2);
}

}  // namespace
}  // namespace paravelle
