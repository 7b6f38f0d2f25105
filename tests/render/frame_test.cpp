// A job in the render layer: StartJob's failures, the renderer opened once with the camera's
// multipass effect, a frame's pipeline from bitmaps to files with every line to the farm in
// order, every failure leaving the job able to go on, the black-frame test, and progress
// reports from several renderer threads at once.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "render/frame_pipeline.h"
#include "job/job_state.h"
#include "host/bitmap.h"
#include "host/core.h"
#include "host/platform.h"
#include "host/standalone/bitmaps.h"
#include "host/standalone/image_file.h"
#include "host/standalone/standalone_interface.h"
#include "render/black_frame.h"
#include "render/job_start.h"
#include "render/progress_callback.h"
#include "render/renderer.h"
#include "render/frame_pipeline.h"
#include "support/job_scenes.h"
#include "support/log_capture.h"
#include "support/raw_peer.h"
#include "support/sanitizers.h"
#include "transport/simple_socket.h"
#include "transport/text.h"

// ThreadSanitizer owns the signals the trap needs: machine faults are left out under it.
using paravelle::testing::machine_faults_trapped;

namespace paravelle::render {
namespace {

// What the farm received, in order. Log lines lose their "FUNCTION: STDOUT: MaxParavelle: "
// prefix and warnings read "WARN: ...", so expectations read like the log. A marker sent
// after everything on the same connection ends the read.
class FarmLines {
 public:
  FarmLines() {
    connection.connect("127.0.0.1", peer.port(), win32::simple_socket::protocol_tcp);
    peer.accept();
  }
  std::vector<std::string> take() {
    static const std::string end = "<end of the test's messages>";
    connection.send(end);
    std::vector<std::string> lines;
    for (std::string message = peer.read_frame(); message != end; message = peer.read_frame()) {
      for (const auto& [prefix, kept] : {std::pair<std::string, std::string>{"FUNCTION: STDOUT: MaxParavelle: ", ""},
                                         {"FUNCTION: WARN: MaxParavelle: ", "WARN: "}})
        if (message.starts_with(prefix)) message = kept + message.substr(prefix.size());
      lines.push_back(message);
    }
    return lines;
  }
  paravelle::testing::RawPeer peer;
  win32::simple_socket connection;
};

// The first channel of one pixel of an image file.
float red_at(const std::string& native, int x, int y) {
  std::vector<float> rgba;
  int width = 0, height = 0;
  std::string error;
  EXPECT_TRUE(host::standalone::read_image_file(native, rgba, width, height, error)) << error;
  return rgba.at((std::size_t(y) * width + x) * 4);
}

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

struct BitmapDeleter {
  void operator()(Bitmap* bitmap) const { bitmap->DeleteThis(); }
};
using BitmapPtr = std::unique_ptr<Bitmap, BitmapDeleter>;

// A bitmap whose every pixel is `colour`.
BitmapPtr filled_bitmap(int width, int height, BMM_Color_fl colour) {
  BitmapInfo info;
  info.SetWidth(width);
  info.SetHeight(height);
  BitmapPtr bitmap(TheManager->Create(&info));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) bitmap->Storage()->PutPixel(x, y, colour);
  return bitmap;
}

class JobTest : public ::testing::Test {
 protected:
  void SetUp() override { host().reset(); }
  void TearDown() override { host().reset(); }
  static host::standalone::StandaloneInterface& host() { return host::standalone::standalone_interface(); }

  // Writes the scene into the test's folder; returns its path as the plug-in takes it.
  std::wstring scene_file(const nlohmann::json& scene, const std::string& name = "scene.json") {
    return paravelle::testing::wide(paravelle::testing::write_scene(folder.path(), name, scene));
  }
  std::string native(const std::string& name) const { return folder.path() + "/" + name; }
  // A file of the test's folder as the plug-in names it: wide, with backslashes.
  std::wstring host_path(const std::string& name) const {
    std::wstring path;
    for (const char c : native(name)) path += c == '/' ? L'\\' : wchar_t(c);
    return path;
  }
  std::string file(const std::string& name) const { return narrow(host_path(name)); }
  // The plug-in's own lines the farm received, without the renderer's progress messages.
  std::vector<std::string> farm_lines() {
    std::vector<std::string> lines = farm.take();
    std::erase_if(lines, [](const std::string& line) { return line.starts_with("FUNCTION: "); });
    return lines;
  }

  paravelle::testing::LogCapture log;
  paravelle::testing::TempFolder folder;
  FarmLines farm;
  win32::simple_socket& connection = farm.connection;
  job::JobState state;
};

// The text of the std::runtime_error that `call` throws, or "no failure".
template <class Call>
std::string failure_of(Call&& call) {
  try {
    call();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "no failure";
}

using nlohmann::json;
using paravelle::testing::small_job_scene;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;
using ::testing::StartsWith;
namespace fs = std::filesystem;

const json holder_camera = {"0x399ee5f2", "0x584a71a8"};
const json renderer_a = {"0x52ad1c02", "0x112d2fbc"};
const json renderer_c = {"0x58f67d6c", "0x4fcf3bc3"};
const json one_pass_effect = {{"type", "depth_of_field"}, {"class_id", {"0x6cc9546e", "0x0b1961b9"}}};

json depth_of_field(int passes) { return {{"type", "depth_of_field"}, {"passes", passes}, {"aperture", 0.0}}; }
json camera(const std::string& name, json extra = json::object()) {
  json node = {{"name", name}, {"type", "camera"}, {"position", {0, -10, 0}}};
  node.update(extra);
  return node;
}

// The last report lies far enough back for the next one to pass the rate limit.
void allow_next_report() { lastProgressTick.store(::paravelle::host::tick_count() - 5000); }

// A manager that makes the first `successes` bitmaps and refuses the rest.
class RationedManager : public BitmapManager {
 public:
  explicit RationedManager(int successes) : left_(successes), previous_(TheManager) { TheManager = this; }
  ~RationedManager() override { TheManager = previous_; }
  Bitmap* Create(BitmapInfo* info) override { return left_-- > 0 ? previous_->Create(info) : nullptr; }

 private:
  int left_;
  BitmapManager* previous_;
};

class FrameTest : public JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    host::standalone::reset_display_counters();
    live_before = host::standalone::live_bitmap_count();
    // The placeholder name of a scene that does not save asks for the host's data folder.
    ::setenv("PARAVELLE_DATA_DIR", native("data").c_str(), 1);
    lastProgressTick.store(::paravelle::host::tick_count());  // no progress reports among the lines
  }
  void TearDown() override {
    ::unsetenv("PARAVELLE_DATA_DIR");
    JobTest::TearDown();
    EXPECT_EQ(host::standalone::live_bitmap_count(), live_before) << "every bitmap is freed";
  }
  // The small scene saving to out/ with an alpha and a depth element.
  json scene() const {
    json scene = small_job_scene();
    scene["render"].update({{"save_file", true}, {"output_file", file("out/beauty.exr")}});
    scene["render_elements"] = {{"active", true},
                                {"elements",
                                 {{{"name", "Alpha"}, {"content", "alpha"}, {"file", file("elements/alpha.exr")}},
                                  {{"name", "ZDepth"},
                                   {"content", "zdepth"},
                                   {"z_min", 5},
                                   {"z_max", 15},
                                   {"file", file("elements/zdepth.exr")}}}}};
    return scene;
  }
  void start(const json& scene, const std::wstring& camera_name = L"Cam") {
    state = job::JobState();
    StartJob(state, scene_file(scene), camera_name);
    farm.take();
  }
  // The frame's failure text, or the empty text.
  std::string render(std::int32_t frame) {
    const std::string failure = failure_of([&] { RenderFrame(state, frame, connection); });
    return failure == "no failure" ? "" : failure;
  }
  std::int64_t live_before = 0;
};

// A machine fault in a host call of a job step fails that step with the trap's text and the
// crash report; a renderer that cannot be closed keeps the job running, so EndJob can be
// tried again.
TEST_F(FrameTest, TrappedFaultsInTheJobStepsFailTheStepWithTheCrashReport) {
  PARAVELLE_SKIP_UNLESS_MACHINE_FAULTS_TRAPPED();
  const auto faulty = [&](const char* when, const char* kind) {
    json scene = small_job_scene();
    scene["faults"] = {{{"when", when}, {"kind", kind}}};
    return scene_file(scene, std::string(when) + ".json");
  };
  const auto trapped = [&](const std::string& failure, const std::string& call, const char* fault) {
    EXPECT_THAT(failure, StartsWith("Trapped SEH Exception in " + call + "(): " + fault + "\nProcess:  "));
    EXPECT_EQ(failure.substr(failure.find('\n') + 1), state.lastCrashReport);
  };
  {
    const paravelle::testing::AbandonedByAFault abandoned;  // the scene being loaded
    trapped(failure_of([&] { StartJob(state, faulty("load", "write"), L""); }), "LoadFromFile", "Access Violation");
  }
  EXPECT_FALSE(state.jobRunning);
  StartJob(state, faulty("open", "read_null"), L"");
  trapped(failure_of([&] { SetupRenderParameters(state, 0, connection); }), "OpenCurRenderer", "Access Violation");
  EXPECT_FALSE(state.rendererOpen || host().renderer_open()) << "the next frame tries again";
  EndJob(state);
  StartJob(state, faulty("close", "divide_by_zero"), L"");
  SetupRenderParameters(state, 0, connection);
  trapped(failure_of([&] { EndJob(state); }), "CloseCurRenderer", "Integer Divide By Zero");
  EXPECT_TRUE(state.jobRunning && state.rendererOpen);
  EXPECT_EQ(host().flush_count(), 1) << "only the job that ended flushed the caches";
}

// Where the camera's multipass effect comes from and how many passes it has.
TEST_F(FrameTest, TheRendererOpensOnceWithTheCamerasMultipassEffect) {
  const json holder = camera("Multipass", {{"multipass", depth_of_field(3)}});
  const json holder_cam = {{"class_id", holder_camera}, {"multipass", depth_of_field(5)}, {"children", {holder}}};
  const struct {
    json cam, renderer;
    bool disable;
    int passes;  // 0: multipass off (one pass)
    bool holder_line;
  } cases[] = {
      {camera("Cam", {{"multipass", depth_of_field(4)}}), nullptr, false, 4, false},
      {camera("Cam", {{"multipass", one_pass_effect}}), nullptr, false, 0, false},
      {camera("Cam", {{"multipass", one_pass_effect}}), renderer_c, false, 1, false},
      {camera("Cam", holder_cam), renderer_a, false, 3, true},
      {camera("Cam", holder_cam), nullptr, false, 5, false},  // the holder rule is renderer A's
      // A child named in another case is no holder.
      {camera("Cam", {{"class_id", holder_camera},
                      {"multipass", depth_of_field(5)},
                      {"children", {camera("multipass", {{"multipass", depth_of_field(3)}})}}}),
       renderer_a, false, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cam.dump());
    json description = small_job_scene();
    description["nodes"][0] = c.cam;
    if (!c.renderer.is_null()) description["renderer"] = {{"class_id", c.renderer}};
    start(description, L"");
    state.disableMultipass = c.disable;
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

TEST_F(FrameTest, AFrameWritesItsImageElementsAndJpegCopyWithEveryLineInOrder) {
  json description = scene();
  description["renderer"]["float_output"] = true;
  start(description);
  state.frameNumberBase = 100;
  state.useJpegOutput = true;
  state.jpegOutputPath = host_path("jpg") + L"\\";
  state.showFrameBuffer = true;
  EXPECT_EQ(render(3), "");
  EXPECT_THAT(
      farm_lines(),
      ElementsAre("Render frame 3", "Rendering frame \"" + file("out/beauty0103.exr") + "\"",
                  "Rendering 2 render elements", "Setting up render parameters", "Rendering camera node Cam",
                  "Checking multipass info for frame 3", "Opening renderer", "Multipass disabled", "Rendering 1 passes",
                  "Checking output paths", "Creating output path: " + file("out"),
                  "Creating jpeg output path: " + file("jpg") + "\\", "Creating output path: " + file("elements"),
                  "Checking default actions", "  TYPE_MISSING_EXTERNAL_FILES = FAIL", "  TYPE_MISSING_UVWS = FAIL",
                  "  TYPE_MISSING_DLL_FILES = FAIL", "  TYPE_MISSING_XREF_FILES = FAIL", "Calling renderer",
                  "CallCurRendererRenderFrame returned code 1", "Render done",
                  "Writing to output file: " + file("out/beauty0103.exr"),
                  "Writing jpeg output to: " + file("jpg/beauty0103.jpg"), "Checking render elements",
                  "Writing to output file: " + file("elements/alpha0103.exr"),
                  "Writing to output file: " + file("elements/zdepth0103.exr")));
  EXPECT_THAT(state.writtenOutputFiles,
              ElementsAre(host_path("out/beauty0103.exr"), host_path("elements/alpha0103.exr"),
                          host_path("elements/zdepth0103.exr")));
  EXPECT_NEAR(red_at(native("out/beauty0103.exr"), 16, 12), 0.8f, 1e-3f);
  EXPECT_EQ(red_at(native("elements/alpha0103.exr"), 16, 12), 1.0f);
  EXPECT_NEAR(red_at(native("jpg/beauty0103.jpg"), 16, 12), 0.8f, 0.02f);
  EXPECT_EQ(host::standalone::display_counters().display_calls, 1);
  EXPECT_EQ(host::standalone::display_counters().shown_now, 0);
  EXPECT_EQ(state.outputBitmapInfo.Type(), BMM_FLOAT_RGBA_32) << "the renderer asks for float output";
  EXPECT_EQ(state.renderElements[1].output->bi.Type(), BMM_FLOAT_RGBA_32);
  EXPECT_NE(state.outputBitmapInfo.Flags() & MAP_HAS_ALPHA, 0u);
  // Back to the names the frame started from; the renderer stays open for the next frame.
  EXPECT_EQ(narrow(state.outputBitmapInfo.Name()), file("out/beauty.exr"));
  EXPECT_EQ(narrow(state.renderElements[0].output->bi.Name()), file("elements/alpha.exr"));
  EXPECT_TRUE(state.rendererOpen && host().renderer_open());
  EndJob(state);
  EXPECT_FALSE(state.jobRunning || state.rendererOpen || host().renderer_open());
  EXPECT_EQ(host().flush_count(), 1);
  EXPECT_EQ(state.multipassEffect, nullptr);
}

TEST_F(FrameTest, FailuresFreeTheFrameAndRestoreItsNames) {
  const struct {
    const char* what;
    std::function<void(job::JobState&)> settings;
    int bitmapsThatCanBeMade;  // -1: no limit
    std::string failure;
    bool multipass = false;
  } cases[] = {
      {"main bitmap", nullptr, 0, "Failed to allocate Bitmap: TheManager->Create() return NULL"},
      {"accumulation bitmap", nullptr, 3,
       "Failed to allocate the accumulation bitmap of render element 1 of 2: TheManager->Create() returned NULL", true},
      {"pass bitmap", nullptr, 5,
       "Failed to allocate the pass bitmap of the multipass render: TheManager->Create() returned NULL", true},
      {"no job", [](auto& s) { s.jobRunning = false; }, -1,
       "RenderFrame called when consistency check flag jobRunning was not set"},
      {"a name too long for the host",
       [](auto& s) { s.useOutputImageFilename = true, s.outputImageFilename = std::wstring(252, L'x') + L".exr"; }, -1,
       "The output file name \"" + std::string(252, 'x') + "0009.exr\" is longer than 259 characters"},
      {"a failed pass", nullptr, -1, "Failed to render the frame for pass 1 of 2", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    json description = scene();
    if (c.multipass) description["nodes"][0]["multipass"] = depth_of_field(2);
    if (std::string(c.what) == "a failed pass")
      description["faults"] = {{{"when", "render"}, {"frame", 9}, {"kind", "fail"}}};
    start(description);
    if (c.settings) c.settings(state);
    std::string failure;
    {
      std::optional<RationedManager> rationed;
      if (c.bitmapsThatCanBeMade >= 0) rationed.emplace(c.bitmapsThatCanBeMade);
      failure = render(9);
    }
    EXPECT_EQ(failure, c.failure);
    EXPECT_EQ(host::standalone::live_bitmap_count(), live_before);
    EXPECT_EQ(narrow(state.outputBitmapInfo.Name()), file("out/beauty.exr"));
    for (const auto& element : state.renderElements) EXPECT_EQ(element.output->bm, nullptr);
    EXPECT_EQ(narrow(state.renderElements.at(1).output->bi.Name()), file("elements/zdepth.exr"));
    EXPECT_FALSE(fs::exists(native("out/beauty0009.exr")));
    EXPECT_TRUE(state.writtenOutputFiles.empty());
    state.jobRunning = true;
    EndJob(state);
  }
}

TEST_F(FrameTest, BlackFramesAreDarkPixelsOfTransparentOrOpaqueAlphaCountedAgainstTheMinimum) {
  const auto check = [&](Bitmap* image, int percentage, float threshold) {
    state.blackPixelPercentage = percentage;
    state.blackPixelThreshold = threshold;
    return failure_of([&] { CheckBlackFrame(state, image, connection); });
  };
  const auto black_at = [](int percent) {
    return std::to_string(percent) + "% of the output image is black, which equals or exceeds the minimum of " +
           std::to_string(percent) + "%";
  };
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    BMM_Color_fl colour;
    float threshold;
    bool black;
  } pixels[] = {
      {{0.05f, 0.05f, 0.05f, 1.0f}, 0.1f, true}, {{0.05f, 0.2f, 0.05f, 1.0f}, 0.1f, false},
      {{0.0f, 0.0f, 0.0f, 0.5f}, 0.1f, false},   {{0.1f, 0.1f, 0.1f, 0.0f}, 0.1f, true},  // at the threshold counts
      {{0.0f, 0.0f, 0.0f, 0.9f}, 0.1f, true},    {{0.0f, 0.0f, 0.0f, 0.5f}, 0.5f, true},  // at 0.5 every alpha
      {{0.51f, 0.0f, 0.0f, 1.0f}, 0.5f, false},  {{0.0f, 0.0f, 0.0f, 0.0f}, 0.0f, true},
      {{0.0f, 0.0f, 0.0f, 0.5f}, 0.0f, false},   {{0.0f, 0.0f, 1e-7f, 1.0f}, 0.0f, false},
      {{nan, 0.0f, 0.0f, 1.0f}, 0.1f, false},    {{0.0f, 0.0f, 0.0f, nan}, 0.5f, false},
  };
  for (const auto& c : pixels) {
    const auto image = filled_bitmap(5, 2, c.colour);  // four pixels at a time, and one more
    EXPECT_EQ(check(image.get(), 100, c.threshold), c.black ? black_at(100) : "no failure")
        << c.colour.r << " " << c.colour.g << " " << c.colour.b << " " << c.colour.a << " at " << c.threshold;
  }
  farm.take();

  // The share is rounded down; a minimum of 0 fails every image it tests.
  const auto image = filled_bitmap(100, 100, {0, 0, 0, 1});
  image->Storage()->PutPixel(42, 17, {1, 1, 1, 1});
  EXPECT_EQ(check(image.get(), 100, 0.1f), "no failure");
  EXPECT_EQ(check(image.get(), 99, 0.25f), black_at(99));
  EXPECT_THAT(farm.take(),
              ElementsAre("  blackPixelPercentage = 100%", "  blackPixelThreshold = 0.1",
                          "9999 of 10000 pixels are considered black (99%)", "  blackPixelPercentage = 99%",
                          "  blackPixelThreshold = 0.25", "9999 of 10000 pixels are considered black (99%)",
                          "99% of the output image is considered black, failing render..."));
  EXPECT_EQ(check(filled_bitmap(4, 4, {1, 1, 1, 1}).get(), 0, 0.1f), black_at(0));
}

// The farm's gamma wins over the scene's; without it the host's stays as it is.
TEST_F(FrameTest, GammaIsAppliedAfterTheLoadOnlyWhenTheFarmAskedForIt) {
  json description = scene();
  description["gamma"] = {{"enabled", false}, {"in", 1.0}, {"out", 1.0}};
  state.gammaCorrection = true;
  state.gammaIn = 1.8f;
  state.gammaOut = 2.4f;
  StartJob(state, scene_file(description), L"Cam");
  EXPECT_EQ(std::vector<float>({float(gammaMgr.IsEnabled()), gammaMgr.GetFileInGamma(), gammaMgr.GetFileOutGamma()}),
            std::vector<float>({1.0f, 1.8f, 2.4f}));
  gammaMgr.SetFileInGamma(1.3f);
  state.gammaCorrection = false;
  ApplyGamma(state);
  EXPECT_EQ(gammaMgr.GetFileInGamma(), 1.3f);
  EndJob(state);
}

// A job rendering a viewport without a camera says so in the node's log, and a frame
// checked for black tells the farm which image it checks.
TEST_F(FrameTest, TheLogAndTheFarmHearWhatTheFrameRendersAndChecks) {
  json description = scene();
  description["viewports"] = {{{"position", {0, -10, 0}}, {"target", {0, 0, 0}}, {"fov", 45}}};
  start(description, L"");
  EXPECT_THAT(log.text(), ::testing::HasSubstr("Viewport is not a camera, so its current view will be rendered"));
  state.failOnBlackFrames = true;
  state.blackPixelPercentage = 100;
  EXPECT_EQ(render(2), "");
  EXPECT_THAT(farm_lines(), Contains("Checking if " + file("out/beauty0002.exr") + " is black"));
  EndJob(state);
}

// However the write of the frame's first file fails (in the host's image output, where only
// the job step's trap catches a machine fault), the frame's bitmaps are gone and its names
// are the job's again: the next frame writes its own files, numbered once.
TEST_F(FrameTest, AWriteThatFailsPutsTheFrameBack) {
  const auto render_task = [&](std::int32_t frame) {
    std::string trapText;
    try {
      render::CallRenderFrame(state, frame, connection, trapText);
    } catch (const std::exception& error) {
      return std::string(error.what());
    }
    return trapText;
  };
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
    json description = scene();
    description["faults"] = {{{"when", "write"}, {"kind", c.kind}}};
    start(description);
    {
      std::optional<paravelle::testing::AbandonedByAFault> abandoned;  // what the frames the fault abandons held
      if (c.machineFault) abandoned.emplace();
      EXPECT_EQ(render_task(1), c.failure);
    }
    EXPECT_EQ(host::standalone::live_bitmap_count(), live_before);
    EXPECT_EQ(narrow(state.outputBitmapInfo.Name()), file("out/beauty.exr"));
    EXPECT_EQ(narrow(state.renderElements.at(0).output->bi.Name()), file("elements/alpha.exr"));
    host().scene().spec().faults.clear();
    EXPECT_EQ(render_task(2), "");
    EXPECT_THAT(state.writtenOutputFiles, ElementsAre(host_path("out/beauty0002.exr"), host_path("elements/alpha0002.exr"),
                                                      host_path("elements/zdepth0002.exr")));
    EndJob(state);
  }
}

// The farm hears that the JPEG copy is off, as it always has; the node's log says why.
TEST_F(FrameTest, AJpegFolderThatCannotBeCheckedLeavesItsReasonInTheLog) {
  fs::create_symlink(native("loop"), native("loop"));
  start(scene());
  state.useJpegOutput = true;
  state.jpegOutputPath = host_path("loop") + L"\\";
  EXPECT_EQ(render(1), "");
  EXPECT_FALSE(state.useJpegOutput);
  EXPECT_THAT(log.text(), ::testing::HasSubstr("Could not create jpeg output path \"" + narrow(state.jpegOutputPath) +
                                               "\": Could not get the status of \"" + narrow(state.jpegOutputPath) +
                                               "\": "));
  EndJob(state);
}

// Reseeding the C library's generator (a script or another library may) must not give two
// openings of the renderer the same placeholder name for a frame that is not saved.
TEST_F(FrameTest, EveryOpeningNamesAnUnsavedFrameAnew) {
  json description = scene();
  description["render"]["save_file"] = false;
  start(description);
  state.restartRendererMode = true;
  std::vector<std::wstring> names;
  for (int opening = 0; opening < 2; ++opening) {
    std::srand(1);
    EXPECT_EQ(render(3), "");
    names.push_back(state.renderOutputName);
  }
  EXPECT_THAT(narrow(names[0]), StartsWith(file("data") + "\\Orvalink\\taskmere\\temp\\temp_filename"));
  EXPECT_NE(names[0], names[1]);
  EndJob(state);
}

// Renderer threads report at the same moment: every message arrives whole, and the
// callback's state stays consistent (ThreadSanitizer watches this suite).
using ProgressTest = FrameTest;

// Reports closer together than the interval are dropped: of two in a row the farm hears one.
TEST_F(ProgressTest, ReportsInQuickSuccessionAreThinnedOut) {
  ParavelleRenderCallback callback(connection, L"");
  allow_next_report();
  callback.Progress(1, 100);
  EXPECT_FALSE(farm.take().empty());
  callback.Progress(2, 100);
  EXPECT_TRUE(farm.take().empty());
}

TEST_F(ProgressTest, ConcurrentReportsArriveAsWholeMessages) {
  ParavelleRenderCallback callback(connection, L"");
  std::vector<std::thread> renderers;
  for (int t = 0; t < 4; ++t)
    renderers.emplace_back([&, t] {
      for (int i = 1; i <= 100; ++i) {
        callback.SetTitle((L"Rendering image... thread " + std::to_wstring(t)).c_str());
        allow_next_report();
        callback.Progress(i, 100);
      }
    });
  for (std::thread& renderer : renderers) renderer.join();
  const std::vector<std::string> messages = farm.take();
  EXPECT_GE(messages.size(), 2u);
  EXPECT_THAT(messages,
              ::testing::Each(::testing::MatchesRegex(
                  "FUNCTION: (SETTITLE Rendering image\\.\\.\\. thread [0-3] - [0-9]+\\.[0-9]%|PROGRESS [0-9.]+)")));
}

}  // namespace
}  // namespace paravelle::render
