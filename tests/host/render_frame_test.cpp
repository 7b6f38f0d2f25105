// The host's renderer as the plug-in drives it: OpenCurRenderer, CurRendererRenderFrame and
// CloseCurRenderer into TheManager's bitmaps, regions, render elements, multipass effects,
// progress from several threads, and the faults a scene asks for.

#include <gmock/gmock.h>

#include <unistd.h>

#include <cmath>
#include <csignal>
#include <future>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

#include "host/platform.h"
#include "host/standalone/bitmaps.h"
#include "host/standalone/camera_view.h"
#include "host/standalone/gamma_state.h"
#include "host/standalone/loaded_scene.h"
#include "host/standalone/wide_text.h"
#include "host_fixture.h"
#include "support/sanitizers.h"

namespace paravelle::host_test {
namespace {

using ::testing::ElementsAre;
using host::standalone::Vector3;

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
  EXPECT_EQ(host().CurRendererRenderFrame(0, full.get(), nullptr, 1.0f, nullptr, nullptr), 0) << "needs an open renderer";

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

TEST_F(RenderFrame, ARefusedRenderOrAFailingPreFrameScriptFailsTheFrame) {
  scene_["scripts"] = {{"pre_frame", "boom"}};
  load(scene_);
  int runs = 0;
  host::standalone::set_scene_script_runner([&](const std::wstring& script) { return ++runs, script != L"boom"; });
  BitmapPtr bitmap = make_bitmap(64, 48);
  EXPECT_EQ(render(*bitmap), 0);
  host::standalone::set_scene_script_runner(nullptr);
  EXPECT_EQ(runs, 1);
  EXPECT_THAT(pixel(*bitmap, 32, 24), Rgba(0, 0, 0, 0));
  EXPECT_EQ(render(*bitmap), 1);

  scene_["nodes"][0]["target"] = {0, -10, 0};
  load(scene_);
  EXPECT_EQ(render(*bitmap), 0);
  EXPECT_THAT(host().log_records().back().text, ::testing::StartsWith(L"CurRendererRenderFrame: the render failed: "));
}

TEST_F(RenderFrame, MultipassEffectsMoveTheLensOrSpreadTheTimeAndAverageExactly) {
  const auto effect = [&](const char* json) {
    scene_["nodes"][0]["multipass"] = nlohmann::json::parse(json);
    load(scene_);
    return static_cast<CameraObject*>(host().GetINodeByName(L"Camera01")->EvalWorldState(0));
  };
  CameraObject* camera = effect(R"({"type": "depth_of_field", "passes": 8, "aperture": 0.5, "focal_distance": 10})");
  Interval valid;
  EXPECT_EQ(camera->GetMultiPassEffectEnabled(0, valid), 1);
  IMultiPassCameraEffect* dof = camera->GetIMultiPassCameraEffect();
  EXPECT_EQ(dof->ClassID(), Class_ID(0x50444F46, 0x00000001));
  EXPECT_EQ(dof->TotalPasses(0), 8);
  INode* node = host().GetINodeByName(L"Camera01");
  for (int pass = 0; pass < 8; ++pass) {
    TimeValue t = 320;
    const ViewParams view = *dof->Apply(node, camera, pass, t);
    EXPECT_EQ(t, 320);
    const Vector3 lens{view.affineTM.row[3].x, view.affineTM.row[3].y, view.affineTM.row[3].z};
    const Vector3 forward{-view.affineTM.row[2].x, -view.affineTM.row[2].y, -view.affineTM.row[2].z};
    const double offset = std::hypot(lens.x, lens.z);
    EXPECT_NEAR(lens.y, -10, 1e-5);
    EXPECT_LE(offset, 0.5 + 1e-6);
    EXPECT_TRUE(pass == 0 ? offset < 1e-6 : offset > 0.01) << "pass 0 is the lens centre";
    EXPECT_EQ(view.aperture, 0.0f);
    const Vector3 focus = lens + forward * view.focalDistance;
    EXPECT_NEAR(std::abs(focus.x) + std::abs(focus.y) + std::abs(focus.z), 0, 3e-4) << pass;
  }
  BitmapPtr sum = make_bitmap(2, 1);
  sum->Storage()->PutPixel(0, 0, {std::nanf(""), 0, 0, 1});
  for (const auto& [pass, value] : {std::pair{0, 0.3f}, {1, 0.6f}, {2, 1.2f}}) {
    BitmapPtr one = make_bitmap(2, 1);
    one->Storage()->PutPixel(0, 0, {value, value * 2, 0, 1});
    one->Storage()->PutPixel(1, 0, {-value, 0, value, 0});
    dof->AccumulateBitmap(sum.get(), one.get(), pass, 0);
  }
  EXPECT_THAT(pixel(*sum, 0, 0), Rgba(0.7f, 1.4f, 0.0f, 1.0f)) << "the exact running average";
  EXPECT_THAT(pixel(*sum, 1, 0), Rgba(-0.7f, 0.0f, 0.7f, 0.0f));

  camera = effect(R"({"type": "motion_blur", "passes": 5, "time_spread": 1, "class_id": ["0x6cc9546e", "0x0b1961b9"]})");
  IMultiPassCameraEffect* blur = camera->GetIMultiPassCameraEffect();
  EXPECT_EQ(blur->ClassID(), Class_ID(0x6cc9546e, 0x0b1961b9));
  std::vector<TimeValue> times;
  for (int pass = 0; pass < 5; ++pass) {
    TimeValue t = 1600;
    ASSERT_NE(blur->Apply(nullptr, camera, pass, t), nullptr);
    times.push_back(t);
  }
  EXPECT_THAT(times, ElementsAre(1520, 1560, 1600, 1640, 1680));

  EXPECT_EQ(effect(R"({"type": "depth_of_field", "enabled": false})")->GetMultiPassEffectEnabled(0, valid), 0);
  scene_.erase("nodes");
  scene_["nodes"] = small_scene()["nodes"];
  load(scene_, "plain.json");
  auto* plain = static_cast<CameraObject*>(host().GetINodeByName(L"Camera01")->EvalWorldState(0));
  EXPECT_EQ(plain->GetIMultiPassCameraEffect(), nullptr);
  EXPECT_EQ(plain->ClassID(), Class_ID(0x5043414D, 0x00000001));
}

// A source whose pixel (x, y) has red 10 * y + x + 1.
BitmapPtr numbered(int width, int height) {
  BitmapPtr source = make_bitmap(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) source->Storage()->PutPixel(x, y, {static_cast<float>(10 * y + x + 1), 0, 0, 1});
  return source;
}

TEST(Bitmaps, CreationLimitsSpansAndPlacedCopies) {
  const auto live = host::standalone::live_bitmap_count();
  for (const auto& [width, height] : {std::pair{0, 10}, {10, -1}, {1 << 15, 1 << 15}})
    EXPECT_EQ(make_bitmap(width, height), nullptr) << width << "x" << height;
  EXPECT_EQ(TheManager->Create(nullptr), nullptr);
  BitmapPtr source = numbered(3, 2);
  EXPECT_EQ(host::standalone::live_bitmap_count(), live + 1);
  BMM_Color_fl line[4] = {};
  ASSERT_EQ(source->Storage()->GetLinearPixels(0, 1, 3, line), 1);
  EXPECT_EQ((std::vector<float>{line[0].r, line[1].r, line[2].r, line[2].a}), (std::vector<float>{11, 12, 13, 1}));
  line[0].r = -1;
  for (const auto& [x, y, count] : {std::tuple{1, 0, 3}, {0, 2, 1}, {-1, 0, 1}, {0, -1, 1}, {3, 0, 0}, {0, 0, -1}})
    EXPECT_EQ(source->Storage()->GetLinearPixels(x, y, count, line), 0) << x << "," << y << " count " << count;
  EXPECT_EQ(line[0].r, -1) << "a refused span reads nothing";
  EXPECT_FALSE(source->Storage()->GetPixel(3, 0, line[0]) || source->Storage()->PutPixel(-1, 0, line[0]));

  // Placed, clipped where it overhangs, and scaled nearest-neighbour to a custom size.
  const auto copy = [](Bitmap& to, Bitmap& from, int x, int y, int width = 0, int height = 0) {
    BitmapInfo placement;
    placement.SetCustomFlag(0x0A);
    placement.SetCustomX(x);
    placement.SetCustomY(y);
    placement.SetCustWidth(width);
    placement.SetCustHeight(height);
    return to.Storage()->CopyImage(&from, COPY_IMAGE_CUSTOM_POSITION, {-1, -1, -1, -1}, &placement);
  };
  const auto reds = [](Bitmap& bitmap) {
    std::vector<float> values;
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 4; ++x) values.push_back(pixel(bitmap, x, y).r);
    return values;
  };
  BitmapPtr two = numbered(2, 2), destination = make_bitmap(4, 3);
  ASSERT_EQ(copy(*destination, *two, 1, 1), 1);
  EXPECT_THAT(reds(*destination), ElementsAre(-1, -1, -1, -1, -1, 1, 2, -1, -1, 11, 12, -1));
  ASSERT_EQ(copy(*destination, *two, -1, 2), 1);
  EXPECT_THAT(reds(*destination), ElementsAre(-1, -1, -1, -1, -1, -1, -1, -1, 2, -1, -1, -1));
  ASSERT_EQ(copy(*destination, *two, 0, 0, 4, 2), 1);
  EXPECT_THAT(reds(*destination), ElementsAre(1, 1, 2, 2, 11, 11, 12, 12, -1, -1, -1, -1));
  BitmapInfo plain;
  EXPECT_EQ(destination->Storage()->CopyImage(two.get(), 1, {}, &plain), 0);
  EXPECT_EQ(destination->Storage()->CopyImage(two.get(), COPY_IMAGE_CUSTOM_POSITION, {}, nullptr), 0);
}

TEST(Bitmaps, OutputCodesPerCallAFailedWriteLoggedAndDisplaysCounted) {
  const Folder folder;
  BitmapPtr bitmap = numbered(4, 2);
  BitmapInfo info;
  info.SetWidth(4);
  info.SetHeight(2);
  EXPECT_EQ(bitmap->Write(&info), BMMRES_NOT_OPEN);
  EXPECT_EQ(bitmap->Close(&info), BMMRES_NOT_OPEN);
  EXPECT_EQ(bitmap->OpenOutput(&info), BMMRES_NOT_WRITABLE) << "no name";
  for (const auto& [name, code] : {std::pair{"missing/a.exr", BMMRES_FOLDER_MISSING}, {"a.nosuchformat", BMMRES_UNKNOWN_FORMAT}}) {
    info.SetName(Folder::wide(folder.native(name)).c_str());
    EXPECT_EQ(bitmap->OpenOutput(&info), code) << name;
  }
  // A name outside ASCII reaches the log intact when the folder is gone by the write.
  const std::string gone = folder.native("gone \xC3\xA9t\xC3\xA9");
  std::filesystem::create_directory(gone);
  info.SetName(host::standalone::wide_text::from_utf8(gone + "/a.png").c_str());
  ASSERT_EQ(bitmap->OpenOutput(&info), BMMRES_SUCCESS);
  EXPECT_FALSE(std::filesystem::exists(gone + "/a.png")) << "opening creates nothing";
  std::filesystem::remove(gone);
  auto& host = host::standalone::standalone_interface();
  host.clear_log_records();
  EXPECT_EQ(bitmap->Write(&info, BMM_SINGLEFRAME), BMMRES_FOLDER_MISSING);
  const std::wstring folder_name = host::standalone::wide_text::from_utf8(gone);
  ASSERT_EQ(host.log_records().size(), 1u);
  EXPECT_EQ(std::tie(host.log_records()[0].type, host.log_records()[0].title, host.log_records()[0].text),
            std::tuple(SYSLOG_ERROR, L"Bitmap output",
                       L"cannot write " + folder_name + L"/a.png: the folder " + folder_name + L": No such file or directory"));
  std::filesystem::create_directory(gone);
  EXPECT_EQ(bitmap->Write(&info, BMM_SINGLEFRAME), BMMRES_SUCCESS);
  EXPECT_EQ(bitmap->Close(&info), BMMRES_SUCCESS);
  EXPECT_EQ(bitmap->Write(&info), BMMRES_NOT_OPEN);

  host::standalone::reset_display_counters();
  const auto shown = host::standalone::display_counters().shown_now;
  BitmapPtr second = make_bitmap(2, 2);
  bitmap->Display();
  bitmap->Display();
  second->Display(nullptr, BMM_CENTRE_POSITION, 0, 1);
  EXPECT_EQ(host::standalone::display_counters().shown_now, shown + 2);
  EXPECT_EQ(host::standalone::display_counters().display_calls, 3);
  bitmap->UnDisplay();
  second.reset();
  EXPECT_EQ(host::standalone::display_counters().shown_now, shown) << "deleting a shown bitmap hides it";
  EXPECT_EQ(host::standalone::display_counters().undisplay_calls, 1);
}

// The settings are the host's global ones; the test leaves them as it found them.
TEST(Gamma, FileGammaCountsOnlyWhileEnabledAndUsable) {
  EXPECT_FALSE(gammaMgr.IsEnabled());
  EXPECT_FLOAT_EQ(gammaMgr.GetFileOutGamma(), 2.2f);
  gammaMgr.SetFileInGamma(1.8f);
  gammaMgr.SetFileOutGamma(2.4f);
  EXPECT_EQ(host::standalone::effective_output_gamma(), 1.0f);
  gammaMgr.Enable(1);
  EXPECT_EQ(host::standalone::effective_output_gamma(), 2.4f);
  EXPECT_EQ(host::standalone::effective_input_gamma(), 1.8f);
  for (const float gamma : {0.0f, -2.2f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    gammaMgr.SetFileOutGamma(gamma);
    gammaMgr.SetFileInGamma(gamma);
    EXPECT_EQ(host::standalone::effective_output_gamma(), 1.0f) << gamma;
    EXPECT_EQ(host::standalone::effective_input_gamma(), 1.0f) << gamma;
  }
  gammaMgr.Enable(0);
  gammaMgr.SetFileInGamma(2.2f);
  gammaMgr.SetFileOutGamma(2.2f);
}

// The host's event queues: one per thread, as window message queues are.
TEST(EventQueues, ADrainRunsTheCallingThreadsEventsOnlyAndThosePostedDuringIt) {
  std::vector<std::string> ran;
  host::post_message([&] { ran.push_back("main"); });
  std::promise<std::uint32_t> id;
  std::promise<void> posted;
  std::thread renderer([&] {
    host::post_message([&] { ran.push_back("renderer's own"); });
    id.set_value(host::current_thread_id());
    posted.get_future().wait();
    host::drain_messages();
  });
  host::post_message_to(id.get_future().get(), [&] { ran.push_back("posted to the renderer"); });
  posted.set_value();
  renderer.join();
  host::post_message([&] { host::post_message([&] { ran.push_back("posted during the drain"); }); });
  const std::uint64_t drains = host::drain_count();
  host::drain_messages();
  EXPECT_THAT(ran, ElementsAre("renderer's own", "posted to the renderer", "main", "posted during the drain"));
  EXPECT_EQ(host::drain_count(), drains + 1);
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
    scene_["faults"] = {fault};
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
    EXPECT_EXIT(host().LoadFromFile(with_fault("load", kind).c_str(), 14), killed_by_fault(signal), fault_report(signal))
        << kind;
  ASSERT_TRUE(host().LoadFromFile(with_fault("open", "read_null").c_str(), 14));
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

TEST_F(FaultInjection, FailIsAPlainFailureResult) {
  EXPECT_FALSE(host().LoadFromFile(with_fault("load", "fail").c_str(), 14));
  EXPECT_THAT(listener_text(), ::testing::HasSubstr("the scene's fault injection fails the load"));
  ASSERT_TRUE(host().LoadFromFile(with_fault("open", "fail").c_str(), 14));
  EXPECT_EQ(open(), 0);
  EXPECT_FALSE(host().renderer_open());
  ASSERT_TRUE(host().LoadFromFile(with_fault("render", "fail", 4).c_str(), 14));
  ASSERT_EQ(open(), 1);
  EXPECT_EQ(render_frame(4), 0);
  EXPECT_EQ(render_frame(5), 1);
}

}  // namespace
}  // namespace paravelle::host_test
