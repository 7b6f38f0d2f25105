#include "render/progress_callback.h"

#include <gmock/gmock.h>

#include <atomic>
#include <optional>
#include <set>
#include <thread>

#include "host/platform.h"
#include "job_fixture.h"
#include "render/job_start.h"
#include "render/renderer.h"

namespace paravelle::render {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ProgressTest : public JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    allow_next_report();
  }
  void TearDown() override {
    ::host::set_tick_offset(0);
    JobTest::TearDown();
  }
  // The last report lies far enough back for the next one to pass the rate limit.
  static void allow_next_report() { lastProgressTick.store(::host::tick_count() - 5000); }
};

TEST_F(ProgressTest, TitlesBecomeTaskLogLinesUnlessTheyAreRenderingTitles) {
  struct Case {
    const wchar_t* title;
    bool renderer_flag;
    std::vector<std::string> sent;
  };
  const Case cases[] = {
      {L"Rendering image...\r\n", false, {}},
      {L"RENDERING", false, {}},
      {L"Quality reached: 94 %", false, {}},
      {L"Pass 3 -- 40%  Rendering", false, {}},
      {L"Rendering pass 2", false, {}},
      {L"Rendering...", false, {}},
      {L"Rendering shadows", false, {"FUNCTION: STDOUT: Rendering shadows"}},
      {L"two\nwords", false, {"FUNCTION: STDOUT: two words"}},
      {L"line\r\ninside\n\n\r", false, {"FUNCTION: STDOUT: line inside"}},
      {L"Updating object Box01", false, {"FUNCTION: STDOUT: Updating object Box01"}},
      {L"Updating object Box01", true, {}},
      {L"LOADING BITMAPS from disk", true, {}},
      {L"Compiling geometry 3/7", true, {}},
      {L"Compiling geometry", true, {"FUNCTION: STDOUT: Compiling geometry"}},
      {L"caf\u00e9 \u20ac", false, {"FUNCTION: STDOUT: caf\xC3\xA9 \xE2\x82\xAC"}},
      {L"", false, {"FUNCTION: STDOUT: "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    ParavelleRenderCallback callback(connection, L"");
    callback.rendererFlag = c.renderer_flag;
    callback.SetTitle(c.title);
    EXPECT_EQ(farm_messages(), c.sent);
  }
}

// The examples farms rely on: a title with its percentage, and the progress value only
// while the renderer says it renders.
TEST_F(ProgressTest, ReportsTheTitleWithItsPercentageAndTheProgressValue) {
  struct Case {
    const wchar_t* title;
    std::optional<std::pair<int, int>> pass;
    int done, total;
    std::vector<std::string> sent;
  };
  const Case cases[] = {
      {L"Rendering image...", {}, 50, 200,
       {"FUNCTION: SETTITLE Rendering image... - 25.0%", "FUNCTION: PROGRESS 25"}},
      {L"Building scene", {}, 50, 200, {"FUNCTION: SETTITLE Building scene - 25.0%", "FUNCTION: PROGRESS -1"}},
      {L"Rendering image...", {}, 0, 100, {"FUNCTION: PROGRESS -1"}},
      {L"Rendering image...", {}, -5, 100, {"FUNCTION: PROGRESS -1"}},
      {L"Rendering image...", {}, 300, 200,
       {"FUNCTION: SETTITLE Rendering image... - 100.0%", "FUNCTION: PROGRESS 100"}},
      {L"Rendering image...", {}, 1, 3,
       {"FUNCTION: SETTITLE Rendering image... - 33.3%", "FUNCTION: PROGRESS 33.3333"}},
      {L"Rendering image...", std::pair{2, 4}, 100, 200,
       {"FUNCTION: SETTITLE Pass 2 of 4 - Rendering image... - 50.0%", "FUNCTION: PROGRESS 37.5"}},
      {L"Rendering image...", std::pair{4, 4}, 200, 200,
       {"FUNCTION: SETTITLE Pass 4 of 4 - Rendering image... - 100.0%", "FUNCTION: PROGRESS 100"}},
      {L"Rendering image...", std::pair{1, 3}, 1, 2,
       {"FUNCTION: SETTITLE Pass 1 of 3 - Rendering image... - 50.0%", "FUNCTION: PROGRESS 16.6667"}},
      {L"Rendering image...", {}, 5, 0, {}},
      {L"Initializing Ray Server", {}, 50, 100, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.done) + "/" + std::to_string(c.total));
    ParavelleRenderCallback callback(connection, L"");
    callback.SetTitle(c.title);
    if (c.pass) callback.SetPass(c.pass->first, c.pass->second);
    farm_messages();
    allow_next_report();
    const std::uint32_t before = lastProgressTick.load();
    EXPECT_EQ(callback.Progress(c.done, c.total), RENDPROG_CONTINUE);
    EXPECT_EQ(farm_messages(), c.sent);
    EXPECT_EQ(lastProgressTick.load() != before, !c.sent.empty());
  }
}

// At most one report a second across every callback, on the wrapping tick counter.
TEST_F(ProgressTest, ReportsAtMostOnceASecond) {
  ParavelleRenderCallback first(connection, L"");
  first.SetTitle(L"Rendering image...");
  ParavelleRenderCallback second(connection, L"");
  second.SetTitle(L"Rendering image...");
  const auto reported = [&](ParavelleRenderCallback& callback) {
    callback.Progress(1, 2);
    return !farm_messages().empty();
  };
  const auto tick_at = [](std::uint32_t offset_from_last) {
    ::host::set_tick_offset(0);
    ::host::set_tick_offset(lastProgressTick.load() + offset_from_last - ::host::tick_count());
  };
  EXPECT_TRUE(reported(first));
  EXPECT_FALSE(reported(first));
  EXPECT_FALSE(reported(second));  // the limit is the process's, not the callback's
  tick_at(400);
  EXPECT_FALSE(reported(second));
  tick_at(1500);
  EXPECT_TRUE(reported(second));
  tick_at(static_cast<std::uint32_t>(-2000));  // a clock that went back counts like one that went on
  EXPECT_TRUE(reported(first));

  // Across the wrap of the 32-bit counter.
  lastProgressTick.store(0xFFFFFF00u);
  tick_at(0x100 + 300);
  EXPECT_FALSE(reported(first));
  tick_at(0x100 + 1200);
  EXPECT_TRUE(reported(first));
  EXPECT_LT(lastProgressTick.load(), 0x1000u);
}

// A report pumps the host's queue of the thread it runs on, and only that one.
TEST_F(ProgressTest, AReportFromARendererThreadNeverRunsTheMainThreadsEvents) {
  ParavelleRenderCallback callback(connection, L"");
  callback.SetTitle(L"Rendering image...");
  bool ran = false;
  ::host::post_message([&] { ran = true; });
  const std::uint64_t drains_before = ::host::drain_count();
  std::thread([&] { callback.Progress(1, 2); }).join();
  EXPECT_EQ(::host::drain_count(), drains_before + 1);
  EXPECT_FALSE(ran);
  allow_next_report();
  callback.Progress(1, 2);
  EXPECT_TRUE(ran);
}

TEST_F(ProgressTest, ALostConnectionNeverStopsTheRender) {
  win32::simple_socket unconnected;
  ParavelleRenderCallback callback(unconnected, L"");
  callback.SetTitle(L"Loading scene");
  EXPECT_THAT(log.lines(), IsEmpty());
  callback.SetTitle(L"Rendering image...");
  EXPECT_EQ(callback.Progress(1, 2), RENDPROG_CONTINUE);
  EXPECT_THAT(log.lines(), ElementsAre("caught simple socket excetion when handling progress: "
                                       "simple_socket: send called while not connected."));
}

// Renderer threads report at the same moment: every message arrives whole and the
// callback keeps its own state consistent (ThreadSanitizer watches this one).
TEST_F(ProgressTest, ConcurrentReportsArriveAsWholeMessages) {
  ParavelleRenderCallback callback(connection, L"");
  constexpr int threads = 4, reports = 100;
  std::atomic<bool> go{false};
  std::vector<std::thread> renderers;
  for (int t = 0; t < threads; ++t) {
    renderers.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < reports; ++i) {
        callback.SetTitle((L"Rendering image... thread " + std::to_wstring(t)).c_str());
        allow_next_report();
        callback.Progress(i + 1, reports);
      }
    });
  }
  go = true;
  for (std::thread& renderer : renderers) renderer.join();
  const std::vector<std::string> messages = farm_messages();
  EXPECT_GE(messages.size(), 2u);
  for (const std::string& message : messages)
    EXPECT_THAT(message, ::testing::MatchesRegex("FUNCTION: (SETTITLE Rendering image\\.\\.\\. thread [0-3] - "
                                                 "[0-9]+\\.[0-9]%|PROGRESS [0-9.]+)"));
}

// The farm's view of a real render on two threads with a report after every tile: the
// progress only goes forward, up to 100.
TEST_F(ProgressTest, ARealRenderReportsProgressThatNeverGoesBack) {
  nlohmann::json scene = testing::small_job_scene();
  scene["render"]["width"] = 96;
  scene["render"]["height"] = 64;
  StartJob(state, scene_file(scene), L"");
  SetupRenderParameters(state, 0, connection);
  farm_messages();

  // Every tile's report passes the rate limit, as if each tile took a second.
  struct EveryTileReports : ParavelleRenderCallback {
    using ParavelleRenderCallback::ParavelleRenderCallback;
    int Progress(int done, int total) override {
      allow_next_report();
      return ParavelleRenderCallback::Progress(done, total);
    }
  };
  BitmapInfo info;
  info.SetWidth(96);
  info.SetHeight(64);
  Bitmap* const bitmap = TheManager->Create(&info);
  EveryTileReports callback(connection, L"");
  std::string errorText;
  const int result = CallCurRendererRenderFrame(state, 0, bitmap, &callback, 1.0f, nullptr, nullptr, errorText);
  bitmap->DeleteThis();
  ASSERT_EQ(result, 1) << errorText;

  std::vector<double> values;
  for (const std::string& message : farm_messages())
    if (message.rfind("FUNCTION: PROGRESS ", 0) == 0) values.push_back(std::stod(message.substr(19)));
  ASSERT_EQ(values.size(), 12u * 8u);  // one per 8x8 tile
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
  EXPECT_GT(values.front(), 0.0);
  EXPECT_EQ(values.back(), 100.0);
}

}  // namespace
}  // namespace paravelle::render
