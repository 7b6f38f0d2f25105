#include "worker/frame_ledger.h"

namespace paravelle::worker {

FrameLedger::FrameLedger(std::vector<std::int32_t> frames, int retries, const std::filesystem::path& store_folder)
    : store_(store_folder),
      frames_(std::move(frames)),
      stored_(frames_.size(), -1),
      job_frames_(frames_.size()),
      retries_(retries) {}

std::int64_t FrameLedger::keep_record(const FrameRecord& record) {
  std::lock_guard lock(mutex_);
  return store_.append(record);
}

void FrameLedger::keep(std::size_t index, std::int64_t kept) {
  std::lock_guard lock(mutex_);
  if (stored_[index] >= 0) return;
  stored_[index] = kept;
  ++final_;
  ++kept_;
  ++done_;
}

void FrameLedger::append_kept(const FrameRecord& record) {
  std::lock_guard lock(mutex_);
  frames_.push_back(record.frame);
  stored_.push_back(store_.append(record));
  ++final_;
}

std::optional<std::size_t> FrameLedger::take() {
  std::unique_lock lock(mutex_);
  // Frames kept from an earlier run are passed over.
  const auto skip_kept = [this] {
    while (next_ < job_frames_ && stored_[next_] >= 0) ++next_;
  };
  changed_.wait(lock, [&] {
    skip_kept();
    return stopped_ || !retry_.empty() || next_ < job_frames_ || in_flight_ == 0;
  });
  if (stopped_) return std::nullopt;
  std::size_t index;
  if (!retry_.empty()) {
    index = retry_.front();
    retry_.pop_front();
  } else if (next_ < job_frames_) {
    index = next_++;
  } else {
    return std::nullopt;
  }
  ++in_flight_;
  return index;
}

int FrameLedger::tries_of(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return record_locked(index).tries;
}

bool FrameLedger::finish(std::size_t index, const TryOutcome& outcome) {
  std::lock_guard lock(mutex_);
  FrameRecord& record = trying_[index];
  record.frame = frames_[index];
  ++record.tries;
  record.node = outcome.node;
  record.render_seconds = outcome.render_seconds;
  record.outputs = outcome.outputs;
  record.problem = outcome.problem;
  if (!outcome.log.empty()) record.log = outcome.log;
  if (outcome.crash_report) record.crash_reports.push_back(*outcome.crash_report);
  --in_flight_;
  bool final = true;
  if (outcome.succeeded) {
    record.status = FrameStatus::done;
    ++done_;
  } else if (record.tries <= retries_ && !stopped_) {
    // To the front: a frame that failed once should not wait behind the whole job to be retried.
    retry_.push_front(index);
    final = false;
  } else {
    record.status = FrameStatus::failed;
  }
  if (final) {
    stored_[index] = store_.append(record);
    trying_.erase(index);
    ++final_;
  }
  changed_.notify_all();
  return final;
}

void FrameLedger::give_back(std::size_t index) {
  std::lock_guard lock(mutex_);
  --in_flight_;
  retry_.push_front(index);
  changed_.notify_all();
}

void FrameLedger::stop(const std::string& problem) {
  std::lock_guard lock(mutex_);
  if (stopped_) return;
  stopped_ = true;
  stop_problem_ = problem;
  // A frame waiting for another try has failed already; one never tried is simply not rendered.
  for (const std::size_t index : retry_) {
    auto found = trying_.find(index);
    if (found == trying_.end()) continue;  // given back untried
    found->second.status = FrameStatus::failed;
    stored_[index] = store_.append(found->second);
    trying_.erase(found);
    ++final_;
  }
  retry_.clear();
  changed_.notify_all();
}

bool FrameLedger::stopped() const {
  std::lock_guard lock(mutex_);
  return stopped_;
}

FrameRecord FrameLedger::record_locked(std::size_t index) const {
  if (stored_[index] >= 0) return store_.read(stored_[index]);
  if (const auto found = trying_.find(index); found != trying_.end()) return found->second;
  FrameRecord untried;
  untried.frame = frames_[index];
  untried.problem = stop_problem_;
  return untried;
}

FrameRecord FrameLedger::record(std::size_t index) const {
  std::int64_t offset;
  {
    std::lock_guard lock(mutex_);
    offset = stored_[index];
    if (offset < 0) return record_locked(index);
  }
  // A final record never changes: it is read without holding up the node threads (the monitor reads
  // records while they render).
  return store_.read(offset);
}

std::vector<FrameRecord> FrameLedger::records() const {
  std::lock_guard lock(mutex_);
  std::vector<FrameRecord> all;
  all.reserve(frames_.size());
  for (std::size_t i = 0; i < frames_.size(); ++i) all.push_back(record_locked(i));
  return all;
}

int FrameLedger::frames_final() const {
  std::lock_guard lock(mutex_);
  return final_;
}

bool FrameLedger::all_done() const {
  std::lock_guard lock(mutex_);
  return job_frames_ > 0 && static_cast<std::size_t>(done_) == job_frames_;
}

std::size_t FrameLedger::frames_to_render() const {
  std::lock_guard lock(mutex_);
  return job_frames_ - static_cast<std::size_t>(kept_);
}

}  // namespace paravelle::worker
