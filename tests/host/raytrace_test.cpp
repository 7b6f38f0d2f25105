#include "host/standalone/raytrace/render.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <utility>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

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

class RecordingProgress : public Progress {
 public:
  void title(const std::wstring& text) override {
    const std::lock_guard lock(mutex);
    titles.push_back(text);
    title_thread = std::this_thread::get_id();
  }
  bool tile_done(int done, int total) override {
    {
      const std::lock_guard lock(mutex);
      calls.emplace_back(done, total);
      threads.insert(std::this_thread::get_id());
    }
    return on_tile ? on_tile(done) : true;
  }
  std::mutex mutex;
  std::vector<std::wstring> titles;
  std::thread::id title_thread;
  std::vector<std::pair<int, int>> calls;
  std::set<std::thread::id> threads;
  std::function<bool(int)> on_tile;
};

Buffers render_full(const Options& options = {}, const Scene& scene = test_scene(),
                    const Camera& camera = top_camera()) {
  Buffers b(kSize, kSize);
  Target t = b.target();
  RecordingProgress progress;
  EXPECT_TRUE(render(scene, camera, t, options, progress));
  return b;
}

// The test scene in 9 x 9 tiles of at most 8 x 8 on four threads, reporting to `progress`.
bool render_tiles(Buffers& b, RecordingProgress& progress) {
  Target t = b.target();
  return render(test_scene(), top_camera(), t, {.threads = 4, .tile_size = 8}, progress);
}

std::size_t running_threads() {
  const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
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
}

TEST(RaytraceTest, SameBuffersWhateverTheThreadsAndTiles) {
  const Buffers one = render_full({.samples_per_axis = 3, .threads = 1, .tile_size = 64});
  const Buffers four = render_full({.samples_per_axis = 3, .threads = 4, .tile_size = 7});
  EXPECT_TRUE(one == four);
  // A camera looking along its up vector gets the same frame as with up = +Y.
  Camera along_up = top_camera();
  along_up.up = {0, 0, 1};
  EXPECT_TRUE(render_full({.samples_per_axis = 3, .threads = 1, .tile_size = 64}, test_scene(), along_up) == one);
}

TEST(RaytraceTest, RegionAndCropMatchTheFullRender) {
  const Buffers full = render_full();
  const RECT region{10, 20, 30, 25};
  Buffers in_place(kSize, kSize);
  Target t = in_place.target();
  t.region = region;
  t.use_region = true;
  RecordingProgress progress;
  ASSERT_TRUE(render(test_scene(), top_camera(), t, {.threads = 2, .tile_size = 8}, progress));
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x) {
      const bool inside = x >= 10 && x < 30 && y >= 20 && y < 25;
      const int i = in_place.index(x, y);
      ASSERT_EQ(in_place.alpha[i], inside ? full.alpha[i] : kUntouched) << x << "," << y;
      ASSERT_EQ(in_place.pixel(x, y)[0], inside ? full.pixel(x, y)[0] : kUntouched) << x << "," << y;
    }

  Buffers crop(20, 5);
  Target c = crop.target();
  c.full_width = c.full_height = kSize;
  c.origin_x = 10;
  c.origin_y = 20;
  ASSERT_TRUE(render(test_scene(), top_camera(), c, {.tile_size = 3}, progress));
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 20; ++x) {
      const float* got = crop.pixel(x, y);
      const float* want = full.pixel(x + 10, y + 20);
      ASSERT_EQ(std::vector<float>(got, got + 4), std::vector<float>(want, want + 4)) << x << "," << y;
      ASSERT_EQ(crop.z[crop.index(x, y)], full.z[full.index(x + 10, y + 20)]);
    }
}

TEST(RaytraceTest, ProgressReportsEveryTileInOrder) {
  RecordingProgress progress;
  // Holding the first report back lets the other workers take tiles meanwhile.
  progress.on_tile = [](int done) {
    if (done == 1) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return true;
  };
  Buffers b(kSize, kSize);
  ASSERT_TRUE(render_tiles(b, progress));
  EXPECT_EQ(progress.titles, std::vector<std::wstring>{L"Rendering image..."});
  EXPECT_EQ(progress.title_thread, std::this_thread::get_id());
  ASSERT_EQ(progress.calls.size(), 81u);
  for (int i = 0; i < 81; ++i) EXPECT_EQ(progress.calls[i], std::make_pair(i + 1, 81));
  EXPECT_GE(progress.threads.size(), 2u);
}

TEST(RaytraceTest, AbortSkipsTheRemainingTiles) {
  RecordingProgress progress;
  progress.on_tile = [](int done) { return done < 5; };
  Buffers b(kSize, kSize);
  EXPECT_FALSE(render_tiles(b, progress));
  ASSERT_EQ(progress.calls.size(), 5u);
  EXPECT_EQ(progress.calls.back(), std::make_pair(5, 81));
  // At most the aborting tile's batch (one per thread) finishes after tile 5.
  const auto untouched = std::count(b.alpha.begin(), b.alpha.end(), kUntouched);
  EXPECT_GE(untouched, kSize * kSize - 8 * 64);
}

TEST(RaytraceTest, ExceptionFromProgressReachesTheCallerAfterJoining) {
  const std::size_t before = running_threads();
  RecordingProgress progress;
  progress.on_tile = [](int done) -> bool {
    if (done == 3) throw std::runtime_error("connection lost");
    return true;
  };
  Buffers b(kSize, kSize);
  try {
    render_tiles(b, progress);
    ADD_FAILURE() << "the progress callback's exception was swallowed";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "connection lost");
  }
  EXPECT_EQ(progress.calls.size(), 3u);
  EXPECT_EQ(running_threads(), before);
}

TEST(RaytraceTest, DepthOfFieldBlursOnlyOffTheFocalPlane) {
  Scene scene;
  scene.boxes.push_back({{-3, -3, -1e-6}, {-1, 3, 0}, kGrey});  // its top face is the plane in focus
  scene.spheres.push_back({{2.5, 0, 6}, 1, kRed});              // four units from the lens
  scene.directional_lights.push_back({});
  Camera camera = top_camera();
  camera.aperture = 0.5;
  camera.focal_distance = 10;
  camera.lens_offset = {1, 0, 0};
  const Buffers right = render_full({}, scene, camera);
  camera.lens_offset = {-1, 0, 0};
  const Buffers left = render_full({}, scene, camera);
  // Coverage shows where edges land; shading may differ, as highlights move with the eye.
  float in_focus = 0, out_of_focus = 0;
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x) {
      float& worst = x < 32 ? in_focus : out_of_focus;
      worst = std::max(worst, std::abs(right.alpha[right.index(x, y)] - left.alpha[left.index(x, y)]));
    }
  EXPECT_EQ(in_focus, 0.0f);
  EXPECT_GE(out_of_focus, 0.5f);

  camera.aperture = 0;  // a pinhole ignores the lens offset
  EXPECT_TRUE(render_full({}, scene, camera) == render_full({}, scene, top_camera()));
}

// Bad input is refused before anything happens; nothing to render (message null) is no error.
TEST(RaytraceTest, BadInputIsRefusedAndAnEmptyJobDoesNothing) {
  struct Job {
    Scene scene = test_scene();
    Camera camera = top_camera();
    Buffers buffers{kSize, kSize};
    Target target = buffers.target();
    Options options;
  };
  const std::pair<const char*, void (*)(Job&)> cases[] = {
      {"a size cannot be negative", [](Job& j) { j.target.width = -1; }},
      {"do not lie inside the 65x65 image", [](Job& j) { j.target.full_width = 65, j.target.origin_x = 1; }},
      {"No colour buffer", [](Job& j) { j.target.rgba = nullptr; }},
      {"pixel aspect is 0; it must be above 0", [](Job& j) { j.target.pixel_aspect = 0; }},
      {"right or bottom edge before", [](Job& j) { j.target.use_region = true, j.target.region = {5, 0, 4, 9}; }},
      {"Samples per axis is 0", [](Job& j) { j.options.samples_per_axis = 0; }},
      {"Samples per axis is 65", [](Job& j) { j.options.samples_per_axis = 65; }},
      {"Thread count is -1", [](Job& j) { j.options.threads = -1; }},
      {"Tile size is 0", [](Job& j) { j.options.tile_size = 0; }},
      {"more than can be counted", [](Job& j) { j.target.width = j.target.height = 50000, j.options.tile_size = 1; }},
      {"same point", [](Job& j) { j.camera.target = j.camera.position; }},
      {"field of view is 180 degrees", [](Job& j) { j.camera.fov_degrees = 180; }},
      {"aperture is -1;", [](Job& j) { j.camera.aperture = -1; }},
      {"Sphere 0 has radius 0 ", [](Job& j) { j.scene.spheres[0].radius = 0; }},
      {"Plane 0 has a zero", [](Job& j) { j.scene.planes.emplace_back().normal = {}; }},
      {"Box 0 has a minimum corner above", [](Job& j) { j.scene.boxes[0].min.z = 1; }},
      {"Directional light 0 has a zero", [](Job& j) { j.scene.directional_lights.emplace_back().direction = {}; }},
      {nullptr, [](Job& j) { j.target.width = 0; }},
      {nullptr, [](Job& j) { j.target.use_region = true, j.target.region = {10, 10, 10, 20}; }},
      {nullptr, [](Job& j) { j.target.use_region = true, j.target.region = {70, 0, 90, 20}; }},
  };
  for (const auto& [message, spoil] : cases) {
    Job job;
    spoil(job);
    RecordingProgress progress;
    const std::string name = message ? message : "nothing to render";
    try {
      EXPECT_TRUE(render(job.scene, job.camera, job.target, job.options, progress) && !message) << "accepted: " << name;
    } catch (const std::invalid_argument& e) {
      EXPECT_THAT(e.what(), HasSubstr(name));
    }
    EXPECT_TRUE(progress.titles.empty() && progress.calls.empty()) << name;
    EXPECT_TRUE(job.buffers == Buffers(kSize, kSize)) << name;
  }
}

}  // namespace
}  // namespace paravelle::host::standalone::raytrace
