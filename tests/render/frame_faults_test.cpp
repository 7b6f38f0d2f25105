// A frame meeting what its own code does not see coming: a fault in the host's image
// output, which only the frame's trap catches; a JPEG folder whose state cannot be read;
// a frame that is not saved, named while something else plays with the random generator.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "host/standalone/bitmaps.h"
#include "job_fixture.h"
#include "render/frame_pipeline.h"
#include "render/job_start.h"

namespace paravelle::render {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::narrow;
using ::testing::StartsWith;

class FrameFaultsTest : public JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    liveBitmaps = host::standalone::live_bitmap_count();
    // A frame that is not saved is named under the host's data folder.
    setenv("PARAVELLE_DATA_DIR", (folder.path() + "/data").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("PARAVELLE_DATA_DIR");
    JobTest::TearDown();
  }

  // A file of the test's folder as the plug-in names it.
  std::wstring path(const std::string& name) const {
    std::wstring path;
    for (const char c : folder.path() + "/" + name) path += c == '/' ? L'\\' : wchar_t(c);
    return path;
  }

  void start(nlohmann::json faults = nlohmann::json::array(), bool saved = true) {
    nlohmann::json scene = paravelle::testing::small_job_scene();
    scene["render"]["save_file"] = saved;
    scene["render"]["output_file"] = narrow(path("out/beauty.exr"));
    scene["render_elements"]["elements"] = {
        {{"name", "Alpha"}, {"content", "alpha"}, {"file", narrow(path("elements/alpha.exr"))}}};
    scene["faults"] = std::move(faults);
    StartJob(state, scene_file(scene), L"Cam");
  }

  // The frame as RenderTask runs it: the text it failed with, its trap's text, or "".
  std::string render(std::int32_t frame) {
    std::string trapText;
    try {
      render::CallRenderFrame(state, frame, connection, trapText);
    } catch (const std::exception& error) {
      return error.what();
    }
    return trapText;
  }

  std::int64_t liveBitmaps = 0;
};

// However the write of the frame's first file fails, the frame's bitmaps are gone and its
// names are the job's again: the next frame writes its own files, numbered once.
TEST_F(FrameFaultsTest, AWriteThatFailsPutsTheFrameBack) {
  const struct {
    const char* kind;
    std::string failure;
    bool machineFault;
  } cases[] = {
      {"write", "Trapped SEH Exception in RenderFrame(): Access Violation", true},
      {"divide_by_zero", "Trapped SEH Exception in RenderFrame(): Integer Divide By Zero", true},
      {"std_exception", "the scene's fault injection throws a standard exception", false},
      {"fail", "Error in bm->Write(): error code 3", false},
  };
  for (const auto& c : cases) {
    if (c.machineFault && !machine_faults_trapped) continue;
    SCOPED_TRACE(c.kind);
    start({{{"when", "write"}, {"kind", c.kind}}});
    EXPECT_EQ(render(1), c.failure);
    EXPECT_EQ(host::standalone::live_bitmap_count(), liveBitmaps);
    EXPECT_EQ(narrow(state.outputBitmapInfo.Name()), narrow(path("out/beauty.exr")));
    EXPECT_EQ(narrow(state.renderElements.at(0).output->bi.Name()), narrow(path("elements/alpha.exr")));

    host().scene().spec().faults.clear();
    EXPECT_EQ(render(2), "");
    EXPECT_THAT(state.writtenOutputFiles, ElementsAre(path("out/beauty0002.exr"), path("elements/alpha0002.exr")));
    EndJob(state);
    EXPECT_EQ(host::standalone::live_bitmap_count(), liveBitmaps);
  }
}

// The farm hears that the copy is off, as it always has; the node's log says why.
TEST_F(FrameFaultsTest, AJpegFolderThatCannotBeCheckedLeavesItsReasonInTheLog) {
  std::filesystem::create_symlink(folder.path() + "/loop", folder.path() + "/loop");
  start();
  state.useJpegOutput = true;
  state.jpegOutputPath = path("loop") + L"\\";
  EXPECT_EQ(render(1), "");
  EXPECT_FALSE(state.useJpegOutput);
  EXPECT_THAT(log.text(), HasSubstr("Could not create jpeg output path \"" + narrow(state.jpegOutputPath) +
                                    "\": Could not get the status of \"" + narrow(state.jpegOutputPath) + "\": "));
}

// Reseeding the C library's generator (a script or another library may) must not give
// two openings of the renderer the same placeholder name.
TEST_F(FrameFaultsTest, EveryOpeningNamesAnUnsavedFrameAnew) {
  start(nlohmann::json::array(), false);
  state.restartRendererMode = true;
  std::vector<std::wstring> names;
  for (int opening = 0; opening < 2; ++opening) {
    std::srand(1);
    EXPECT_EQ(render(3), "");
    names.push_back(state.renderOutputName);
  }
  EXPECT_THAT(narrow(names[0]), StartsWith(narrow(path("data")) + "\\Orvalink\\taskmere\\temp\\temp_filename"));
  EXPECT_NE(names[0], names[1]);
}

}  // namespace
}  // namespace paravelle::render
