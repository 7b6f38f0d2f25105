// A finished job read back from its report, for `paravelle-farm monitor REPORT`: the records wait
// in a FrameStore on disk, so a report of a million frames is shown with a few bytes a frame in memory.
#pragma once

#include <filesystem>
#include <memory>

#include "worker/monitor/job_board.h"

namespace paravelle::monitor {

// Throws JobFileError "<file>: <problem>" for a file that is not a report.
std::unique_ptr<JobBoard> board_from_report(const std::filesystem::path& report);

}  // namespace paravelle::monitor
