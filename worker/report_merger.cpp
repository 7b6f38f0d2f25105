#include "worker/report_merger.h"

#include <algorithm>

namespace paravelle::worker {
namespace {

int rank_of(FrameStatus status) {
  switch (status) {
    case FrameStatus::done: return 2;
    case FrameStatus::failed: return 1;
    case FrameStatus::pending: return 0;
  }
  return 0;
}

}  // namespace

ReportMerger::ReportMerger(const std::filesystem::path& store_folder) : store_(store_folder) {}

void ReportMerger::add_frame(const FrameRecord& record) {
  entries_.push_back(
      {record.frame, rank_of(record.status), static_cast<std::uint32_t>(entries_.size()), store_.append(record)});
}

void ReportMerger::add_part(const ReportHeader& header) {
  header_.node_starts += header.node_starts;
  for (const auto& warning : header.warnings) {
    if (std::find(header_.warnings.begin(), header_.warnings.end(), warning) == header_.warnings.end())
      header_.warnings.push_back(warning);
  }
  // Only what the merge needs of each part: its times.
  ReportHeader times;
  times.start_time = header.start_time;
  times.end_time = header.end_time;
  times.elapsed_seconds = header.elapsed_seconds;
  parts_.push_back(times);
}

void ReportMerger::finish(std::vector<std::int32_t> frames) {
  frames_ = std::move(frames);
  // Per frame, the best record first.
  std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    if (a.frame != b.frame) return a.frame < b.frame;
    if (a.rank != b.rank) return a.rank > b.rank;
    return a.order < b.order;
  });
  header_.elapsed_seconds = wall_seconds(parts_);
  for (const auto& part : parts_) {
    if (part.start_time > 0 && (header_.start_time == 0 || part.start_time < header_.start_time))
      header_.start_time = part.start_time;
    header_.end_time = std::max(header_.end_time, part.end_time);
  }
}

FrameRecord ReportMerger::record(std::size_t index) const {
  const std::int32_t frame = frames_[index];
  const auto found = std::lower_bound(entries_.begin(), entries_.end(), frame,
                                      [](const Entry& entry, std::int32_t value) { return entry.frame < value; });
  if (found != entries_.end() && found->frame == frame) return store_.read(found->offset);
  FrameRecord missing;
  missing.frame = frame;
  missing.problem = "missing from every report";
  return missing;
}

JobReport merge_reports(const std::string& job_file, const std::vector<std::int32_t>& frames,
                        const std::vector<JobReport>& parts) {
  ReportMerger merger;
  for (const auto& part : parts) {
    for (const auto& record : part.frames) merger.add_frame(record);
    merger.add_part(part);
  }
  merger.finish(frames);
  JobReport merged;
  static_cast<ReportHeader&>(merged) = merger.header();
  merged.job_file = job_file;
  for (std::size_t i = 0; i < merger.count(); ++i) merged.frames.push_back(merger.record(i));
  return merged;
}

}  // namespace paravelle::worker
