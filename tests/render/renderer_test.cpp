#include "render/renderer.h"

#include <gmock/gmock.h>

#include "host/platform.h"
#include "host/standalone/bitmaps.h"
#include "job_fixture.h"
#include "render/frame_pipeline.h"
#include "render/job_start.h"
#include "render/progress_callback.h"

namespace paravelle::render {
namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::StartsWith;

const json one_pass_effect = {"0x6cc9546e", "0x0b1961b9"};
const json holder_camera = {"0x399ee5f2", "0x584a71a8"};
const json renderer_a = {"0x52ad1c02", "0x112d2fbc"};
const json renderer_c = {"0x58f67d6c", "0x4fcf3bc3"};

json depth_of_field(int passes) { return {{"type", "depth_of_field"}, {"passes", passes}, {"aperture", 0.0}}; }

json camera(const std::string& name, json extra = json::object()) {
  json node = {{"name", name}, {"type", "camera"}, {"position", {0, -10, 0}}};
  node.update(extra);
  return node;
}

class RendererTest : public JobTest {
 protected:
  // No progress reports unless a test asks for them: they would mix with the lines.
  void SetUp() override {
    JobTest::SetUp();
    lastProgressTick.store(::paravelle::host::tick_count());
  }
  // A job on the small scene with its camera node replaced.
  void start(const json& cam, const json& renderer = nullptr, const json& extra = json::object(),
             const std::wstring& camera_name = L"") {
    json scene = paravelle::testing::small_job_scene();
    scene["nodes"][0] = cam;
    if (!renderer.is_null()) scene["renderer"] = {{"class_id", renderer}};
    scene.update(extra);
    state = job::JobState();
    StartJob(state, scene_file(scene), camera_name);
  }
};

// Where the camera's multipass effect comes from and how many passes it has.
TEST_F(RendererTest, DecidesMultipassWhenItOpensTheRenderer) {
  const json holder = camera("Multipass", {{"multipass", depth_of_field(3)}});
  const json holder_cam = {{"class_id", holder_camera}, {"multipass", depth_of_field(5)}, {"children", {holder}}};
  const json one_pass = {{"multipass", {{"type", "depth_of_field"}, {"class_id", one_pass_effect}}}};
  const struct {
    json cam, renderer;
    bool disable;
    int passes;  // 0: multipass off (one pass)
    bool holder_line;
  } cases[] = {
      {camera("Cam", {{"multipass", depth_of_field(4)}}), nullptr, false, 4, false},
      {camera("Cam", {{"multipass", depth_of_field(4)}}), nullptr, true, 0, false},
      {camera("Cam", {{"multipass", {{"type", "motion_blur"}, {"enabled", false}}}}), nullptr, false, 0, false},
      {camera("Cam"), nullptr, false, 0, false},
      {camera("Cam", one_pass), nullptr, false, 0, false},
      {camera("Cam", one_pass), renderer_c, false, 1, false},
      {camera("Cam", holder_cam), renderer_a, false, 3, true},
      {camera("Cam", holder_cam), renderer_a, true, 0, true},
      {camera("Cam", holder_cam), nullptr, false, 5, false},  // the holder rule is renderer A's
      // The last holder wins; a child named in another case is none.
      {camera("Cam", {{"class_id", holder_camera},
                      {"children", {holder, camera("Multipass", {{"multipass", depth_of_field(6)}})}}}),
       renderer_a, false, 6, true},
      {camera("Cam", {{"class_id", holder_camera},
                      {"multipass", depth_of_field(5)},
                      {"children", {camera("multipass", {{"multipass", depth_of_field(3)}})}}}),
       renderer_a, false, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cam.dump());
    start(c.cam, c.renderer);
    state.disableMultipass = c.disable;
    farm.take();
    SetupRenderParameters(state, 3, connection);
    EXPECT_TRUE(state.rendererOpen);
    EXPECT_EQ(state.multipassEnabled, c.passes > 0);
    EXPECT_EQ(state.multipassPassCount, std::max(c.passes, 1));
    std::vector<std::string> expected = {"Setting up render parameters", "Rendering camera node Cam",
                                         "Checking multipass info for frame 3"};
    if (c.holder_line) expected.push_back("Multipass plugin holder camera node Multipass");
    expected.insert(expected.end(), {"Opening renderer", c.passes ? "Multipass enabled" : "Multipass disabled",
                                     "Rendering " + std::to_string(std::max(c.passes, 1)) + " passes"});
    EXPECT_EQ(farm_lines(), expected);
    SetupRenderParameters(state, 4, connection);  // open already: nothing happens
    EXPECT_TRUE(farm.take().empty());
    EndJob(state);
  }
}

// A viewport's own view has no camera and so no multipass, whatever the job before had.
TEST_F(RendererTest, AViewportRenderHasOnePass) {
  start(camera("Cam", {{"multipass", depth_of_field(4)}}));
  SetupRenderParameters(state, 0, connection);
  ASSERT_TRUE(state.multipassEnabled);
  EndJob(state);
  for (const bool locked : {false, true}) {
    start(camera("Cam", {{"multipass", depth_of_field(4)}}), nullptr,
          {{"active_viewport", 1}, {"render_active_viewport", !locked}, {"locked_viewport", 1}});
    farm.take();
    SetupRenderParameters(state, 0, connection);
    EXPECT_FALSE(state.multipassEnabled);
    EXPECT_THAT(farm_lines(), ElementsAre("Setting up render parameters",
                                          locked ? "Rendering LOCKED viewport at index 1" : "Rendering viewport",
                                          "Opening renderer", "Multipass disabled", "Rendering 1 passes"));
    EXPECT_THAT(log.lines(), ::testing::Contains(::testing::MatchesRegex("Rendering view at address [0-9A-F]{16}")));
    EndJob(state);
  }
}

// Every failure leaves the renderer closed, so the next frame tries again.
TEST_F(RendererTest, FailuresToOpenTheRenderer) {
  const auto open_fault = [](const char* kind) { return json{{"faults", {{{"when", "open"}, {"kind", kind}}}}}; };
  const struct {
    json cam, renderer, extra;
    std::wstring camera_name;
    std::int32_t frame;
    std::string expected;  // the text begins with this
  } cases[] = {
      // A group that has the camera's name, taken at job start from the active perspective view.
      {{{"name", "Cam"}, {"type", "group"}},
       nullptr,
       {{"viewports", {{{"position", {0, -10, 0}}}}}},
       L"Cam",
       0,
       "Camera node Cam is not a camera node - check that there are not other nodes or groups in the scene that "
       "have the same name as the camera"},
      {camera("Cam", {{"class_id", holder_camera}, {"children", {{{"name", "Multipass"}, {"type", "node"}}}}}),
       renderer_a, json::object(), L"", 0, "Multipass plugin holder camera node Multipass is not a camera node"},
      {camera("Cam"), nullptr, open_fault("fail"), L"", 0, "Failed to open the max renderer."},
      {camera("Cam"), nullptr, open_fault("read_null"), L"", 0,
       "Trapped SEH Exception in OpenCurRenderer(): Access Violation\nProcess:  "},
      {camera("Cam"), nullptr, json::object(), L"", 13421773,
       "Frame 13421773 at 160 ticks per frame lies outside the scene's time range."},
      {camera("Cam"), nullptr, json::object(), L"", -2147483647 - 1,
       "Frame -2147483648 at 160 ticks per frame lies outside the scene's time range."},
      {camera("Cam"), nullptr, json::object(), L"", 13421772, "no failure"},  // the last frame that fits
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    if (!machine_faults_trapped && c.expected.starts_with("Trapped")) continue;
    start(c.cam, c.renderer, c.extra, c.camera_name);
    EXPECT_THAT(failure_of([&] { SetupRenderParameters(state, c.frame, connection); }), StartsWith(c.expected));
    EXPECT_EQ(state.rendererOpen, c.expected == "no failure");
    EXPECT_EQ(host().renderer_open(), state.rendererOpen);
  }
}

BMM_Color_fl pixel(Bitmap* bitmap, int x, int y) {
  BMM_Color_fl colour{-1, -1, -1, -1};
  bitmap->Storage()->GetPixel(x, y, colour);
  return colour;
}

// The frame's bitmaps as the frame pipeline makes them: the main bitmap, each element's
// bitmap and one accumulator per element.
class MultipassTest : public RendererTest {
 protected:
  void start_multipass(const json& effect, const json& renderer = nullptr, json extra = json::object()) {
    json elements = json::parse(R"({"render_elements": {"elements": [{"name": "Alpha", "content": "alpha"},
        {"name": "Depth", "content": "zdepth", "z_max": 20}]}})");
    elements.update(extra);
    start(camera("Cam", {{"multipass", effect}}), renderer, elements);
    state.outputBitmapInfo.SetWidth(32);
    state.outputBitmapInfo.SetHeight(24);
    SetupRenderParameters(state, 0, connection);
    farm.take();
    IRenderElementMgr* const manager = host().GetRenderElementMgr();
    for (int i = 0; i < manager->NumRenderElements(); ++i) {
      PBBitmap* element = nullptr;
      manager->GetRenderElement(i)->GetPBBitmap(element);
      element->bi = state.outputBitmapInfo;
      element->bm = TheManager->Create(&element->bi);
      state.renderElements.push_back({manager->GetRenderElement(i), element, TheManager->Create(&element->bi)});
    }
    main.reset(TheManager->Create(&state.outputBitmapInfo));
    live_before = ::paravelle::host::standalone::live_bitmap_count();
    ::paravelle::host::standalone::reset_display_counters();
  }
  void TearDown() override {
    ReleaseRenderElementBitmaps(state);
    main.reset();
    RendererTest::TearDown();
  }
  std::string multipass_failure() {
    return failure_of([&] { render_multipass(state, 0, main.get(), connection); });
  }

  testing::BitmapPtr main;
  std::int64_t live_before = 0;
};

std::vector<std::string> multipass_lines(int passes, int elements, int failed_pass = 0) {
  std::vector<std::string> lines = {"Rendering multipass effect:"};
  for (int pass = 1; pass <= passes; ++pass) {
    const std::string of = " of " + std::to_string(passes);
    lines.insert(lines.end(),
                 {"  Rendering pass " + std::to_string(pass) + of,
                  "  CallCurRendererRenderFrame returned code " + std::string(pass == failed_pass ? "0" : "1")});
    if (pass == failed_pass) return lines;
    lines.push_back("  Accumulating bitmap");
    for (int i = 1; i <= elements; ++i)
      lines.push_back("  Accumulating render element " + std::to_string(i) + " of " + std::to_string(elements));
    lines.push_back("  Success");
  }
  return lines;
}

TEST_F(MultipassTest, RendersEachPassAndAccumulatesTheImageAndEveryElement) {
  start_multipass(depth_of_field(3));
  EXPECT_EQ(multipass_failure(), "no failure");
  EXPECT_EQ(farm_lines(), multipass_lines(3, 2));
  // A pinhole lens: every pass sees the same, so the average is one pass's image.
  EXPECT_FLOAT_EQ(pixel(main.get(), 16, 12).r, 0.8f);
  EXPECT_FLOAT_EQ(pixel(main.get(), 0, 0).a, 0.0f);
  EXPECT_FLOAT_EQ(pixel(state.renderElements[0].accumulator, 16, 12).r, 1.0f);    // the sphere's alpha
  EXPECT_GT(pixel(state.renderElements[1].accumulator, 16, 12).r, 0.5f);          // its depth
  EXPECT_EQ(::paravelle::host::standalone::display_counters().display_calls, 3);  // the pass bitmap, once a pass
  EXPECT_EQ(::paravelle::host::standalone::live_bitmap_count(), live_before);     // the pass bitmap is gone
}

TEST_F(MultipassTest, TheOnePassEffectOfRendererCStillGoesThroughTheEffect) {
  start_multipass({{"type", "depth_of_field"}, {"class_id", one_pass_effect}}, renderer_c,
                  {{"render_elements", {{"active", false}}}});
  ASSERT_TRUE(state.multipassEnabled);
  EXPECT_EQ(multipass_failure(), "no failure");
  EXPECT_EQ(farm_lines(), multipass_lines(1, 0));
  EXPECT_FLOAT_EQ(pixel(main.get(), 16, 12).r, 0.8f);
}

TEST_F(MultipassTest, TheFrameBufferShowsEachPassUnlessHiddenOrRendererA) {
  start_multipass(depth_of_field(2), renderer_a);
  for (const bool type_a : {true, false}) {
    state.rendererIsTypeA = type_a;
    for (const bool shown : {false, true}) {
      state.showFrameBuffer = shown;
      ::paravelle::host::standalone::reset_display_counters();
      EXPECT_EQ(multipass_failure(), "no failure");
      EXPECT_EQ(::paravelle::host::standalone::display_counters().display_calls, shown && !type_a ? 2 : 0);
      EXPECT_EQ(::paravelle::host::standalone::display_counters().shown_now, 0);
    }
  }
}

TEST_F(MultipassTest, AFailedPassFreesThePassBitmapAndTheElementBitmaps) {
  start_multipass(depth_of_field(3), nullptr, {{"faults", {{{"when", "render"}, {"frame", 0}, {"kind", "fail"}}}}});
  EXPECT_EQ(multipass_failure(), "Failed to render the frame for pass 1 of 3");
  std::vector<std::string> expected = multipass_lines(3, 2, 1);
  expected.push_back("  Failure");
  EXPECT_EQ(farm_lines(), expected);
  EXPECT_EQ(state.renderElements[0].output->bm, nullptr);
  EXPECT_EQ(state.renderElements[1].output->bm, nullptr);
  EXPECT_EQ(::paravelle::host::standalone::live_bitmap_count(), live_before - 2);
}

TEST_F(MultipassTest, ACrashInAPassFailsTheFrameWithTheCrashReport) {
  if (!machine_faults_trapped) GTEST_SKIP() << "machine faults are not trapped under ThreadSanitizer";
  start_multipass(depth_of_field(3), nullptr,
                  {{"faults", {{{"when", "render"}, {"frame", 0}, {"kind", "divide_by_zero"}}}}});
  const std::string failure = multipass_failure();
  EXPECT_THAT(failure, StartsWith("Trapped SEH Exception in CurRendererRenderFrame(): Integer Divide By Zero\n"
                                  "Process:  "));
  EXPECT_EQ(failure.substr(failure.find('\n') + 1), state.lastCrashReport);
  EXPECT_EQ(farm_lines(), multipass_lines(3, 2, 1));
  EXPECT_EQ(::paravelle::host::standalone::live_bitmap_count(), live_before);
}

// Bitmaps that cannot be made fail the frame before anything renders.
TEST_F(MultipassTest, MissingBitmapsFailTheFrameWithAClearText) {
  start_multipass(depth_of_field(2));
  state.outputBitmapInfo.SetWidth(0);
  EXPECT_EQ(multipass_failure(),
            "Failed to allocate the pass bitmap of the multipass render: TheManager->Create() returned NULL");
  state.outputBitmapInfo.SetWidth(32);
  state.renderElements.back().accumulator->DeleteThis();
  state.renderElements.back().accumulator = nullptr;
  EXPECT_EQ(multipass_failure(),
            "Failed to allocate the accumulation bitmap of render element 2 of 2: TheManager->Create() returned NULL");
  EXPECT_THAT(farm_lines(), ::testing::Each("Rendering multipass effect:"));
  EXPECT_EQ(::paravelle::host::standalone::live_bitmap_count(), live_before - 1);
}

}  // namespace
}  // namespace paravelle::render
