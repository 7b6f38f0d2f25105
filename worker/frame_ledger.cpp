#include "worker/frame_ledger.h"

namespace paravelle::worker {

FrameLedger::FrameLedger(const std::vector<std::int32_t>& frames, int retries) : retries_(retries) {
  records_.reserve(frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i) {
    FrameRecord record;
    record.frame = frames[i];
    records_.push_back(record);
    queue_.push_back(i);
  }
}

std::optional<std::size_t> FrameLedger::take() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return stopped_ || !queue_.empty() || in_flight_ == 0; });
  if (stopped_ || queue_.empty()) return std::nullopt;
  const std::size_t index = queue_.front();
  queue_.pop_front();
  ++in_flight_;
  return index;
}

bool FrameLedger::finish(std::size_t index, const TryOutcome& outcome) {
  std::lock_guard lock(mutex_);
  FrameRecord& record = records_[index];
  ++record.tries;
  record.node = outcome.node;
  record.render_seconds = outcome.render_seconds;
  record.outputs = outcome.outputs;
  record.problem = outcome.problem;
  if (outcome.crash_report) record.crash_reports.push_back(*outcome.crash_report);
  --in_flight_;
  bool final = true;
  if (outcome.succeeded) {
    record.status = FrameStatus::done;
  } else if (record.tries <= retries_ && !stopped_) {
    // To the front: a frame that failed once should not wait behind the whole job to be retried.
    queue_.push_front(index);
    final = false;
  } else {
    record.status = FrameStatus::failed;
  }
  if (final) ++final_;
  changed_.notify_all();
  return final;
}

void FrameLedger::give_back(std::size_t index) {
  std::lock_guard lock(mutex_);
  --in_flight_;
  queue_.push_front(index);
  changed_.notify_all();
}

void FrameLedger::stop(const std::string& problem) {
  std::lock_guard lock(mutex_);
  if (stopped_) return;
  stopped_ = true;
  for (const std::size_t index : queue_) {
    FrameRecord& record = records_[index];
    // A frame waiting for another try has failed already; one never tried was simply not rendered.
    if (record.tries > 0) {
      record.status = FrameStatus::failed;
      ++final_;
    } else {
      record.problem = problem;
    }
  }
  queue_.clear();
  changed_.notify_all();
}

std::vector<FrameRecord> FrameLedger::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

FrameRecord FrameLedger::record(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return records_[index];
}

int FrameLedger::frames_final() const {
  std::lock_guard lock(mutex_);
  return final_;
}

}  // namespace paravelle::worker
