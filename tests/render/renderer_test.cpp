#include "render/renderer.h"

#include <gmock/gmock.h>

#include <memory>

#include "host/platform.h"
#include "host/standalone/bitmaps.h"
#include "job_fixture.h"
#include "render/job_start.h"
#include "render/progress_callback.h"

namespace paravelle::render {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const char* const one_pass_effect[2] = {"0x6cc9546e", "0x0b1961b9"};
const char* const holder_camera[2] = {"0x399ee5f2", "0x584a71a8"};
const char* const renderer_a[2] = {"0x52ad1c02", "0x112d2fbc"};
const char* const renderer_c[2] = {"0x58f67d6c", "0x4fcf3bc3"};

nlohmann::json class_id(const char* const id[2]) { return {id[0], id[1]}; }

nlohmann::json depth_of_field(int passes) {
  return {{"type", "depth_of_field"}, {"passes", passes}, {"aperture", 0.0}};
}

nlohmann::json camera(const std::string& name, nlohmann::json extra = nlohmann::json::object()) {
  nlohmann::json node = {{"name", name}, {"type", "camera"}, {"position", {0, -10, 0}}, {"target", {0, 0, 0}}};
  node.update(extra);
  return node;
}

class RendererTest : public JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    // No progress reports unless a test asks for them: they would mix with the lines.
    lastProgressTick.store(::host::tick_count());
  }
  // Starts a job on the small scene with the camera node replaced and the renderer set.
  void start(const nlohmann::json& cam, const char* const renderer[2] = nullptr,
             const nlohmann::json& extra = nlohmann::json::object(), const std::wstring& camera_name = L"") {
    nlohmann::json scene = testing::small_job_scene();
    scene["nodes"][0] = cam;
    if (renderer) scene["renderer"] = {{"class_id", class_id(renderer)}};
    scene.update(extra);
    StartJob(state, scene_file(scene), camera_name);
  }
  std::string open_failure(std::int32_t frame = 0) {
    try {
      SetupRenderParameters(state, frame, connection);
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "opened";
  }
};

// Where the camera's multipass effect comes from and how many passes it has.
TEST_F(RendererTest, DecidesMultipassWhenItOpensTheRenderer) {
  struct Case {
    const char* name;
    nlohmann::json cam;
    const char* const* renderer;
    bool disable;
    bool enabled;
    int passes;
    bool holder_line;
  };
  const nlohmann::json holder_children = {camera("Multipass", {{"multipass", depth_of_field(3)}})};
  const Case cases[] = {
      {"the camera's effect", camera("Cam", {{"multipass", depth_of_field(4)}}), nullptr, false, true, 4, false},
      {"switched off by the farm", camera("Cam", {{"multipass", depth_of_field(4)}}), nullptr, true, false, 1, false},
      {"switched off in the scene",
       camera("Cam", {{"multipass", {{"type", "motion_blur"}, {"passes", 4}, {"enabled", false}}}}), nullptr, false,
       false, 1, false},
      {"no effect", camera("Cam"), nullptr, false, false, 1, false},
      {"one-pass effect",
       camera("Cam", {{"multipass", {{"type", "depth_of_field"}, {"class_id", class_id(one_pass_effect)}}}}), nullptr,
       false, false, 1, false},
      {"one-pass effect, renderer C",
       camera("Cam", {{"multipass", {{"type", "depth_of_field"}, {"class_id", class_id(one_pass_effect)}}}}),
       renderer_c, false, true, 1, false},
      {"holder camera, renderer A",
       camera("Cam", {{"class_id", class_id(holder_camera)}, {"multipass", depth_of_field(5)},
                      {"children", holder_children}}),
       renderer_a, false, true, 3, true},
      {"holder camera, renderer A, switched off by the farm",
       camera("Cam", {{"class_id", class_id(holder_camera)}, {"children", holder_children}}), renderer_a, true, false,
       1, true},
      {"holder camera, renderer A, the last holder wins",
       camera("Cam", {{"class_id", class_id(holder_camera)},
                      {"children", {camera("Multipass", {{"multipass", depth_of_field(2)}}),
                                    camera("Multipass", {{"multipass", depth_of_field(6)}})}}}),
       renderer_a, false, true, 6, true},
      {"holder camera without a holder: the camera's own effect does not count",
       camera("Cam", {{"class_id", class_id(holder_camera)}, {"multipass", depth_of_field(5)},
                      {"children", {camera("multipass", {{"multipass", depth_of_field(3)}})}}}),
       renderer_a, false, false, 1, false},
      {"holder camera with another renderer: the camera's own effect",
       camera("Cam", {{"class_id", class_id(holder_camera)}, {"multipass", depth_of_field(5)},
                      {"children", holder_children}}),
       nullptr, false, true, 5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    state = daemon::JobState();
    state.disableMultipass = c.disable;
    start(c.cam, c.renderer);
    farm_messages();
    SetupRenderParameters(state, 3, connection);

    EXPECT_TRUE(state.rendererOpen);
    EXPECT_EQ(state.multipassEnabled, c.enabled);
    EXPECT_EQ(state.multipassPassCount, c.passes);
    std::vector<std::string> expected = {"Setting up render parameters", "Rendering camera node Cam",
                                         "Checking multipass info for frame 3"};
    if (c.holder_line) expected.push_back("Multipass plugin holder camera node Multipass");
    expected.insert(expected.end(), {"Opening renderer", c.enabled ? "Multipass enabled" : "Multipass disabled",
                                     "Rendering " + std::to_string(c.passes) + " passes"});
    EXPECT_EQ(farm_lines(), expected);
    // Open already: nothing happens.
    SetupRenderParameters(state, 4, connection);
    EXPECT_TRUE(farm_messages().empty());
    EndJob(state);
  }
}

// A viewport's own view has no camera and so no multipass, whatever the job before had.
TEST_F(RendererTest, AViewportRenderHasOnePass) {
  start(camera("Cam", {{"multipass", depth_of_field(4)}}));
  SetupRenderParameters(state, 0, connection);
  ASSERT_TRUE(state.multipassEnabled);
  EndJob(state);
  farm_messages();

  for (const bool locked : {false, true}) {
    SCOPED_TRACE(locked);
    const testing::LogCapture job_log;
    start(camera("Cam", {{"multipass", depth_of_field(4)}}), nullptr,
          {{"active_viewport", 1}, {"render_active_viewport", !locked}, {"locked_viewport", 1}});
    SetupRenderParameters(state, 0, connection);
    EXPECT_FALSE(state.multipassEnabled);
    EXPECT_EQ(state.multipassPassCount, 1);
    EXPECT_THAT(farm_lines(), ElementsAre("Setting up render parameters",
                                          locked ? "Rendering LOCKED viewport at index 1" : "Rendering viewport",
                                          "Opening renderer", "Multipass disabled", "Rendering 1 passes"));
    EXPECT_THAT(job_log.lines(),
                ::testing::Contains(::testing::MatchesRegex("Rendering view at address [0-9A-F]{16}")));
    EndJob(state);
  }
}

// Every failure leaves the renderer closed, so the next frame tries again.
TEST_F(RendererTest, FailuresToOpenTheRenderer) {
  // A group that has the camera's name, taken at job start from the active perspective view.
  const nlohmann::json group = {{"name", "Cam"}, {"type", "group"}};
  const nlohmann::json perspective_only = {{"viewports", {{{"position", {0, -10, 0}}}}}};
  const auto faults = [](const char* kind) { return nlohmann::json{{"faults", {{{"when", "open"}, {"kind", kind}}}}}; };
  struct Case {
    const char* name;
    nlohmann::json cam;
    const char* const* renderer;
    nlohmann::json extra;
    std::wstring camera_name;
    std::int32_t frame;
    std::string expected;  // the failure's text begins with this
  };
  const Case cases[] = {
      {"the camera name names a group", group, nullptr, perspective_only, L"Cam", 0,
       "Camera node Cam is not a camera node - check that there are not other nodes or groups in the scene that "
       "have the same name as the camera"},
      {"the holder is not a camera",
       camera("Cam",
              {{"class_id", class_id(holder_camera)}, {"children", {{{"name", "Multipass"}, {"type", "node"}}}}}),
       renderer_a, nlohmann::json::object(), L"", 0,
       "Multipass plugin holder camera node Multipass is not a camera node"},
      {"the renderer refuses to open", camera("Cam"), nullptr, faults("fail"), L"", 0,
       "Failed to open the max renderer."},
      {"the renderer crashes opening", camera("Cam"), nullptr, faults("read_null"), L"", 0,
       "Trapped SEH Exception in OpenCurRenderer(): Access Violation\nProcess:  "},
      {"a frame whose time does not fit 32 bits", camera("Cam"), nullptr, nlohmann::json::object(), L"", 13421773,
       "Frame 13421773 at 160 ticks per frame lies outside the scene's time range."},
      {"the most negative frame", camera("Cam"), nullptr, nlohmann::json::object(), L"", -2147483647 - 1,
       "Frame -2147483648 at 160 ticks per frame lies outside the scene's time range."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!machine_faults_trapped && c.expected.starts_with("Trapped")) continue;
    state = daemon::JobState();
    start(c.cam, c.renderer, c.extra, c.camera_name);
    EXPECT_THAT(open_failure(c.frame), StartsWith(c.expected));
    EXPECT_FALSE(state.rendererOpen);
    EXPECT_FALSE(host().renderer_open());
    EndJob(state);
  }
  // The last frame whose time fits opens.
  start(camera("Cam"));
  EXPECT_EQ(open_failure(13421772), "opened");
}

TEST_F(RendererTest, CloseRendererClosesAnOpenRendererOnly) {
  start(camera("Cam"));
  CloseRenderer(state);  // not open: nothing to do
  SetupRenderParameters(state, 0, connection);
  ASSERT_TRUE(host().renderer_open());
  CloseRenderer(state);
  EXPECT_FALSE(state.rendererOpen);
  EXPECT_FALSE(host().renderer_open());
}

struct BitmapDeleter {
  void operator()(Bitmap* bitmap) const { bitmap->DeleteThis(); }
};
using OwnedBitmap = std::unique_ptr<Bitmap, BitmapDeleter>;

BMM_Color_fl pixel(Bitmap* bitmap, int x, int y) {
  BMM_Color_fl colour{-1, -1, -1, -1};
  if (bitmap) bitmap->Storage()->GetPixel(x, y, colour);
  return colour;
}

// The frame's bitmaps as the frame pipeline makes them: the main bitmap, each enabled
// element's bitmap and, for multipass, one accumulator per element.
class MultipassTest : public RendererTest {
 protected:
  void start_multipass(const nlohmann::json& effect, const char* const renderer[2] = nullptr,
                       const nlohmann::json& extra = nlohmann::json::object()) {
    nlohmann::json with_elements = nlohmann::json::parse(R"({"render_elements": {"elements": [
        {"name": "Alpha", "content": "alpha"}, {"name": "Depth", "content": "zdepth", "z_max": 20}]}})");
    with_elements.update(extra);
    start(camera("Cam", {{"multipass", effect}}), renderer, with_elements);
    state.outputBitmapInfo.SetWidth(32);
    state.outputBitmapInfo.SetHeight(24);
    SetupRenderParameters(state, 0, connection);
    farm_messages();
    IRenderElementMgr* const manager = host().GetRenderElementMgr();
    for (int i = 0; i < manager->NumRenderElements(); ++i) {
      IRenderElement* const element = manager->GetRenderElement(i);
      PBBitmap* description = nullptr;
      element->GetPBBitmap(description);
      description->bi.SetWidth(32);
      description->bi.SetHeight(24);
      description->bm = TheManager->Create(&description->bi);
      state.renderElements.push_back(element);
      state.renderElementBitmaps.push_back(description);
      state.renderElementAccumulators.push_back(TheManager->Create(&description->bi));
    }
    state.renderElementCount = manager->NumRenderElements();
    main.reset(TheManager->Create(&state.outputBitmapInfo));
    live_before = ::host::standalone::live_bitmap_count();
    ::host::standalone::reset_display_counters();
  }
  void TearDown() override {
    for (PBBitmap* element : state.renderElementBitmaps)
      if (element->bm) element->bm->DeleteThis(), element->bm = nullptr;
    for (Bitmap* accumulator : state.renderElementAccumulators) accumulator->DeleteThis();
    state.renderElementAccumulators.clear();
    main.reset();
    RendererTest::TearDown();
  }
  std::string multipass_failure() {
    try {
      RenderMultipass(state, 0, main.get(), connection);
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "rendered";
  }

  OwnedBitmap main;
  std::int64_t live_before = 0;
};

std::vector<std::string> pass_lines(int pass, int passes, int elements) {
  const std::string of = std::to_string(pass) + " of " + std::to_string(passes);
  std::vector<std::string> lines = {"  Rendering pass " + of, "  CallCurRendererRenderFrame returned code 1",
                                    "  Accumulating bitmap"};
  for (int i = 1; i <= elements; ++i)
    lines.push_back("  Accumulating render element " + std::to_string(i) + " of " + std::to_string(elements));
  lines.push_back("  Success");
  return lines;
}

TEST_F(MultipassTest, RendersEachPassAndAccumulatesTheImageAndEveryElement) {
  start_multipass(depth_of_field(3));
  EXPECT_EQ(multipass_failure(), "rendered");

  std::vector<std::string> expected = {"Rendering multipass effect:"};
  for (int pass = 1; pass <= 3; ++pass) {
    const auto lines = pass_lines(pass, 3, 2);
    expected.insert(expected.end(), lines.begin(), lines.end());
  }
  EXPECT_EQ(farm_lines(), expected);
  // A pinhole lens: every pass sees the same, so the average is one pass's image.
  const BMM_Color_fl centre = pixel(main.get(), 16, 12);
  EXPECT_FLOAT_EQ(centre.r, 0.8f);
  EXPECT_FLOAT_EQ(centre.g, 0.2f);
  EXPECT_FLOAT_EQ(pixel(main.get(), 0, 0).a, 0.0f);
  EXPECT_FLOAT_EQ(pixel(state.renderElementAccumulators[0], 16, 12).r, 1.0f);  // alpha of the sphere
  EXPECT_FLOAT_EQ(pixel(state.renderElementAccumulators[1], 0, 0).r, 0.0f);    // depth of nothing
  EXPECT_GT(pixel(state.renderElementAccumulators[1], 16, 12).r, 0.5f);
  // The frame buffer showed the pass bitmap once per pass; the pass bitmap is gone.
  EXPECT_EQ(::host::standalone::display_counters().display_calls, 3);
  EXPECT_EQ(::host::standalone::live_bitmap_count(), live_before);
}

TEST_F(MultipassTest, TheOnePassEffectOfRendererCStillGoesThroughTheEffect) {
  start_multipass({{"type", "depth_of_field"}, {"class_id", class_id(one_pass_effect)}}, renderer_c,
                  {{"render_elements", {{"active", false}}}});
  ASSERT_TRUE(state.multipassEnabled);
  EXPECT_EQ(multipass_failure(), "rendered");
  std::vector<std::string> expected = {"Rendering multipass effect:"};
  const auto lines = pass_lines(1, 1, 0);
  expected.insert(expected.end(), lines.begin(), lines.end());
  EXPECT_EQ(farm_lines(), expected);
  EXPECT_FLOAT_EQ(pixel(main.get(), 16, 12).r, 0.8f);
}

TEST_F(MultipassTest, TheFrameBufferShowsEachPassUnlessHiddenOrRendererA) {
  start_multipass(depth_of_field(2), renderer_a);
  EXPECT_EQ(multipass_failure(), "rendered");
  EXPECT_EQ(::host::standalone::display_counters().display_calls, 0);
  state.rendererIsTypeA = false;
  state.showFrameBuffer = false;
  EXPECT_EQ(multipass_failure(), "rendered");
  EXPECT_EQ(::host::standalone::display_counters().display_calls, 0);
  state.showFrameBuffer = true;
  EXPECT_EQ(multipass_failure(), "rendered");
  EXPECT_EQ(::host::standalone::display_counters().display_calls, 2);
  EXPECT_EQ(::host::standalone::display_counters().shown_now, 0);
}

TEST_F(MultipassTest, AFailedPassFreesThePassAndTheElementBitmaps) {
  start_multipass(depth_of_field(3), nullptr, {{"faults", {{{"when", "render"}, {"frame", 0}, {"kind", "fail"}}}}});
  EXPECT_EQ(multipass_failure(), "Failed to render the frame for pass 1 of 3");
  EXPECT_THAT(farm_lines(), ElementsAre("Rendering multipass effect:", "  Rendering pass 1 of 3",
                                        "  CallCurRendererRenderFrame returned code 0", "  Failure"));
  EXPECT_EQ(state.renderElementBitmaps[0]->bm, nullptr);
  EXPECT_EQ(state.renderElementBitmaps[1]->bm, nullptr);
  EXPECT_EQ(::host::standalone::live_bitmap_count(), live_before - 2);
}

TEST_F(MultipassTest, ACrashInAPassFailsTheFrameWithTheCrashReport) {
  SKIP_MACHINE_FAULTS_UNDER_TSAN();
  start_multipass(depth_of_field(3), nullptr,
                  {{"faults", {{{"when", "render"}, {"frame", 0}, {"kind", "divide_by_zero"}}}}});
  const std::string failure = multipass_failure();
  EXPECT_THAT(failure, StartsWith("Trapped SEH Exception in CurRendererRenderFrame(): Integer Divide By Zero\n"
                                  "Process:  "));
  EXPECT_EQ(failure.substr(failure.find('\n') + 1), state.lastCrashReport);
  EXPECT_THAT(farm_lines(), ElementsAre("Rendering multipass effect:", "  Rendering pass 1 of 3",
                                        "  CallCurRendererRenderFrame returned code 0"));
  EXPECT_EQ(::host::standalone::live_bitmap_count(), live_before);
}

// Bitmaps that cannot be made fail the frame before anything renders.
TEST_F(MultipassTest, MissingBitmapsFailTheFrameWithAClearText) {
  start_multipass(depth_of_field(2));
  state.outputBitmapInfo.SetWidth(0);
  EXPECT_EQ(multipass_failure(),
            "Failed to allocate the pass bitmap of the multipass render: TheManager->Create() returned NULL");

  state.outputBitmapInfo.SetWidth(32);
  state.renderElementAccumulators[1]->DeleteThis();
  state.renderElementAccumulators[1] = nullptr;
  state.renderElementAccumulators.pop_back();
  EXPECT_EQ(multipass_failure(),
            "Failed to allocate the accumulation bitmap of render element 2 of 2: TheManager->Create() returned NULL");
  EXPECT_THAT(farm_lines(), ElementsAre("Rendering multipass effect:", "Rendering multipass effect:"));
  EXPECT_EQ(::host::standalone::live_bitmap_count(), live_before - 1);
}

}  // namespace
}  // namespace paravelle::render
