#include "console_view.h"

namespace paravelle::farm {
namespace {

constexpr const char* kSent = "\xE2\x86\x92";      // →
constexpr const char* kReceived = "\xE2\x86\x90";  // ←

}  // namespace

ConsoleView::ConsoleView(std::FILE* out, bool quiet, bool terminal) : out_(out), quiet_(quiet), terminal_(terminal) {}

void ConsoleView::message(worker::Direction direction, const std::string& payload) {
  if (quiet_) return;
  const std::string kind = worker::function_kind(payload);
  if (terminal_ && direction == worker::Direction::from_node && (kind == "PROGRESS" || kind == "SETTITLE")) {
    show_progress(payload);
    return;
  }
  print_line(direction == worker::Direction::to_node ? kSent : kReceived, payload);
}

void ConsoleView::note(const std::string& text, bool always) {
  if (quiet_ && !always) return;
  end_progress_line();
  std::fprintf(out_, "%s\n", text.c_str());
  std::fflush(out_);
}

void ConsoleView::show_progress(const std::string& payload) {
  const std::string argument = worker::function_argument(payload);
  if (worker::function_kind(payload) == "SETTITLE") {
    title_ = argument;
  } else {
    // -1 means the node has no measured value for this report.
    progress_ = argument == "-1" ? std::string() : argument + "%";
  }
  std::fprintf(out_, "\r\033[K%s %s%s%s", kReceived, progress_.c_str(), progress_.empty() ? "" : "  ", title_.c_str());
  std::fflush(out_);
  progress_line_open_ = true;
}

void ConsoleView::end_progress_line() {
  if (!progress_line_open_) return;
  std::fprintf(out_, "\n");
  progress_line_open_ = false;
  title_.clear();
  progress_.clear();
}

void ConsoleView::print_line(const char* arrow, const std::string& text) {
  end_progress_line();
  // Crash reports and multi-line errors stay readable under their arrow.
  std::string shown;
  for (const char c : text) shown += c == '\n' ? std::string("\n    ") : std::string(1, c);
  std::fprintf(out_, "%s %s\n", arrow, shown.c_str());
  std::fflush(out_);
}

}  // namespace paravelle::farm
