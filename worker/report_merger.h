// One report from the reports of the parts of a job (the elements of a Slurm array job), read a
// frame at a time: each frame takes the best record any part holds (done over failed over not
// rendered, the earlier part on a tie). Records wait in a FrameStore on disk, so merging the
// reports of a million frames holds only a few bytes a frame in memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "worker/frame_store.h"
#include "worker/job_report.h"

namespace paravelle::worker {

class ReportMerger {
 public:
  explicit ReportMerger(const std::filesystem::path& store_folder = {});

  // A frame of the part being read.
  void add_frame(const FrameRecord& record);
  // The part whose frames were just added is complete: its node starts count, its times bound the run.
  void add_part(const ReportHeader& header);

  // The merged report of `frames`, in that order; a frame no part holds is "not rendered" with the
  // problem "missing from every report".
  void finish(std::vector<std::int32_t> frames);
  std::size_t count() const { return frames_.size(); }
  FrameRecord record(std::size_t index) const;
  // The job file and the totals of the parts; the elapsed time runs from the first start to the last end.
  const ReportHeader& header() const { return header_; }

 private:
  struct Entry {
    std::int32_t frame;
    int rank;  // done 2, failed 1, not rendered 0
    std::uint32_t order;
    std::int64_t offset;
  };

  FrameStore store_;
  std::vector<Entry> entries_;
  std::vector<std::int32_t> frames_;
  std::vector<ReportHeader> parts_;
  ReportHeader header_;
};

}  // namespace paravelle::worker
