// The frames of a running job and who renders which: node threads take the next frame, report
// how each try went, and a failed try goes back to the front of the queue until its tries run out.
//
// Memory stays small per frame: a frame's record lives in memory only while it is being tried;
// once final it goes to a FrameStore on disk, and the ledger keeps only where (8 bytes a frame).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "worker/frame_store.h"
#include "worker/job_report.h"

namespace paravelle::worker {

struct TryOutcome {
  bool succeeded = false;
  int node = 0;
  double render_seconds = 0;
  std::vector<OutputFile> outputs;
  std::optional<std::string> crash_report;  // file written for this try
  std::string problem;
  std::string log;  // the frame's log file
};

class FrameLedger {
 public:
  // Each frame gets 1 + `retries` tries at most. Final records are kept in a file in `store_folder`
  // (the temporary folder when empty).
  FrameLedger(std::vector<std::int32_t> frames, int retries, const std::filesystem::path& store_folder = {});

  // Before the run: the frame at `index` is final already (rendered by an earlier run); it is not
  // handed out. keep_record stores the record once and returns what keep() takes, so that frames
  // listed twice share it.
  std::int64_t keep_record(const FrameRecord& record);
  void keep(std::size_t index, std::int64_t kept);
  // Before the run: a final record of a frame the job does not list (an earlier run's, kept in the
  // report); it goes after the job's frames.
  void append_kept(const FrameRecord& record);

  // The index of the next frame to render. Waits while other nodes still hold frames that may come
  // back for another try; empty when nothing is left to render or the job was stopped.
  std::optional<std::size_t> take();
  std::int32_t frame_at(std::size_t index) const { return frames_[index]; }
  // How many tries the frame at `index` has had.
  int tries_of(std::size_t index) const;
  // Records one try of a frame taken with take(). True when the frame is final (done, or failed for good).
  bool finish(std::size_t index, const TryOutcome& outcome);
  // Gives a taken frame back untried (its node went away before it was sent).
  void give_back(std::size_t index);
  // No frame is handed out any more; frames not yet final stay "not rendered" with `problem`.
  void stop(const std::string& problem);
  bool stopped() const;

  // Every frame, the job's and the appended ones, in order.
  std::size_t frame_count() const { return frames_.size(); }
  FrameRecord record(std::size_t index) const;
  std::vector<FrameRecord> records() const;
  int frames_final() const;
  // True when every frame of the job (the appended ones aside) is done.
  bool all_done() const;
  // Frames to render in this run (those not kept from an earlier one).
  std::size_t frames_to_render() const;

 private:
  FrameRecord record_locked(std::size_t index) const;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  FrameStore store_;
  std::vector<std::int32_t> frames_;
  std::vector<std::int64_t> stored_;                     // offset of the final record, or -1
  std::unordered_map<std::size_t, FrameRecord> trying_;  // tried, not final
  std::deque<std::size_t> retry_;                        // failed tries waiting for another
  std::size_t next_ = 0;                                 // the next frame never handed out
  std::size_t job_frames_;                               // frames past this were appended as kept
  int in_flight_ = 0;
  int final_ = 0;
  int kept_ = 0;  // of the job's frames
  int done_ = 0;  // of the job's frames
  int retries_;
  bool stopped_ = false;
  std::string stop_problem_;
};

}  // namespace paravelle::worker
