// What the farm knows of the node's settings commands: how many fields each takes and of which
// kind, which mistakes end the node's session, and which the node only writes to its own log
// while it switches the setting off. The first are refused when the job file is read; the
// second become warnings, so that an operator learns of them before the frames come out wrong.
#pragma once

#include <string>
#include <vector>

#include "worker/job_file.h"

namespace paravelle::worker {

// Throws std::invalid_argument for a setting that would end the node's session when sent
// (a text it cannot split, OverrideSaveFile with anything but 0 or 1), saying why.
void check_setting(const std::string& setting);

// One line per setting that the node would accept but silently ignore, or that has no effect
// where it stands: `"settings_after_start"[1] "UseJpegOutput": ...`. With `job` false (the settings
// and scripts without StartJob) where a setting stands does not matter.
std::vector<std::string> settings_warnings(const JobFile& job, bool job_commands);

}  // namespace paravelle::worker
