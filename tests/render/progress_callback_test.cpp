// The renderer's progress reports as the farm sees them: which titles become log lines, the
// title with its percentage and the progress value, at most one report a second.

#include "render/progress_callback.h"

#include <gmock/gmock.h>

#include <optional>
#include <thread>

#include "render/render_fixture.h"

namespace paravelle::render {
namespace {

using ::testing::ElementsAre;

class ProgressTest : public JobTest {
 protected:
  void SetUp() override {
    JobTest::SetUp();
    allow_next_report();
  }
  void TearDown() override {
    ::paravelle::host::set_tick_offset(0);
    JobTest::TearDown();
  }
  // The last report lies far enough back for the next one to pass the rate limit.
  static void allow_next_report() { lastProgressTick.store(::paravelle::host::tick_count() - 5000); }
};

TEST_F(ProgressTest, TitlesBecomeTaskLogLinesUnlessTheyAreRenderingTitles) {
  const struct {
    const wchar_t* title;
    bool renderer_flag;
    const char* sent;  // null: nothing
  } cases[] = {
      {L"Rendering image...\r\n", false, nullptr},
      {L"Quality reached: 94 %", false, nullptr},
      {L"Pass 3 -- 40%  Rendering", false, nullptr},
      {L"Rendering pass 2", false, nullptr},
      {L"Rendering shadows", false, "Rendering shadows"},
      {L"line\r\ninside\n\n\r", false, "line inside"},
      {L"Updating object Box01", false, "Updating object Box01"},
      {L"Updating object Box01", true, nullptr},
      {L"LOADING BITMAPS from disk", true, nullptr},
      {L"Compiling geometry", true, "Compiling geometry"},  // the filters end with a blank
      {L"caf\u00e9 \u20ac", false, "caf\xC3\xA9 \xE2\x82\xAC"},
  };
  for (const auto& c : cases) {
    ParavelleRenderCallback callback(connection, L"");
    callback.rendererFlag = c.renderer_flag;
    callback.SetTitle(c.title);
    EXPECT_EQ(farm.take(), c.sent ? std::vector<std::string>{std::string("FUNCTION: STDOUT: ") + c.sent}
                                  : std::vector<std::string>{})
        << &c - cases;
  }
}

// The title with its percentage, and the progress value only while the renderer renders.
TEST_F(ProgressTest, ReportsTheTitleWithItsPercentageAndTheProgressValue) {
  const std::string title = "FUNCTION: SETTITLE Rendering image... - ";
  const struct {
    const wchar_t* title;
    std::optional<std::pair<int, int>> pass;
    int done, total;
    std::vector<std::string> sent;
  } cases[] = {
      {L"Rendering image...", {}, 50, 200, {title + "25.0%", "FUNCTION: PROGRESS 25"}},
      {L"Building scene", {}, 50, 200, {"FUNCTION: SETTITLE Building scene - 25.0%", "FUNCTION: PROGRESS -1"}},
      {L"Rendering image...", {}, 0, 100, {"FUNCTION: PROGRESS -1"}},
      {L"Rendering image...", {}, 300, 200, {title + "100.0%", "FUNCTION: PROGRESS 100"}},
      {L"Rendering image...", {}, 1, 3, {title + "33.3%", "FUNCTION: PROGRESS 33.3333"}},
      {L"Rendering image...", std::pair{2, 4}, 100, 200,
       {"FUNCTION: SETTITLE Pass 2 of 4 - Rendering image... - 50.0%", "FUNCTION: PROGRESS 37.5"}},
      {L"Rendering image...", {}, 5, 0, {}},
      {L"Initializing Ray Server", {}, 50, 100, {}},
  };
  for (const auto& c : cases) {
    ParavelleRenderCallback callback(connection, L"");
    callback.SetTitle(c.title);
    if (c.pass) callback.SetPass(c.pass->first, c.pass->second);
    farm.take();
    allow_next_report();
    const std::uint32_t before = lastProgressTick.load();
    EXPECT_EQ(callback.Progress(c.done, c.total), RENDPROG_CONTINUE);
    EXPECT_EQ(farm.take(), c.sent) << &c - cases;
    EXPECT_EQ(lastProgressTick.load() != before, !c.sent.empty()) << "a report that went out counts";
  }
}

// At most one report a second across every callback, on the wrapping tick counter.
TEST_F(ProgressTest, ReportsAtMostOnceASecond) {
  ParavelleRenderCallback first(connection, L""), second(connection, L"");
  const auto reported = [&](ParavelleRenderCallback& callback) {
    callback.Progress(1, 2);
    return !farm.take().empty();
  };
  const auto now_after_last = [](std::uint32_t ms) {
    ::paravelle::host::set_tick_offset(0);
    ::paravelle::host::set_tick_offset(lastProgressTick.load() + ms - ::paravelle::host::tick_count());
  };
  EXPECT_TRUE(reported(first));
  EXPECT_FALSE(reported(first));
  EXPECT_FALSE(reported(second));  // the limit is the process's, not the callback's
  now_after_last(400);
  EXPECT_FALSE(reported(second));
  now_after_last(1500);
  EXPECT_TRUE(reported(second));
  now_after_last(static_cast<std::uint32_t>(-2000));  // a clock that went back counts as one that went on
  EXPECT_TRUE(reported(first));
  lastProgressTick.store(0xFFFFFF00u);  // across the wrap of the 32-bit counter
  now_after_last(300);
  EXPECT_FALSE(reported(first));
  now_after_last(1200);
  EXPECT_TRUE(reported(first));
}

// A report pumps the host's queue of the thread it runs on, and only that one; a lost
// connection never stops the render.
TEST_F(ProgressTest, AReportDrainsOnlyItsOwnThreadsQueueAndSurvivesALostConnection) {
  ParavelleRenderCallback callback(connection, L"");
  bool ran = false;
  ::paravelle::host::post_message([&] { ran = true; });
  const std::uint64_t drains = ::paravelle::host::drain_count();
  std::thread([&] { callback.Progress(1, 2); }).join();
  EXPECT_EQ(::paravelle::host::drain_count(), drains + 1);
  EXPECT_FALSE(ran);
  allow_next_report();
  callback.Progress(1, 2);
  EXPECT_TRUE(ran);

  win32::simple_socket unconnected;
  ParavelleRenderCallback lost(unconnected, L"");
  lost.SetTitle(L"Loading scene");
  allow_next_report();
  EXPECT_EQ(lost.Progress(1, 2), RENDPROG_CONTINUE);
  EXPECT_EQ(log.lines().back(),
            "caught simple socket excetion when handling progress: simple_socket: send called while not connected.");
}

// Renderer threads report at the same moment: every message arrives whole, and the
// callback's state stays consistent (ThreadSanitizer watches this one).
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
