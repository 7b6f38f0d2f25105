#pragma once
// The real paravelle-node serving a worker the test drives: its log in a folder of its own,
// scenes and outputs in another, and a small disk for the faults of a full one.

#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include <nlohmann/json.hpp>

#include "host/standalone/image_file.h"
#include "support/log_capture.h"
#include "worker/farm_worker.h"

namespace paravelle::testing {

constexpr int wait_ms = 60000;

struct ReadImage {
  int width = 0, height = 0;
  std::vector<float> rgba;
  float at(int x, int y, int channel) const { return rgba[(std::size_t(y) * width + x) * 4 + channel]; }
};

inline ReadImage read_image(const std::string& native) {
  ReadImage image;
  std::string error;
  EXPECT_TRUE(host::standalone::read_image_file(native, image.rgba, image.width, image.height, error)) << error;
  return image;
}

inline std::string host_path(std::string native) {
  std::replace(native.begin(), native.end(), '/', '\\');
  return native;
}

class NodeTest : public ::testing::Test {
 protected:
  void start_node(std::vector<std::string> arguments = {}) {
    node.emplace(node_binary_path(), farm.port(), "t", std::move(arguments),
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
    scene["render"].update({{"width", width}, {"height", height}, {"output_file", output}});
    if (change) change(scene);
    std::ofstream(path(name)) << scene.dump();
    return path(name);
  }
  void start_job(const std::string& scene_file) {
    EXPECT_THAT(farm.job_command("StartJob," + scene_file + ",Cam", wait_ms).messages,
                ::testing::ElementsAre("SUCCESS Scene loaded successfully"));
  }
  worker::Conversation task(int frame, const worker::RequestHandler& handler = {}) {
    return farm.job_command("RenderTask," + std::to_string(frame), wait_ms, handler);
  }
  void end_job() { EXPECT_EQ(farm.job_command("EndJob", wait_ms).final_reply(), "SUCCESS"); }
  std::vector<std::string> names_in(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path(folder)))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempFolder logs;
  TempFolder files;
  worker::FarmWorker farm;
  std::optional<worker::NodeProcess> node;
};

// A folder on a disk with `bytes` of room: a small tmpfs where the machine lets us mount
// one, otherwise a limit on the size of any file that a node started meanwhile inherits,
// so that writing past it fails with EFBIG as a full disk fails with ENOSPC.
class SmallDisk {
 public:
  SmallDisk(const std::string& folder, std::size_t bytes) : folder_(folder) {
    std::filesystem::create_directories(folder);
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

 private:
  std::string folder_;
  bool mounted_ = false;
  rlimit previous_{};
};

}  // namespace paravelle::testing
