#include "worker/progress_display.h"

#include <cmath>
#include <cstdlib>

#include "worker/conversation.h"

namespace paravelle::worker {
namespace {

constexpr int kBarWidth = 20;

std::string duration_text(double seconds) {
  const long total = std::lround(seconds);
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

std::string percent_text(double percent) {
  char text[16];
  std::snprintf(text, sizeof text, "%5.1f%%", percent);
  return text;
}

std::string bar(double percent) {
  const int filled = percent < 0 ? 0 : static_cast<int>(std::min(percent, 100.0) * kBarWidth / 100.0);
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(kBarWidth - filled), '-') + "]";
}

double parse_percent(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  return end && *end == '\0' && value >= 0 ? value : -1;
}

}  // namespace

ProgressDisplay::ProgressDisplay(std::FILE* out, DisplayMode mode, int nodes, std::size_t frames, int width, Now now)
    : out_(out),
      mode_(mode),
      width_(static_cast<std::size_t>(std::max(width, 20))),
      now_(std::move(now)),
      begin_(now_()),
      lines_(static_cast<std::size_t>(std::max(nodes, 1))),
      frames_(frames) {}

void ProgressDisplay::node_state(int node, const std::string& state) {
  std::lock_guard lock(mutex_);
  NodeLine& entry = line(node);
  entry.state = state;
  if (state != "rendering") entry.frame.reset();
  dirty_ = true;
}

void ProgressDisplay::frame_started(int node, std::int32_t frame, int try_number) {
  std::lock_guard lock(mutex_);
  NodeLine& entry = line(node);
  entry.state = "rendering";
  entry.frame = frame;
  entry.try_number = try_number;
  entry.percent = -1;
  entry.title.clear();
  dirty_ = true;
}

void ProgressDisplay::node_message(int node, const std::string& payload) {
  const std::string kind = function_kind(payload);
  if (kind != "PROGRESS" && kind != "SETTITLE") return;
  std::lock_guard lock(mutex_);
  NodeLine& entry = line(node);
  if (!entry.frame) return;
  if (kind == "PROGRESS") {
    entry.percent = parse_percent(function_argument(payload));
  } else {
    entry.title = function_argument(payload);
  }
  dirty_ = true;
  if (mode_ == DisplayMode::plain) plain_progress(node);
}

void ProgressDisplay::plain_progress(int node) {
  NodeLine& entry = line(node);
  const auto now = now_();
  if (entry.last_plain && now - *entry.last_plain < kPlainInterval) return;
  entry.last_plain = now;
  print(node_text(node));
}

void ProgressDisplay::frame_finished(int node, const FrameRecord& record, bool final) {
  std::lock_guard lock(mutex_);
  NodeLine& entry = line(node);
  entry.frame.reset();
  entry.percent = -1;
  entry.title.clear();
  if (final && record.status == FrameStatus::done) ++done_;
  if (final && record.status == FrameStatus::failed) ++failed_;
  dirty_ = true;
  const std::string where = " on node " + std::to_string(node) + " (try " + std::to_string(record.tries) + ", " +
                            seconds_text(record.render_seconds) + " s)";
  std::string text;
  if (record.status == FrameStatus::done) {
    text = "frame " + std::to_string(record.frame) + " done" + where;
  } else {
    // The node of the next try is not known yet: whichever is free takes it.
    text = "frame " + std::to_string(record.frame) + (final ? " FAILED" : " failed") + where +
           (final ? "" : ", to be tried again") + ": " + record.problem;
  }
  const bool problem = record.status == FrameStatus::failed;
  if (mode_ == DisplayMode::quiet && !problem) return;
  if (mode_ == DisplayMode::terminal) erase_block();
  print(text + "  [" + std::to_string(done_ + failed_) + "/" + std::to_string(frames_) + "]");
}

void ProgressDisplay::note(const std::string& text, bool problem) {
  std::lock_guard lock(mutex_);
  if (mode_ == DisplayMode::quiet && !problem) return;
  if (mode_ == DisplayMode::terminal) erase_block();
  print(text);
  dirty_ = true;
}

void ProgressDisplay::tick() {
  std::lock_guard lock(mutex_);
  if (mode_ != DisplayMode::terminal || !dirty_) return;
  const auto now = now_();
  if (last_draw_ && now - *last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  draw_block();
}

void ProgressDisplay::finish() {
  std::lock_guard lock(mutex_);
  if (mode_ == DisplayMode::terminal) {
    draw_block();
    drawn_lines_ = 0;
  } else if (mode_ == DisplayMode::plain) {
    print(overall_text());
  }
}

std::string ProgressDisplay::node_text(int node) const {
  const NodeLine& entry = lines_[static_cast<std::size_t>(node - 1)];
  std::string text = "node " + std::to_string(node) + "  ";
  if (!entry.frame) return text + entry.state;
  text += "frame " + std::to_string(*entry.frame);
  if (entry.try_number > 1) text += " (try " + std::to_string(entry.try_number) + ")";
  text += "  " + bar(entry.percent) + " " + (entry.percent < 0 ? std::string("    ?%") : percent_text(entry.percent));
  if (!entry.title.empty()) text += "  " + entry.title;
  return text;
}

std::string ProgressDisplay::overall_text() const {
  const double elapsed = std::chrono::duration<double>(now_() - begin_).count();
  const int finished = done_ + failed_;
  std::string text = "frames " + std::to_string(done_) + "/" + std::to_string(frames_) + " done";
  if (failed_ > 0) text += ", " + std::to_string(failed_) + " failed";
  text += "  elapsed " + duration_text(elapsed);
  if (finished > 0 && static_cast<std::size_t>(finished) < frames_) {
    text += "  left ~" +
            duration_text(elapsed / finished * static_cast<double>(frames_ - static_cast<std::size_t>(finished)));
  }
  return text;
}

void ProgressDisplay::erase_block() {
  if (drawn_lines_ == 0) return;
  // Up to the block's first line, then clear everything below: the next line takes its place.
  std::fprintf(out_, "\033[%dA\r\033[J", drawn_lines_);
  drawn_lines_ = 0;
}

void ProgressDisplay::draw_block() {
  erase_block();
  for (std::size_t node = 1; node <= lines_.size(); ++node) print(node_text(static_cast<int>(node)), true);
  print(overall_text(), true);
  drawn_lines_ = static_cast<int>(lines_.size()) + 1;
  dirty_ = false;
}

void ProgressDisplay::print(const std::string& line, bool fit) {
  // A block line must not wrap, or moving up by the block's line count would miss its start.
  const std::string shown = fit && line.size() >= width_ ? line.substr(0, width_ - 1) : line;
  std::fprintf(out_, "%s\n", shown.c_str());
  std::fflush(out_);
}

}  // namespace paravelle::worker
