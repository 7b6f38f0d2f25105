// Finished frame records, kept on disk instead of in memory: a job of a million frames would
// otherwise hold a few kilobytes per frame (outputs, problems, paths) until its report is written.
// Records go to an unnamed file, one JSON line each, and are read back by the offset append() gave.
#pragma once

#include <cstdint>
#include <filesystem>

#include "worker/job_report.h"
#include "worker/unique_fd.h"

namespace paravelle::worker {

class FrameStore {
 public:
  // The file is made in `folder` (the temporary folder when empty) and unlinked at once, so it
  // vanishes with the store, however the program ends. Throws WorkerError when it cannot be made.
  explicit FrameStore(const std::filesystem::path& folder = {});

  std::int64_t append(const FrameRecord& record);
  // Safe beside an append() on another thread: a record, once appended, is never written again.
  FrameRecord read(std::int64_t offset) const;

 private:
  UniqueFd file_;
  std::int64_t end_ = 0;
};

}  // namespace paravelle::worker
