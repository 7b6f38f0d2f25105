// Whole jobs on the real node, driven as a farm worker drives it: what each task writes,
// read back through OpenImageIO, and what it tells the farm.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include <nlohmann/json.hpp>

#include "render/render_fixture.h"
#include "support/log_capture.h"
#include "support/node_binary.h"
#include "worker/farm_worker.h"

namespace paravelle {
namespace {

using render::testing::read_image;
using ::testing::Contains;
using ::testing::ElementsAre;

namespace fs = std::filesystem;

constexpr int wait_ms = 60000;

class JobOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    node.emplace(
        testing::node_binary_path(), farm.port(), "t", std::vector<std::string>{},
        std::vector<std::pair<std::string, std::string>>{{"TMP", tmp.path()}, {"PARAVELLE_DATA_DIR", path("data")}});
    farm.open_session(wait_ms, "t");
  }
  void TearDown() override {
    farm.close();
    EXPECT_EQ(node->wait(wait_ms), 0) << node->stderr_text();
  }

  std::string path(const std::string& name) const { return tmp.path() + "/" + name; }

  // 64x48, one sample; a sphere lit by ambient light only, so a lit pixel is its colour.
  std::string scene(const std::function<void(nlohmann::json&)>& change = {}) const {
    nlohmann::json scene = nlohmann::json::parse(R"({
      "format": "paravelle-scene", "version": 1,
      "render": {"width": 64, "height": 48, "samples_per_axis": 1, "threads": 2, "save_file": true},
      "environment": {"background": [0, 0, 0], "background_alpha": 0, "ambient": [1, 1, 1]},
      "nodes": [
        {"name": "Cam", "type": "camera", "fov": 45, "position": [0, -10, 0], "target": [0, 0, 0]},
        {"name": "Ball", "type": "sphere", "radius": 1, "colour": [0.2, 0.4, 0.6], "position": [0, 0, 0]}],
      "viewports": [{"camera": "Cam"}],
      "render_elements": {"active": true, "elements": [{"name": "Alpha", "content": "alpha"}]}
    })");
    scene["render"]["output_file"] = path("out/beauty.exr");
    scene["render_elements"]["elements"][0]["file"] = path("elements/alpha.exr");
    if (change) change(scene);
    std::ofstream(path("scene.json")) << scene.dump();
    return path("scene.json");
  }

  void start(const std::string& sceneFile) {
    EXPECT_THAT(farm.job_command("StartJob," + sceneFile + ",Cam", wait_ms).messages,
                ElementsAre("SUCCESS Scene loaded successfully"));
  }
  void settings(std::initializer_list<std::string> commands) {
    for (const std::string& command : commands) farm.send_raw(command);
  }
  worker::Conversation task(int frame) { return farm.job_command("RenderTask," + std::to_string(frame), wait_ms); }
  void end() { EXPECT_EQ(farm.job_command("EndJob", wait_ms).final_reply(), "SUCCESS"); }
  std::string output_file(int index) {
    return farm.command("ExecuteStringScript,0,TaskmereUtil.GetOutputFilename " + std::to_string(index), wait_ms)
        .final_reply();
  }
  static std::string host_path(std::string native) {
    for (char& c : native) c = c == '/' ? '\\' : c;
    return native;
  }

  testing::TempFolder tmp;
  worker::FarmWorker farm;
  std::optional<worker::NodeProcess> node;
};

TEST_F(JobOutput, FramesElementsAndJpegCopiesCarryTheFrameNumber) {
  start(scene());
  settings({"FrameNumberBase,10", "UseJpegOutput," + path("jpg/"), "HideFrameBuffer"});
  for (int frame : {1, 2}) EXPECT_THAT(task(frame).replies(), ElementsAre("STARTED", "SUCCESS")) << frame;
  EXPECT_EQ(output_file(0), "SUCCESS: " + host_path(path("out/beauty0012.exr")));
  EXPECT_EQ(output_file(1), "SUCCESS: " + host_path(path("elements/alpha0012.exr")));
  end();

  for (const char* frame : {"0011", "0012"}) {
    const auto beauty = read_image(path("out/beauty" + std::string(frame) + ".exr"));
    ASSERT_EQ(beauty.width, 64);
    ASSERT_EQ(beauty.height, 48);
    EXPECT_NEAR(beauty.at(32, 24, 2), 0.6f, 1e-3f);
    EXPECT_EQ(beauty.at(0, 0, 3), 0.0f);
    const auto alpha = read_image(path("elements/alpha" + std::string(frame) + ".exr"));
    EXPECT_EQ(alpha.at(32, 24, 0), 1.0f);
    EXPECT_EQ(alpha.at(0, 0, 0), 0.0f);
    const auto jpeg = read_image(path("jpg/beauty" + std::string(frame) + ".jpg"));
    EXPECT_EQ(jpeg.width, 64);
    EXPECT_NEAR(jpeg.at(32, 24, 1), 0.4f, 0.02f);
  }
  EXPECT_FALSE(fs::exists(path("jpg/alpha0011.jpg"))) << "elements get no JPEG copy";

  // Without padding every frame writes the same name; locally rendered files arrive whole.
  start(scene());
  settings(
      {"RemovePadding", "LocalRendering", "TempFolder," + path("temp"), "OutputImageFilename," + path("still.png")});
  fs::create_directories(path("temp"));
  const auto conversation = task(3);
  EXPECT_THAT(conversation.replies(), ElementsAre("STARTED", "SUCCESS"));
  EXPECT_THAT(conversation.notifications("STDOUT"),
              Contains("MaxParavelle: Saved image to " + path("still.png")));  // the name as the farm gave it
  end();
  EXPECT_EQ(read_image(path("still.png")).width, 64);
  EXPECT_TRUE(fs::exists(path("elements/alpha.exr")));
  EXPECT_TRUE(fs::is_empty(path("temp")));
}

TEST_F(JobOutput, ASecondRunThatSkipsExistingFramesWritesNothing) {
  const std::string file = scene([](nlohmann::json& s) { s["render"]["skip_rendered_frames"] = true; });
  start(file);
  for (int frame : {1, 2}) task(frame);
  end();
  const auto written = fs::last_write_time(path("out/beauty0001.exr"));

  start(file);
  for (int frame : {1, 2}) {
    const auto conversation = task(frame);
    EXPECT_THAT(conversation.replies(), ElementsAre("STARTED", "SUCCESS"));
    EXPECT_THAT(conversation.notifications("STDOUT"),
                ElementsAre("MaxParavelle: Render frame " + std::to_string(frame),
                            "MaxParavelle: Skipping frame \"" +
                                host_path(path("out/beauty000" + std::to_string(frame) + ".exr")) +
                                "\" because it already exists"));
  }
  end();
  EXPECT_EQ(fs::last_write_time(path("out/beauty0001.exr")), written);
}

TEST_F(JobOutput, ABlackFrameFailsAndWritesNoImage) {
  start(scene([](nlohmann::json& s) { s["nodes"].erase(1); }));
  settings({"FailOnBlackFrames,90,0.1"});
  const auto conversation = task(1);
  EXPECT_THAT(
      conversation.replies(),
      ElementsAre("STARTED", "ERROR: 100% of the output image is black, which equals or exceeds the minimum of 90%",
                  "ERROR: Failed to save file."));
  EXPECT_THAT(conversation.notifications("STDOUT"),
              Contains("MaxParavelle: 100% of the output image is considered black, failing render..."));
  end();
  EXPECT_FALSE(fs::exists(path("out/beauty0001.exr")));
  EXPECT_FALSE(fs::exists(path("elements/alpha0001.exr")));
}

TEST_F(JobOutput, RegionCropFilesHoldExactlyTheRegion) {
  start(scene());
  settings({"RegionRendering,2,10,8,42,30,CROP"});
  EXPECT_THAT(task(1).replies(), ElementsAre("STARTED", "SUCCESS"));
  settings({"RegionRendering,4,0,0,20,20,CROP"});  // the padding runs off the image's corner
  EXPECT_THAT(task(2).replies(), ElementsAre("STARTED", "SUCCESS"));
  end();
  start(scene());  // the region's kind is settled when the renderer opens: a new job
  settings({"RegionRendering,0,10,8,42,30,NOCROP"});
  EXPECT_THAT(task(3).replies(), ElementsAre("STARTED", "SUCCESS"));
  end();
  EXPECT_EQ(read_image(path("out/beauty0003.exr")).width, 64) << "without crop the image keeps its size";

  for (const char* name : {"out/beauty0001.exr", "elements/alpha0001.exr"}) {
    const auto image = read_image(path(name));
    EXPECT_EQ(image.width, 32) << name;
    EXPECT_EQ(image.height, 22) << name;
  }
  EXPECT_EQ(read_image(path("elements/alpha0001.exr")).at(22, 16, 0), 1.0f) << "the sphere's centre";
  const auto corner = read_image(path("out/beauty0002.exr"));
  EXPECT_EQ(corner.width, 20);
  EXPECT_EQ(corner.height, 20);
}

}  // namespace
}  // namespace paravelle
