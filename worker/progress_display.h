// What a running job shows. On a terminal: one live line per node (frame, bar, the renderer's
// title) and an overall line (frames done, elapsed, time left), redrawn at most 10 times a second.
// Elsewhere (a CI log, a file): plain lines, progress at most once a second per node. Quiet: only
// problems. The summary table is not the display's: the program prints it at the end.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "worker/job_runner.h"

namespace paravelle::worker {

enum class DisplayMode { terminal, plain, quiet };

class ProgressDisplay : public RunObserver {
 public:
  using Now = std::function<Clock::time_point()>;
  static constexpr std::chrono::milliseconds kRedrawInterval{100};
  static constexpr std::chrono::milliseconds kPlainInterval{1000};

  ProgressDisplay(
      std::FILE* out, DisplayMode mode, int nodes, std::size_t frames, int width = 100,
      Now now = [] { return Clock::now(); });

  void node_state(int node, const std::string& state) override;
  void frame_started(int node, std::int32_t frame, int try_number) override;
  void node_message(int node, const std::string& payload) override;
  void frame_finished(int node, const FrameRecord& record, bool final) override;
  void note(const std::string& text, bool problem) override;

  // Terminal mode: redraws when something changed and the last redraw is old enough. A ticker
  // calls it every kRedrawInterval; events never draw by themselves, which bounds the rate.
  void tick();
  // Draws the final state and leaves the cursor below it.
  void finish();

 private:
  struct NodeLine {
    std::string state = "waiting";
    std::optional<std::int32_t> frame;
    int try_number = 0;
    double percent = -1;  // -1: no measured value
    std::string title;
    std::optional<Clock::time_point> last_plain;
  };

  std::string node_text(int node) const;
  std::string overall_text() const;
  void erase_block();
  void draw_block();
  void print(const std::string& line, bool fit = false);
  void plain_progress(int node);
  NodeLine& line(int node) { return lines_[static_cast<std::size_t>(node - 1)]; }

  std::mutex mutex_;
  std::FILE* out_;
  DisplayMode mode_;
  std::size_t width_;
  Now now_;
  Clock::time_point begin_;
  std::vector<NodeLine> lines_;
  std::size_t frames_;
  int done_ = 0;
  int failed_ = 0;
  int drawn_lines_ = 0;
  bool dirty_ = true;
  std::optional<Clock::time_point> last_draw_;
};

}  // namespace paravelle::worker
