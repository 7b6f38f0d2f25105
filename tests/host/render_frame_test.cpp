// The host's renderer as the plug-in drives it (OpenCurRenderer, CurRendererRenderFrame and
// CloseCurRenderer into TheManager's bitmaps: regions, render elements, progress from several
// threads, the faults a scene asks for) and the ray tracer beneath it on its own.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <csignal>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <vector>

#include "host/standalone/bitmaps.h"
#include "host/standalone/loaded_scene.h"
#include "host/standalone/wide_text.h"
#include "host_fixture.h"
#include "support/sanitizers.h"
#include "host/standalone/raytrace/render.h"

namespace paravelle::host_test {
namespace {

using ::testing::ElementsAre;

BMM_Color_fl pixel(Bitmap& bitmap, int x, int y) {
  BMM_Color_fl colour{-1, -1, -1, -1};
  EXPECT_TRUE(bitmap.Storage()->GetPixel(x, y, colour)) << x << "," << y;
  return colour;
}

MATCHER_P4(Rgba, r, g, b, a, "") {
  return std::abs(arg.r - r) < 1e-4f && std::abs(arg.g - g) < 1e-4f && std::abs(arg.b - b) < 1e-4f &&
         std::abs(arg.a - a) < 1e-4f;
}

// Records every report; the first ones linger so the renderer's other threads get tiles to report.
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
    reports.emplace(done, total);
    if (reports.size() <= 8) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return abort_at_ > 0 && static_cast<int>(reports.size()) >= abort_at_ ? RENDPROG_ABORT : RENDPROG_CONTINUE;
  }
  std::vector<std::wstring> titles;
  std::set<std::pair<int, int>> reports;
  std::set<std::thread::id> threads;

 private:
  int abort_at_;
  std::mutex mutex_;
};

class RenderFrame : public HostTest {
 protected:
  int render(Bitmap& bitmap, RendProgressCallback* progress = nullptr, RECT* region = nullptr, int type = 1,
             TimeValue t = 0) {
    if (!host().OpenCurRenderer(host().GetINodeByName(L"Camera01"), nullptr, type, 64, 48)) return -1;
    const int result = host().CurRendererRenderFrame(t, &bitmap, progress, 1.0f, nullptr, region);
    host().CloseCurRenderer();
    return result;
  }
  nlohmann::json scene_ = small_scene();
};

TEST_F(RenderFrame, PixelsAtTheFramesTimeInPlaceRegionsCropsAndViewportsOwnViews) {
  // The camera pans so that at frame 10 the sphere has left the picture.
  scene_["nodes"][0]["position"] = {{{"frame", 0}, {"value", {0, -10, 0}}}, {{"frame", 10}, {"value", {20, -10, 0}}}};
  scene_["nodes"][0]["target"] = {{{"frame", 0}, {"value", {0, 0, 0}}}, {{"frame", 10}, {"value", {20, 0, 0}}}};
  load(scene_);
  BitmapPtr full = make_bitmap(64, 48);
  ASSERT_EQ(render(*full, nullptr, nullptr, 1, 10 * 160), 1);
  EXPECT_THAT(pixel(*full, 32, 24), Rgba(0.1f, 0.2f, 0.3f, 0.0f));
  ASSERT_EQ(render(*full), 1);
  EXPECT_THAT(pixel(*full, 0, 0), Rgba(0.1f, 0.2f, 0.3f, 0.0f));
  EXPECT_THAT(pixel(*full, 32, 24), Rgba(0.2f, 0.4f, 0.6f, 1.0f));
  EXPECT_FALSE(host().renderer_open());
  EXPECT_EQ(host().CurRendererRenderFrame(0, full.get(), nullptr, 1.0f, nullptr, nullptr), 0)
      << "needs an open renderer";

  BitmapPtr in_place = make_bitmap(64, 48);
  RECT region{20, 10, 44, 30};
  ASSERT_EQ(render(*in_place, nullptr, &region, 1), 1);
  EXPECT_THAT(pixel(*in_place, 19, 24), Rgba(0, 0, 0, 0)) << "left of the region: untouched";
  EXPECT_THAT(pixel(*in_place, 32, 30), Rgba(0, 0, 0, 0)) << "the bottom edge is exclusive";
  EXPECT_THAT(pixel(*in_place, 20, 10), Rgba(0.1f, 0.2f, 0.3f, 0.0f));
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

  ASSERT_TRUE(host().OpenCurRenderer(nullptr, &host().GetViewExp(1), 0, 64, 48));
  ASSERT_EQ(host().CurRendererRenderFrame(0, full.get(), nullptr, 1.0f, nullptr, nullptr), 1);
  EXPECT_THAT(pixel(*full, 32, 24), Rgba(0.2f, 0.4f, 0.6f, 1.0f));
  host().CloseCurRenderer();
  EXPECT_EQ(host().OpenCurRenderer(nullptr, nullptr, 0, 64, 48), 0);
}

TEST_F(RenderFrame, EnabledRenderElementsAreRenderedInTheSamePassWithProgressFromSeveralThreads) {
  scene_["render"].update({{"threads", 4}, {"tile_size", 8}});
  scene_["render_elements"] = nlohmann::json::parse(R"({"active": true, "elements": [
    {"name": "Alpha", "content": "alpha", "file": "a.exr"}, {"name": "Depth", "content": "zdepth", "z_min": 0, "z_max": 18},
    {"name": "Normals", "content": "normals"}, {"name": "Diffuse", "content": "diffuse"},
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
  RecordingProgress progress;
  ASSERT_EQ(render(*beauty, &progress), 1);
  EXPECT_THAT(pixel(*bitmaps[0], 32, 24), Rgba(1, 1, 1, 1));
  EXPECT_THAT(pixel(*bitmaps[0], 0, 0), Rgba(0, 0, 0, 1));
  EXPECT_NEAR(pixel(*bitmaps[1], 32, 24).r, 0.5f, 0.01f) << "the sphere's front is 9 units away";
  EXPECT_NEAR(pixel(*bitmaps[2], 32, 24).g, 0.0f, 0.01f) << "facing the camera: -Y";
  EXPECT_NEAR(pixel(*bitmaps[2], 32, 24).b, 0.5f, 0.05f);
  EXPECT_THAT(pixel(*bitmaps[2], 0, 0), Rgba(0, 0, 0, 0));
  EXPECT_THAT(pixel(*bitmaps[3], 32, 24), Rgba(0.2f, 0.4f, 0.6f, 1.0f));
  EXPECT_THAT(pixel(*bitmaps[4], 32, 24), Rgba(0, 0, 0, 0)) << "a disabled element is not rendered";
  for (PBBitmap* output : outputs) output->bm = nullptr;

  EXPECT_EQ(progress.titles.at(0), L"Rendering image...");
  std::set<std::pair<int, int>> expected;
  for (int done = 1; done <= 48; ++done) expected.emplace(done, 48);
  EXPECT_EQ(progress.reports, expected);
  EXPECT_GT(progress.threads.size(), 1u);
  RecordingProgress aborting(1);
  EXPECT_EQ(render(*beauty, &aborting), 0) << "an abort from the callback fails the frame";
}

// Faults a scene asks for reach the process as the matching signal, at load, at renderer
// open and while rendering the chosen frame; "fail" is a plain failure.
class FaultInjection : public RenderFrame {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    RenderFrame::SetUp();
  }
  std::wstring with_fault(const char* when, const char* kind, int frame = 2) {
    nlohmann::json fault = {{"when", when}, {"kind", kind}};
    if (std::string(when) == "render") fault["frame"] = frame;
    scene_["faults"] = nlohmann::json::array({fault});
    return write(scene_, std::string(when) + "-" + kind + ".json");
  }
  int open() { return host().OpenCurRenderer(host().GetINodeByName(L"Camera01"), nullptr, 1, 64, 48); }
  int render_frame(int frame) {
    return host().CurRendererRenderFrame(frame * 160, make_bitmap(64, 48).get(), nullptr, 1.0f, nullptr, nullptr);
  }
};

TEST_F(FaultInjection, EachKindRaisesItsSignalWhereTheSceneSaysOnly) {
  using paravelle::testing::fault_report;
  using paravelle::testing::killed_by_fault;
  for (const auto& [kind, signal] :
       {std::pair{"write", SIGSEGV}, {"read_null", SIGSEGV}, {"recursion", SIGSEGV}, {"divide_by_zero", SIGFPE}})
    EXPECT_EXIT(host().LoadFromFile(with_fault("load", kind).c_str(), 14), killed_by_fault(signal),
                fault_report(signal))
        << kind;
  ASSERT_TRUE(host().LoadFromFile(with_fault("open", "read_null").c_str(), 14)) << listener_text();
  EXPECT_EXIT(open(), killed_by_fault(SIGSEGV), fault_report(SIGSEGV));
  ASSERT_TRUE(host().LoadFromFile(with_fault("render", "divide_by_zero").c_str(), 14));
  ASSERT_EQ(open(), 1);
  EXPECT_EQ(render_frame(1), 1);
  EXPECT_EXIT(render_frame(2), killed_by_fault(SIGFPE), fault_report(SIGFPE));
  EXPECT_EQ(render_frame(3), 1);
  host().CloseCurRenderer();
  ASSERT_TRUE(host().LoadFromFile(with_fault("render", "hang").c_str(), 14));
  ASSERT_EQ(open(), 1);
  // The alarm ends the child only if the frame neither returned nor crashed first.
  EXPECT_EXIT((::alarm(1), render_frame(2)), ::testing::KilledBySignal(SIGALRM), "");
}

}  // namespace
}  // namespace paravelle::host_test

namespace paravelle::host::standalone::raytrace {
namespace {

using ::testing::HasSubstr;

constexpr int kSize = 65;  // odd, so the centre pixel straddles the view axis
constexpr float kUntouched = -7.0f;
const Colour kRed{0.8f, 0.1f, 0.1f};
const Colour kGrey{0.5f, 0.5f, 0.5f};

// Looking straight down from z = 10 with a 90 degree view: a point (X, Y, 0) lies at
// pixel (32.5 + 3.25 X, 32.5 - 3.25 Y). A red sphere floats over a grey slab; the slab
// ends at |X|, |Y| = 5, so the image corners see the background. The light throws the
// sphere's shadow around (-2, 0, 0).
Scene test_scene() {
  Scene scene;
  scene.spheres.push_back({{0, 0, 2}, 1, kRed});
  scene.boxes.push_back({{-5, -5, -1}, {5, 5, 0}, kGrey});
  scene.point_lights.push_back({{4, 0, 6}});
  scene.background = {0.2f, 0.3f, 0.4f};
  scene.background_alpha = 0.25f;
  scene.ambient = {0.1f, 0.1f, 0.1f};
  return scene;
}

Camera top_camera() {
  Camera camera;
  camera.position = {0, 0, 10};
  camera.up = {0, 1, 0};
  camera.fov_degrees = 90;
  return camera;
}

struct Buffers {
  explicit Buffers(int w, int h)
      : width(w),
        height(h),
        rgba(4 * w * h, kUntouched),
        alpha(w * h, kUntouched),
        z(w * h, kUntouched),
        normals(3 * w * h, kUntouched),
        diffuse(3 * w * h, kUntouched) {}
  Target target() {
    return {.width = width,
            .height = height,
            .rgba = rgba.data(),
            .alpha = alpha.data(),
            .z_depth = z.data(),
            .normals = normals.data(),
            .diffuse = diffuse.data()};
  }
  const float* pixel(int x, int y) const { return &rgba[4 * (y * width + x)]; }
  int index(int x, int y) const { return y * width + x; }
  bool operator==(const Buffers&) const = default;

  int width, height;
  std::vector<float> rgba, alpha, z, normals, diffuse;
};

// Counts the tiles reported; the render goes on.
class CountingProgress : public Progress {
 public:
  void title(const std::wstring&) override {}
  bool tile_done(int, int) override { return ++tiles, true; }
  std::atomic<int> tiles{0};
};

Buffers render_full(const Options& options = {}, const Scene& scene = test_scene(),
                    const Camera& camera = top_camera()) {
  Buffers b(kSize, kSize);
  Target t = b.target();
  CountingProgress progress;
  EXPECT_TRUE(render(scene, camera, t, options, progress));
  return b;
}

TEST(RaytraceTest, PixelsAndElementBuffersOfASmallScene) {
  const Buffers b = render_full();
  const float* corner = b.pixel(0, 0);
  EXPECT_EQ(std::vector<float>(corner, corner + 4), (std::vector<float>{0.2f, 0.3f, 0.4f, 0.25f}));

  // Sphere top, lit at 0.6 from the light: ambient + Lambert + a faint highlight.
  const float* top = b.pixel(32, 32);
  EXPECT_NEAR(top[0], 0.08 + 0.8 * 0.6 + 0.006, 0.02);
  EXPECT_NEAR(top[1], 0.01 + 0.1 * 0.6 + 0.006, 0.01);
  EXPECT_EQ(top[3], 1.0f);

  // In the shadow only the ambient term is left; the mirrored point is lit.
  EXPECT_NEAR(b.pixel(25, 32)[0], 0.05f, 1e-6);
  EXPECT_NEAR(b.pixel(25, 32)[2], 0.05f, 1e-6);
  EXPECT_GT(b.pixel(39, 32)[0], 0.4f);

  // The element buffers of the same render.
  const int sky = b.index(0, 0), sphere = b.index(32, 32), slab = b.index(39, 32), side = b.index(35, 32);
  EXPECT_EQ(std::vector<float>({b.alpha[sky], b.alpha[sphere], b.alpha[slab]}), std::vector<float>({0, 1, 1}));

  EXPECT_EQ(b.z[sky], kNoHitDepth);
  EXPECT_NEAR(b.z[sphere], 7.0f, 0.01);
  EXPECT_NEAR(b.z[slab], 10.0f, 1e-5);

  EXPECT_THAT(std::vector<float>(&b.normals[3 * sky], &b.normals[3 * sky + 3]), ::testing::Each(0.0f));
  EXPECT_NEAR(b.normals[3 * sphere + 2], 1.0f, 0.001);
  EXPECT_GT(b.normals[3 * side], 0.75f);  // the sphere's flank leans towards +X
  EXPECT_NEAR(b.normals[3 * side + 1], 0.5f, 0.02);
  EXPECT_NEAR(b.normals[3 * slab + 2], 1.0f, 1e-6);

  EXPECT_FLOAT_EQ(b.diffuse[3 * sphere], kRed.r);
  EXPECT_FLOAT_EQ(b.diffuse[3 * sphere + 1], kRed.g);
  EXPECT_FLOAT_EQ(b.diffuse[3 * slab + 2], kGrey.b);
  EXPECT_EQ(b.diffuse[3 * sky], 0.0f);

  // A camera looking along its up vector gets the frame it would have with up = +Y.
  Camera along_up = top_camera();
  along_up.up = {0, 0, 1};
  EXPECT_TRUE(render_full({}, test_scene(), along_up) == b);
}

}  // namespace
}  // namespace paravelle::host::standalone::raytrace
