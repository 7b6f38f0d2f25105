// Faults while the real node renders: a renderer that crashes again and again, an output
// folder on a full disk or gone between frames, a worker that stops answering. For each,
// what the worker sees, what the log holds, that the node still serves, and that no file
// already written is damaged.

#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "render/render_fixture.h"
#include "support/log_capture.h"
#include "support/node_binary.h"
#include "support/sanitizers.h"
#include "worker/farm_worker.h"

namespace paravelle {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
namespace fs = std::filesystem;

constexpr int wait_ms = 60000;

using testing::read_file;

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

// Resident memory of a process in KiB, from /proc.
long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  return -1;
}

std::string host_path(std::string native) {
  for (char& c : native) c = c == '/' ? '\\' : c;
  return native;
}

// A node serving one worker, its log in a folder of its own; scenes and outputs go in
// another folder, which a test may put on a small disk.
class RenderingNode : public ::testing::Test {
 protected:
  void start_node(std::vector<std::string> arguments = {}) {
    node.emplace(testing::node_binary_path(), farm.port(), "t", std::move(arguments),
                 std::vector<std::pair<std::string, std::string>>{{"TMP", logs.path()},
                                                                  {"PARAVELLE_DATA_DIR", logs.path() + "/data"}});
    farm.open_session(wait_ms, "t");
  }
  void TearDown() override {
    if (!node) return;
    if (farm.connected()) farm.close();
    EXPECT_EQ(node->wait(wait_ms), 0) << node->stderr_text();
  }

  std::string path(const std::string& name) const { return files.path() + "/" + name; }
  std::string log() const { return read_file(logs.path() + "/paravelle.log"); }

  // width x height, one sample; a sphere lit by ambient light only.
  std::string scene(const std::string& name, int width, int height, const std::string& output,
                    const std::function<void(nlohmann::json&)>& change = {}) const {
    nlohmann::json scene = nlohmann::json::parse(R"({
      "format": "paravelle-scene", "version": 1,
      "render": {"samples_per_axis": 1, "threads": 2, "save_file": true},
      "environment": {"background": [0, 0, 0], "background_alpha": 0, "ambient": [1, 1, 1]},
      "nodes": [
        {"name": "Cam", "type": "camera", "fov": 45, "position": [0, -10, 0], "target": [0, 0, 0]},
        {"name": "Ball", "type": "sphere", "radius": 2, "colour": [0.2, 0.4, 0.6], "position": [0, 0, 0]}],
      "viewports": [{"camera": "Cam"}]
    })");
    scene["render"]["width"] = width;
    scene["render"]["height"] = height;
    scene["render"]["output_file"] = output;
    if (change) change(scene);
    std::ofstream(path(name)) << scene.dump();
    return path(name);
  }

  void start_job(const std::string& scene_file) {
    EXPECT_THAT(farm.job_command("StartJob," + scene_file + ",Cam", wait_ms).messages,
                ElementsAre("SUCCESS Scene loaded successfully"));
  }
  worker::Conversation task(int frame, const worker::RequestHandler& handler = {}) {
    return farm.job_command("RenderTask," + std::to_string(frame), wait_ms, handler);
  }
  void end_job() { EXPECT_EQ(farm.job_command("EndJob", wait_ms).final_reply(), "SUCCESS"); }

  testing::TempFolder logs;
  testing::TempFolder files;
  worker::FarmWorker farm;
  std::optional<worker::NodeProcess> node;
};

TEST_F(RenderingNode, AThousandRendererFaultsInARowLeaveItServingWithFlatMemory) {
  PARAVELLE_SKIP_UNLESS_MACHINE_FAULTS_TRAPPED();
  start_node();
  start_job(scene("faulty.json", 32, 24, path("out/beauty.exr"), [](nlohmann::json& s) {
    s["faults"] = {{{"when", "render"}, {"frame", 7}, {"kind", "divide_by_zero"}}};
  }));
  fs::create_directories(path("out"));
  EXPECT_THAT(task(1).replies(), ElementsAre("STARTED", "SUCCESS"));
  const std::string first_frame = read_file(path("out/beauty0001.exr"));

  // What the worker sees of one fault: the trap's text with the crash report, then the
  // frame's failure.
  const std::vector<std::string> replies = task(7).replies();
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0], "STARTED");
  EXPECT_THAT(replies[1], StartsWith("ERROR: Trapped SEH Exception in CurRendererRenderFrame(): Integer Divide By "
                                     "Zero\nProcess:  " +
                                     testing::node_binary_path() + "\n"));
  EXPECT_THAT(replies[1], HasSubstr("\nException Code:  C0000094\n"));
  EXPECT_EQ(replies[2], "ERROR: Failed to save file.");

  // The rest straight from a script, a hundred at a time: a task pauses after each error
  // reply, a script does not. Each round ends with enough loop turns for the script heap to
  // collect, so that what the faults' scripts leave does not count as growth.
  const std::string hundred_faults =
      "ExecuteStringScript,0,\"render = TaskmereUtil.Debug_RenderFrame; n = 0; "
      "for i = 1 to 100 do if not render 7 do n = n + 1; for i = 1 to 12000 do (); n as string\"";
  long settled_kib = 0;
  for (int round = 1; round <= 10; ++round) {
    EXPECT_EQ(farm.command(hundred_faults, wait_ms).final_reply(), "SUCCESS: 100") << "round " << round;
    if (round == 2) settled_kib = resident_kib(node->pid());
  }
  const long final_kib = resident_kib(node->pid());
  // A leak of a few hundred bytes a fault would show; allocator noise stays far below (a
  // sanitizer's memory, its quarantine among it, is not the node's).
  if (testing::active_sanitizer == nullptr) {
    EXPECT_LT(final_kib - settled_kib, 256)
        << "resident memory grew from " << settled_kib << " KiB to " << final_kib << " KiB over 800 trapped faults";
  }

  EXPECT_THAT(task(2).replies(), ElementsAre("STARTED", "SUCCESS")) << "the renderer still renders";
  end_job();
  EXPECT_EQ(read_file(path("out/beauty0001.exr")), first_frame);
  EXPECT_EQ(render::testing::read_image(path("out/beauty0002.exr")).width, 32);
  EXPECT_FALSE(fs::exists(path("out/beauty0007.exr")));
  // Each fault of the scripts left its crash report in the log (the task's went to the worker).
  EXPECT_EQ(count_of(log(), "\nTrapped SEH Exception in CurRendererRenderFrame(): Integer Divide By Zero\nProcess:  "),
            1000u);
}

// A folder on a disk with `bytes` of room: a small tmpfs where the machine lets us mount
// one, otherwise a limit on the size of any file that the node (started while this lives)
// inherits, so that writing past it fails with EFBIG as a full disk fails with ENOSPC.
class SmallDisk {
 public:
  SmallDisk(const std::string& folder, std::size_t bytes) : folder_(folder) {
    fs::create_directories(folder);
    const std::string options = "size=" + std::to_string(bytes);
    mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    if (!mounted_) {
      const rlimit small{static_cast<rlim_t>(bytes), previous_.rlim_max};
      ::setrlimit(RLIMIT_FSIZE, &small);
      ::signal(SIGXFSZ, SIG_IGN);
    }
  }
  // The limit is for the node alone: the test's own files must not be cut.
  void node_started() {
    if (!mounted_) ::setrlimit(RLIMIT_FSIZE, &previous_);
  }
  ~SmallDisk() {
    node_started();
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

 private:
  std::string folder_;
  bool mounted_ = false;
  rlimit previous_{};
};

std::vector<std::string> names_in(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(RenderingNode, AFrameThatDoesNotFitOnTheDiskFailsAndLeavesTheFramesBeforeItWhole) {
  SmallDisk disk(path("disk"), 64 * 1024);
  start_node();
  disk.node_started();
  // BMP files have a fixed size: 16 x 12 takes some 600 bytes, 400 x 300 some 360 KB.
  const std::string small = scene("small.json", 16, 12, path("disk/beauty.bmp"));
  const std::string large = scene("large.json", 400, 300, path("disk/beauty.bmp"));
  start_job(small);
  EXPECT_THAT(task(1).replies(), ElementsAre("STARTED", "SUCCESS"));
  end_job();
  const std::string first_frame = read_file(path("disk/beauty0001.bmp"));

  start_job(large);
  EXPECT_THAT(task(2).replies(),
              ElementsAre("STARTED", "ERROR: Error in bm->Write(): error code 3", "ERROR: Failed to save file."));
  end_job();
  EXPECT_THAT(log(), HasSubstr("\nWriting to output file: " + host_path(path("disk/beauty0002.bmp")) + "\n"));

  EXPECT_EQ(read_file(path("disk/beauty0001.bmp")), first_frame);
  EXPECT_THAT(names_in(path("disk")), ElementsAre("beauty0001.bmp")) << "nothing of the failed frame is left";

  // The room the failed frame took is free again: the next small frame is written.
  start_job(small);
  EXPECT_THAT(task(3).replies(), ElementsAre("STARTED", "SUCCESS"));
  end_job();
  EXPECT_EQ(render::testing::read_image(path("disk/beauty0003.bmp")).width, 16);
}

// The folder is made again for the next frame; where a file has taken its place, the frame
// fails and the files written before stay as they were.
TEST_F(RenderingNode, AnOutputFolderThatDisappearsBetweenFramesIsMadeAgain) {
  start_node();
  start_job(scene("scene.json", 32, 24, path("gone/beauty.exr"), [this](nlohmann::json& s) {
    s["render_elements"] = {
        {"active", true}, {"elements", {{{"name", "Alpha"}, {"content", "alpha"}, {"file", path("kept/alpha.exr")}}}}};
  }));
  fs::create_directories(path("gone"));
  fs::create_directories(path("kept"));
  EXPECT_THAT(task(1).replies(), ElementsAre("STARTED", "SUCCESS"));
  const std::string first_element = read_file(path("kept/alpha0001.exr"));

  fs::remove_all(path("gone"));
  const worker::Conversation remade = task(2);
  EXPECT_THAT(remade.replies(), ElementsAre("STARTED", "SUCCESS"));
  EXPECT_THAT(remade.notifications("STDOUT"),
              Contains("MaxParavelle: Creating output path: " + host_path(path("gone"))));
  EXPECT_EQ(render::testing::read_image(path("gone/beauty0002.exr")).width, 32);

  fs::remove_all(path("gone"));
  std::ofstream(path("gone")) << "a file where the folder was";
  EXPECT_THAT(task(3).replies(),
              ElementsAre("STARTED", "ERROR: Error in bm->OpenOutput(): error code 2", "ERROR: Failed to save file."));
  end_job();
  EXPECT_THAT(log(), HasSubstr("\nWriting to output file: " + host_path(path("gone/beauty0003.exr")) + "\n"));
  EXPECT_EQ(read_file(path("gone")), "a file where the folder was");
  EXPECT_EQ(read_file(path("kept/alpha0001.exr")), first_element);
  EXPECT_THAT(names_in(path("kept")), ElementsAre("alpha0001.exr", "alpha0002.exr"))
      << "the failed frame wrote no element either";
}

// A worker that says nothing: the node's waits end after --farm-timeout.
TEST_F(RenderingNode, ASilentWorkerFailsTheHandshakeOrTheRequestAndIsWaitedForBetweenCommands) {
  // Silent before the handshake: the session fails, saying so.
  {
    worker::FarmWorker silent;
    worker::NodeProcess quiet(testing::node_binary_path(), silent.port(), "t", {"--farm-timeout", "200"},
                              {{"TMP", logs.path()}});
    silent.accept(wait_ms);
    EXPECT_EQ(silent.receive_raw(wait_ms), "t");
    EXPECT_EQ(silent.receive_raw(wait_ms),
              "ERROR: Exception caught in 3ds max: simple_socket: Timed out waiting for header packet to arrive.");
    EXPECT_EQ(quiet.wait(wait_ms), 1) << quiet.stderr_text();
    EXPECT_THAT(log(), HasSubstr("\nException: simple_socket: Timed out waiting for header packet to arrive.\n"));
    fs::remove(logs.path() + "/paravelle.log");
  }

  start_node({"--farm-timeout", "200"});
  // Silent between commands for several time-outs: the node waits on.
  EXPECT_TRUE(farm.silent_for(1000));
  EXPECT_EQ(farm.command("Bogus", wait_ms).final_reply(), "ERROR: Unexpected command \"Bogus\" received.");

  // Silent to a request the frame's script makes: the frame fails, nothing is written.
  start_job(scene("asking.json", 32, 24, path("out/beauty.exr"), [](nlohmann::json& s) {
    s["scripts"] = {{"pre_frame", "TaskmereUtil.GetJobInfoEntry \"Name\""}};
  }));
  fs::create_directories(path("out"));
  farm.send_raw("RenderTask,1");
  std::vector<std::string> seen;
  while (seen.empty() || seen.back() != "ERROR: Failed to save file.") seen.push_back(farm.receive_raw(wait_ms));
  EXPECT_THAT(seen, Contains("FUNCTION: GETJOBINFOENTRY Name"));
  EXPECT_EQ(seen[seen.size() - 2], "ERROR: Failed to render the frame.");
  EXPECT_THAT(node->stdout_text(), HasSubstr("\n-- Runtime error: Error in GetJobInfoEntry: simple_socket: Timed out "
                                             "waiting for header packet to arrive.\n"));
  EXPECT_FALSE(fs::exists(path("out/beauty0001.exr")));
  // An answer that comes after the node gave up is read as the next command.
  EXPECT_EQ(farm.command("SUCCESS: shot", wait_ms).final_reply(),
            "ERROR: Unexpected command \"SUCCESS: shot\" received.");

  // A worker that answers again gets its frames.
  const auto answer = [](const std::string&) { return std::string("SUCCESS: shot"); };
  EXPECT_THAT(task(2, answer).replies(), ElementsAre("STARTED", "SUCCESS"));
  end_job();
  EXPECT_EQ(render::testing::read_image(path("out/beauty0002.exr")).width, 32);
}

}  // namespace
}  // namespace paravelle
