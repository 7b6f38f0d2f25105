// The frames of a running job and who renders which: node threads take the next frame, report
// how each try went, and a failed try goes back to the front of the queue until its tries run out.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "worker/job_report.h"

namespace paravelle::worker {

struct TryOutcome {
  bool succeeded = false;
  int node = 0;
  double render_seconds = 0;
  std::vector<OutputFile> outputs;
  std::optional<std::string> crash_report;  // file written for this try
  std::string problem;
};

class FrameLedger {
 public:
  // Each frame gets 1 + `retries` tries at most.
  FrameLedger(const std::vector<std::int32_t>& frames, int retries);

  // The index of the next frame to render. Waits while other nodes still hold frames that may come
  // back for another try; empty when nothing is left to render or the job was stopped.
  std::optional<std::size_t> take();
  std::int32_t frame_at(std::size_t index) const { return records_[index].frame; }
  // Records one try of a frame taken with take(). True when the frame is final (done, or failed for good).
  bool finish(std::size_t index, const TryOutcome& outcome);
  // Gives a taken frame back untried (its node went away before it was sent).
  void give_back(std::size_t index);
  // No frame is handed out any more; frames not yet final stay "not rendered" with `problem`.
  void stop(const std::string& problem);

  std::vector<FrameRecord> records() const;
  FrameRecord record(std::size_t index) const;
  int frames_final() const;
  std::size_t frame_count() const { return records_.size(); }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<FrameRecord> records_;
  std::deque<std::size_t> queue_;
  int in_flight_ = 0;
  int final_ = 0;
  int retries_;
  bool stopped_ = false;
};

}  // namespace paravelle::worker
