// The real node rendering: what each task writes, read back through OpenImageIO, and the
// faults while it renders (a renderer that crashes again and again, an output folder on a
// full disk or gone between frames, a worker that stops answering). For each fault, what the
// worker sees, what the log holds, that the node still serves and that no file already
// written is damaged.

#include <gmock/gmock.h>

#include <fstream>

#include "e2e/node_fixture.h"
#include "support/sanitizers.h"

namespace paravelle::testing {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
namespace fs = std::filesystem;

using RenderingNode = NodeTest;

// Resident memory of a process in KiB, from /proc.
long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  return -1;
}

TEST_F(RenderingNode, FramesElementsAndJpegCopiesCarryTheFrameNumber) {
  start_node();
  const auto with_alpha = [this](nlohmann::json& s) {
    s["render_elements"] = {
        {"active", true},
        {"elements", {{{"name", "Alpha"}, {"content", "alpha"}, {"file", path("elements/alpha.exr")}}}}};
  };
  const std::string shot = scene("shot.json", 64, 48, path("out/beauty.exr"), with_alpha);
  start_job(shot);
  for (const std::string& setting :
       {std::string("FrameNumberBase,10"), "UseJpegOutput," + path("jpg/"), std::string("HideFrameBuffer")})
    farm.send_raw(setting);
  for (int frame : {1, 2}) EXPECT_THAT(task(frame).replies(), ElementsAre("STARTED", "SUCCESS")) << frame;
  const auto output_file = [&](int index) {
    return farm.command("ExecuteStringScript,0,TaskmereUtil.GetOutputFilename " + std::to_string(index), wait_ms)
        .final_reply();
  };
  EXPECT_EQ(output_file(0), "SUCCESS: " + host_path(path("out/beauty0012.exr")));
  EXPECT_EQ(output_file(1), "SUCCESS: " + host_path(path("elements/alpha0012.exr")));
  end_job();
  for (const std::string frame : {"0011", "0012"}) {
    const auto beauty = read_image(path("out/beauty" + frame + ".exr"));
    ASSERT_EQ(std::pair(beauty.width, beauty.height), std::pair(64, 48));
    EXPECT_NEAR(beauty.at(32, 24, 2), 0.6f, 1e-3f);
    EXPECT_EQ(beauty.at(0, 0, 3), 0.0f);
    EXPECT_EQ(read_image(path("elements/alpha" + frame + ".exr")).at(32, 24, 0), 1.0f);
    EXPECT_NEAR(read_image(path("jpg/beauty" + frame + ".jpg")).at(32, 24, 1), 0.4f, 0.02f);
  }
  EXPECT_FALSE(fs::exists(path("jpg/alpha0011.jpg"))) << "elements get no JPEG copy";

  // Without padding every frame writes the same name; locally rendered files arrive whole.
  start_job(shot);
  for (const std::string& setting :
       {std::string("RemovePadding"), std::string("LocalRendering"), "TempFolder," + path("temp")})
    farm.send_raw(setting);
  fs::create_directories(path("temp"));
  EXPECT_THAT(task(3).notifications("STDOUT"), Contains("MaxParavelle: Saved image to " + path("out/beauty.exr")));
  end_job();
  EXPECT_TRUE(fs::exists(path("elements/alpha.exr")) && fs::is_empty(path("temp")));

  // A crop holds exactly its region, also where the padding runs off the image's corner.
  start_job(shot);
  farm.send_raw("RegionRendering,2,10,8,42,30,CROP");
  EXPECT_THAT(task(1).replies(), ElementsAre("STARTED", "SUCCESS"));
  farm.send_raw("RegionRendering,4,0,0,20,20,CROP");
  EXPECT_THAT(task(2).replies(), ElementsAre("STARTED", "SUCCESS"));
  end_job();
  for (const char* name : {"out/beauty0001.exr", "elements/alpha0001.exr"})
    EXPECT_EQ(std::pair(read_image(path(name)).width, read_image(path(name)).height), std::pair(32, 22)) << name;
  EXPECT_EQ(read_image(path("elements/alpha0001.exr")).at(22, 16, 0), 1.0f) << "the sphere's centre";
  EXPECT_EQ(read_image(path("out/beauty0002.exr")).width, 20);

  // A second run that skips existing frames writes nothing; a black frame fails and writes no image.
  const auto written = fs::last_write_time(path("out/beauty0001.exr"));
  start_job(
      scene("skip.json", 64, 48, path("out/beauty.exr"), [](auto& s) { s["render"]["skip_rendered_frames"] = true; }));
  const auto skipped = task(1);
  EXPECT_THAT(skipped.replies(), ElementsAre("STARTED", "SUCCESS"));
  EXPECT_THAT(skipped.notifications("STDOUT"),
              Contains(AllOf(HasSubstr("MaxParavelle: Skipping frame \""),
                             HasSubstr("beauty0001.exr\" because it already exists"))));
  end_job();
  EXPECT_EQ(fs::last_write_time(path("out/beauty0001.exr")), written);
  start_job(scene("black.json", 64, 48, path("out/beauty.exr"), [](auto& s) { s["nodes"].erase(1); }));
  farm.send_raw("FailOnBlackFrames,90,0.1");
  EXPECT_THAT(
      task(5).replies(),
      ElementsAre("STARTED", "ERROR: 100% of the output image is black, which equals or exceeds the minimum of 90%",
                  "ERROR: Failed to save file."));
  end_job();
  EXPECT_FALSE(fs::exists(path("out/beauty0005.exr")));
}

TEST_F(RenderingNode, AThousandRendererFaultsInARowLeaveItServingWithFlatMemory) {
  PARAVELLE_SKIP_UNLESS_MACHINE_FAULTS_TRAPPED();
  start_node();
  start_job(scene("faulty.json", 32, 24, path("out/beauty.exr"), [](nlohmann::json& s) {
    s["faults"] = {{{"when", "render"}, {"frame", 7}, {"kind", "divide_by_zero"}}};
  }));
  fs::create_directories(path("out"));
  EXPECT_THAT(task(1).replies(), ElementsAre("STARTED", "SUCCESS"));
  const std::string first_frame = read_file(path("out/beauty0001.exr"));
  // What the worker sees of one fault: the trap's text with the crash report, then the failure.
  const std::vector<std::string> replies = task(7).replies();
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_THAT(replies[1], StartsWith("ERROR: Trapped SEH Exception in CurRendererRenderFrame(): Integer Divide By "
                                     "Zero\nProcess:  " +
                                     node_binary_path() + "\n"));
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
  // A leak of a few hundred bytes a fault would show; allocator noise stays far below (a
  // sanitizer's memory, its quarantine among it, is not the node's).
  if (testing::active_sanitizer == nullptr) {
    EXPECT_LT(resident_kib(node->pid()) - settled_kib, 256) << "over 800 trapped faults";
  }
  EXPECT_THAT(task(2).replies(), ElementsAre("STARTED", "SUCCESS")) << "the renderer still renders";
  end_job();
  EXPECT_EQ(read_file(path("out/beauty0001.exr")), first_frame);
  EXPECT_EQ(read_image(path("out/beauty0002.exr")).width, 32);
  EXPECT_FALSE(fs::exists(path("out/beauty0007.exr")));
  // Each fault of the scripts left its crash report in the log (the task's went to the worker).
  const std::string log_text = log();
  std::size_t reports = 0;
  const std::string report = "\nTrapped SEH Exception in CurRendererRenderFrame(): Integer Divide By Zero\nProcess:  ";
  for (std::size_t at = log_text.find(report); at != std::string::npos; at = log_text.find(report, at + 1)) ++reports;
  EXPECT_EQ(reports, 1000u);
}

// A frame that does not fit on the disk fails and leaves the frames before it whole; an
// output folder that disappears between frames is made again, and where a file has taken
// its place the frame fails and nothing written before is touched.
TEST_F(RenderingNode, AFullDiskOrAVanishedFolderFailsTheFrameAndLeavesEarlierFramesWhole) {
  SmallDisk disk(path("disk"), 64 * 1024);
  start_node();
  disk.node_started();
  // BMP files have a fixed size: 16 x 12 takes some 600 bytes, 400 x 300 some 360 KB.
  const std::string small = scene("small.json", 16, 12, path("disk/beauty.bmp"));
  start_job(small);
  EXPECT_THAT(task(1).replies(), ElementsAre("STARTED", "SUCCESS"));
  end_job();
  const std::string first_frame = read_file(path("disk/beauty0001.bmp"));
  start_job(scene("large.json", 400, 300, path("disk/beauty.bmp")));
  EXPECT_THAT(task(2).replies(),
              ElementsAre("STARTED", "ERROR: Error in bm->Write(): error code 3", "ERROR: Failed to save file."));
  end_job();
  EXPECT_EQ(read_file(path("disk/beauty0001.bmp")), first_frame);
  EXPECT_THAT(names_in("disk"), ElementsAre("beauty0001.bmp")) << "nothing of the failed frame is left";
  start_job(small);
  EXPECT_THAT(task(3).replies(), ElementsAre("STARTED", "SUCCESS")) << "the room the failed frame took is free";
  end_job();

  start_job(scene("scene.json", 32, 24, path("gone/beauty.exr"), [this](nlohmann::json& s) {
    s["render_elements"] = {
        {"active", true}, {"elements", {{{"name", "Alpha"}, {"content", "alpha"}, {"file", path("kept/alpha.exr")}}}}};
  }));
  fs::create_directories(path("kept"));
  fs::remove_all(path("gone"));
  const worker::Conversation remade = task(1);
  EXPECT_THAT(remade.replies(), ElementsAre("STARTED", "SUCCESS"));
  EXPECT_THAT(remade.notifications("STDOUT"),
              Contains("MaxParavelle: Creating output path: " + host_path(path("gone"))));
  const std::string first_element = read_file(path("kept/alpha0001.exr"));
  fs::remove_all(path("gone"));
  std::ofstream(path("gone")) << "a file where the folder was";
  EXPECT_THAT(task(2).replies(),
              ElementsAre("STARTED", "ERROR: Error in bm->OpenOutput(): error code 2", "ERROR: Failed to save file."));
  end_job();
  EXPECT_THAT(log(), HasSubstr("\nWriting to output file: " + host_path(path("gone/beauty0002.exr")) + "\n"));
  EXPECT_EQ(read_file(path("gone")), "a file where the folder was");
  EXPECT_EQ(read_file(path("kept/alpha0001.exr")), first_element);
  EXPECT_THAT(names_in("kept"), ElementsAre("alpha0001.exr")) << "the failed frame wrote no element either";
}

}  // namespace
}  // namespace paravelle::testing
