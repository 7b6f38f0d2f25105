// OpenCurRenderer / CurRendererRenderFrame / CloseCurRenderer into bitmaps from
// TheManager: pixels, regions, render elements, progress and abort.

#include <gmock/gmock.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "host/standalone/loaded_scene.h"
#include "host_fixture.h"

namespace {

using paravelle::host_test::BitmapPtr;
using paravelle::host_test::make_bitmap;

BMM_Color_fl pixel(Bitmap& bitmap, int x, int y) {
  BMM_Color_fl colour{-1, -1, -1, -1};
  EXPECT_TRUE(bitmap.Storage()->GetPixel(x, y, colour)) << x << "," << y;
  return colour;
}

MATCHER_P4(Rgba, r, g, b, a, "") {
  return std::abs(arg.r - r) < 1e-4f && std::abs(arg.g - g) < 1e-4f && std::abs(arg.b - b) < 1e-4f &&
         std::abs(arg.a - a) < 1e-4f;
}

// Records every report. The first reports linger a little, so the reporting thread
// falls behind and the renderer's other threads get tiles of their own to report.
class RecordingProgress : public RendProgressCallback {
 public:
  explicit RecordingProgress(int abort_at = 0) : abort_at_(abort_at) {}
  void SetTitle(const wchar_t* title) override {
    std::lock_guard<std::mutex> lock(mutex_);
    titles.emplace_back(title);
  }
  int Progress(int done, int total) override {
    std::unique_lock<std::mutex> lock(mutex_);
    threads.insert(std::this_thread::get_id());
    reports.emplace_back(done, total);
    if (reports.size() <= 8) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return abort_at_ > 0 && static_cast<int>(reports.size()) >= abort_at_ ? RENDPROG_ABORT : RENDPROG_CONTINUE;
  }

  std::vector<std::wstring> titles;
  std::vector<std::pair<int, int>> reports;
  std::set<std::thread::id> threads;

 private:
  int abort_at_;
  std::mutex mutex_;
};

class RenderFrame : public paravelle::host_test::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    scene_ = paravelle::host_test::small_scene();
  }
  INode* camera() { return host().GetINodeByName(L"Camera01"); }
  int render(Bitmap& bitmap, RendProgressCallback* progress = nullptr, RECT* region = nullptr, int type = 1,
             TimeValue t = 0) {
    if (!host().OpenCurRenderer(camera(), nullptr, type, 64, 48)) return -1;
    const int result = host().CurRendererRenderFrame(t, &bitmap, progress, 1.0f, nullptr, region);
    host().CloseCurRenderer();
    return result;
  }
  nlohmann::json scene_;
};

TEST_F(RenderFrame, BackgroundAndSphereGiveTheirExactColours) {
  load(scene_);
  BitmapPtr bitmap = make_bitmap(64, 48);
  ASSERT_EQ(render(*bitmap), 1);
  EXPECT_THAT(pixel(*bitmap, 0, 0), Rgba(0.1f, 0.2f, 0.3f, 0.0f));
  EXPECT_THAT(pixel(*bitmap, 63, 47), Rgba(0.1f, 0.2f, 0.3f, 0.0f));
  EXPECT_THAT(pixel(*bitmap, 32, 24), Rgba(0.2f, 0.4f, 0.6f, 1.0f));
  EXPECT_FALSE(host().renderer_open());
  EXPECT_EQ(host().CurRendererRenderFrame(0, bitmap.get(), nullptr, 1.0f, nullptr, nullptr), 0)
      << "rendering needs an open renderer";
}

TEST_F(RenderFrame, CameraKeyframesAreEvaluatedAtTheFramesTime) {
  // The camera pans so that at frame 10 the sphere has left the picture.
  scene_["nodes"][0]["position"] =
      nlohmann::json::parse(R"([{"frame": 0, "value": [0, -10, 0]}, {"frame": 10, "value": [20, -10, 0]}])");
  scene_["nodes"][0]["target"] =
      nlohmann::json::parse(R"([{"frame": 0, "value": [0, 0, 0]}, {"frame": 10, "value": [20, 0, 0]}])");
  load(scene_);
  BitmapPtr bitmap = make_bitmap(64, 48);
  ASSERT_EQ(render(*bitmap, nullptr, nullptr, 1, 10 * 160), 1);
  EXPECT_THAT(pixel(*bitmap, 32, 24), Rgba(0.1f, 0.2f, 0.3f, 0.0f));
  ASSERT_EQ(render(*bitmap, nullptr, nullptr, 1, 0), 1);
  EXPECT_THAT(pixel(*bitmap, 32, 24), Rgba(0.2f, 0.4f, 0.6f, 1.0f));
}

TEST_F(RenderFrame, AViewportWithoutCameraRendersItsOwnView) {
  load(scene_);
  BitmapPtr bitmap = make_bitmap(64, 48);
  ASSERT_TRUE(host().OpenCurRenderer(nullptr, &host().GetViewExp(1), 0, 64, 48));
  ASSERT_EQ(host().CurRendererRenderFrame(0, bitmap.get(), nullptr, 1.0f, nullptr, nullptr), 1);
  EXPECT_THAT(pixel(*bitmap, 32, 24), Rgba(0.2f, 0.4f, 0.6f, 1.0f));
  EXPECT_EQ(host().OpenCurRenderer(nullptr, nullptr, 0, 64, 48), 0);
}

TEST_F(RenderFrame, RegionTypeOneRendersInPlaceAndTypeFourFillsABitmapOfTheRegionsSize) {
  load(scene_);
  BitmapPtr full = make_bitmap(64, 48);
  ASSERT_EQ(render(*full), 1);
  BitmapPtr in_place = make_bitmap(64, 48);
  RECT region{20, 10, 44, 30};
  ASSERT_EQ(render(*in_place, nullptr, &region, 1), 1);
  EXPECT_THAT(pixel(*in_place, 19, 24), Rgba(0, 0, 0, 0)) << "left of the region: untouched";
  EXPECT_THAT(pixel(*in_place, 32, 30), Rgba(0, 0, 0, 0)) << "the bottom edge is exclusive";
  EXPECT_THAT(pixel(*in_place, 20, 10), Rgba(0.1f, 0.2f, 0.3f, 0.0f));
  EXPECT_THAT(pixel(*in_place, 32, 24), Rgba(0.2f, 0.4f, 0.6f, 1.0f));

  region = {22, 14, 42, 34};
  BitmapPtr crop = make_bitmap(20, 20);
  ASSERT_EQ(render(*crop, nullptr, &region, 4), 1);
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 20; ++x) {
      const BMM_Color_fl expected = pixel(*full, x + 22, y + 14);
      ASSERT_THAT(pixel(*crop, x, y), Rgba(expected.r, expected.g, expected.b, expected.a)) << x << "," << y;
    }
  RECT empty{30, 30, 30, 40};
  EXPECT_EQ(render(*crop, nullptr, &empty, 4), 0);
}

TEST_F(RenderFrame, EnabledRenderElementsAreRenderedInTheSamePass) {
  scene_["render_elements"] = nlohmann::json::parse(R"({"active": true, "elements": [
    {"name": "Alpha", "content": "alpha", "file": "a.exr"},
    {"name": "Depth", "content": "zdepth", "z_min": 0, "z_max": 18},
    {"name": "Normals", "content": "normals"},
    {"name": "Diffuse", "content": "diffuse"},
    {"name": "Off", "content": "alpha", "enabled": false}]})");
  load(scene_);
  IRenderElementMgr* manager = host().GetRenderElementMgr();
  ASSERT_EQ(manager->NumRenderElements(), 5);
  std::vector<BitmapPtr> bitmaps;
  std::vector<PBBitmap*> outputs(5, nullptr);
  for (int i = 0; i < 5; ++i) {
    manager->GetRenderElement(i)->GetPBBitmap(outputs[i]);
    bitmaps.push_back(make_bitmap(64, 48));
    outputs[i]->bm = bitmaps.back().get();
  }
  EXPECT_STREQ(outputs[0]->bi.Name(), L"a.exr");

  BitmapPtr beauty = make_bitmap(64, 48);
  ASSERT_EQ(render(*beauty), 1);
  EXPECT_THAT(pixel(*bitmaps[0], 32, 24), Rgba(1, 1, 1, 1));
  EXPECT_THAT(pixel(*bitmaps[0], 0, 0), Rgba(0, 0, 0, 1));
  const BMM_Color_fl depth = pixel(*bitmaps[1], 32, 24);
  EXPECT_NEAR(depth.r, 0.5f, 0.01f) << "the sphere's front is 9 units away";
  EXPECT_THAT(pixel(*bitmaps[1], 0, 0), Rgba(0, 0, 0, 1));
  const BMM_Color_fl normal = pixel(*bitmaps[2], 32, 24);
  EXPECT_NEAR(normal.r, 0.5f, 0.05f);
  EXPECT_NEAR(normal.g, 0.0f, 0.01f) << "facing the camera: -Y";
  EXPECT_NEAR(normal.b, 0.5f, 0.05f);
  EXPECT_THAT(pixel(*bitmaps[2], 0, 0), Rgba(0, 0, 0, 0));
  EXPECT_THAT(pixel(*bitmaps[3], 32, 24), Rgba(0.2f, 0.4f, 0.6f, 1.0f));
  EXPECT_THAT(pixel(*bitmaps[4], 32, 24), Rgba(0, 0, 0, 0)) << "a disabled element is not rendered";
  for (PBBitmap* output : outputs) output->bm = nullptr;
}

TEST_F(RenderFrame, ProgressComesFromSeveralThreadsAndAddsUpAndCanAbort) {
  scene_["render"]["threads"] = 4;
  scene_["render"]["tile_size"] = 8;
  load(scene_);
  BitmapPtr bitmap = make_bitmap(64, 48);
  RecordingProgress progress;
  ASSERT_EQ(render(*bitmap, &progress), 1);
  ASSERT_FALSE(progress.titles.empty());
  EXPECT_EQ(progress.titles.front(), L"Rendering image...");
  const int tiles = 8 * 6;
  ASSERT_EQ(static_cast<int>(progress.reports.size()), tiles);
  using Reports = std::set<std::pair<int, int>>;
  Reports expected;
  for (int done = 1; done <= tiles; ++done) expected.emplace(done, tiles);
  EXPECT_EQ(Reports(progress.reports.begin(), progress.reports.end()), expected);
  EXPECT_GT(progress.threads.size(), 1u);

  RecordingProgress aborting(1);
  EXPECT_EQ(render(*bitmap, &aborting), 0) << "an abort from the callback fails the frame";
}

TEST_F(RenderFrame, ARenderTheEngineRefusesFailsTheFrameWithItsReason) {
  scene_["nodes"][0]["target"] = {0, -10, 0};
  load(scene_);
  BitmapPtr bitmap = make_bitmap(64, 48);
  EXPECT_EQ(render(*bitmap), 0);
  ASSERT_FALSE(host().log_records().empty());
  EXPECT_THAT(host().log_records().back().text, ::testing::StartsWith(L"CurRendererRenderFrame: the render failed: "));
}

TEST_F(RenderFrame, AFailingPreFrameScriptFailsTheFrame) {
  scene_["scripts"] = {{"pre_frame", "boom"}};
  load(scene_);
  int runs = 0;
  paravelle::host::standalone::set_scene_script_runner([&](const std::wstring& script) {
    ++runs;
    return script != L"boom";
  });
  BitmapPtr bitmap = make_bitmap(64, 48);
  EXPECT_EQ(render(*bitmap), 0);
  paravelle::host::standalone::set_scene_script_runner(nullptr);
  EXPECT_EQ(runs, 1);
  EXPECT_THAT(pixel(*bitmap, 32, 24), Rgba(0, 0, 0, 0));
  EXPECT_EQ(render(*bitmap), 1);
}

}  // namespace
