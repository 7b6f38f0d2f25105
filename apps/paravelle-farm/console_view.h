// Shows the conversation with the node: "→" for what the worker sends, "←" for what it receives.
// On a terminal the node's progress and title updates share one line that is rewritten in place.
#pragma once

#include <cstdio>
#include <string>

#include "worker/farm_worker.h"

namespace paravelle::farm {

class ConsoleView {
 public:
  ConsoleView(std::FILE* out, bool quiet, bool terminal);

  // Suitable as the FarmWorker's observer.
  void message(worker::Direction direction, const std::string& payload);
  // A line of the program's own (a heading, a result); shown even when quiet is set if `always`.
  void note(const std::string& text, bool always = false);

 private:
  void show_progress(const std::string& payload);
  void end_progress_line();
  void print_line(const char* arrow, const std::string& text);

  std::FILE* out_;
  bool quiet_;
  bool terminal_;
  bool progress_line_open_ = false;
  std::string title_;
  std::string progress_;
};

}  // namespace paravelle::farm
