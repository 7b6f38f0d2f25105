// The display in its three modes, with a clock the test moves: what is printed, and how often.
#include "worker/progress_display.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

namespace paravelle::worker {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class Capture {
 public:
  Capture() : file_(std::tmpfile()) {}
  ~Capture() { std::fclose(file_); }
  std::FILE* file() const { return file_; }
  std::string text() const {
    std::fflush(file_);
    std::string all;
    std::rewind(file_);
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file_)) > 0;) all.append(chunk, n);
    return all;
  }

 private:
  std::FILE* file_;
};

struct Clocked {
  Clock::time_point now = Clock::time_point() + std::chrono::hours(1);
  Capture out;
  ProgressDisplay display;
  explicit Clocked(DisplayMode mode, int nodes = 2, std::size_t frames = 4)
      : display(out.file(), mode, nodes, frames, 60, [this] { return now; }) {}
  void advance(int ms) { now += std::chrono::milliseconds(ms); }
};

FrameRecord finished(std::int32_t frame, FrameStatus status, int tries, const std::string& problem = "") {
  FrameRecord record;
  record.frame = frame;
  record.status = status;
  record.tries = tries;
  record.render_seconds = 1.5;
  record.problem = problem;
  return record;
}

TEST(ProgressDisplay, PlainLinesAtMostOncePerSecondPerNode) {
  Clocked clocked(DisplayMode::plain);
  clocked.display.frame_started(1, 7, 1);
  clocked.display.frame_started(2, 8, 2);
  clocked.display.node_message(1, "FUNCTION: SETTITLE Rendering image - 25.0%");
  clocked.display.node_message(1, "FUNCTION: PROGRESS 25");  // within the second: not shown
  clocked.display.node_message(2, "FUNCTION: PROGRESS -1");
  clocked.advance(999);
  clocked.display.node_message(1, "FUNCTION: PROGRESS 30");
  clocked.advance(1);
  clocked.display.node_message(1, "FUNCTION: PROGRESS 50");
  clocked.display.node_message(1, "FUNCTION: STDOUT: MaxParavelle: not progress");
  clocked.display.frame_finished(1, finished(7, FrameStatus::done, 1), true);
  clocked.display.frame_finished(2, finished(8, FrameStatus::pending, 2, "the node closed the connection"), false);
  clocked.advance(61000);
  clocked.display.finish();
  EXPECT_EQ(clocked.out.text(),
            "node 1  frame 7  [--------------------]     ?%  Rendering image - 25.0%\n"
            "node 2  frame 8 (try 2)  [--------------------]     ?%\n"
            "node 1  frame 7  [##########----------]  50.0%  Rendering image - 25.0%\n"
            "frame 7 done on node 1 (try 1, 1.50 s)  [1/4]\n"
            "frame 8 failed on node 2 (try 2, 1.50 s), to be tried again: the node closed the connection  [1/4]\n"
            "frames 1/4 done  elapsed 1:02  left ~3:06\n");
}

TEST(ProgressDisplay, QuietShowsOnlyProblems) {
  Clocked clocked(DisplayMode::quiet);
  clocked.display.frame_started(1, 7, 1);
  clocked.display.node_message(1, "FUNCTION: PROGRESS 25");
  clocked.display.note("node 1: started", false);
  clocked.display.frame_finished(1, finished(7, FrameStatus::done, 1), true);
  clocked.display.note("node 2: gave up", true);
  clocked.display.frame_finished(1, finished(9, FrameStatus::failed, 3, "stalled"), true);
  clocked.display.finish();
  EXPECT_EQ(clocked.out.text(), "node 2: gave up\nframe 9 FAILED on node 1 (try 3, 1.50 s): stalled  [2/4]\n");
}

TEST(ProgressDisplay, TerminalRedrawsTheBlockInPlaceAtMostTenTimesASecond) {
  Clocked clocked(DisplayMode::terminal);
  clocked.display.tick();
  const std::string first = clocked.out.text();
  EXPECT_EQ(first, "node 1  waiting\nnode 2  waiting\nframes 0/4 done  elapsed 0:00\n");
  clocked.display.frame_started(1, 3, 1);
  clocked.display.node_message(1, "FUNCTION: PROGRESS 100");
  clocked.advance(99);
  clocked.display.tick();  // too soon after the last redraw
  EXPECT_EQ(clocked.out.text(), first);
  clocked.advance(1);
  clocked.display.tick();
  const std::string second = clocked.out.text().substr(first.size());
  EXPECT_EQ(second, "\033[3A\r\033[J"
                    "node 1  frame 3  [####################] 100.0%\n"
                    "node 2  waiting\n"
                    "frames 0/4 done  elapsed 0:00\n");
  clocked.advance(500);
  clocked.display.tick();  // nothing changed: nothing drawn
  EXPECT_EQ(clocked.out.text().size(), first.size() + second.size());
  // A note goes above the block, which is erased and drawn again at the next tick.
  clocked.display.note("node 2: the node exited with code 1 before it connected; killing it", true);
  EXPECT_THAT(
      clocked.out.text().substr(first.size() + second.size()),
      ::testing::StartsWith("\033[3A\r\033[Jnode 2: the node exited with code 1 before it connected; killing it\n"));
}

TEST(ProgressDisplay, BlockLinesNeverWrap) {
  Clocked clocked(DisplayMode::terminal, 1, 1);
  clocked.display.frame_started(1, 3, 1);
  clocked.display.node_message(1, "FUNCTION: SETTITLE " + std::string(200, 'x'));
  clocked.display.tick();
  const std::string text = clocked.out.text();
  EXPECT_THAT(text, HasSubstr(std::string(10, 'x') + "\n"));
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_LT(end - start, 60u);
  }
  EXPECT_THAT(text, Not(HasSubstr(std::string(200, 'x'))));
}

}  // namespace
}  // namespace paravelle::worker
