// Many machines through Slurm: `submit` hands a job to sbatch as one array job, a chunk of frames
// per element, each element running paravelle-farm on the machine Slurm gives it; `collect` waits
// for the array job if asked and merges the elements' reports into one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace paravelle::farm {

struct SubmitOptions {
  std::filesystem::path job_file;
  int chunk = 0;
  std::optional<std::string> partition;
  std::vector<std::string> sbatch_args;
  std::filesystem::path out_dir;                    // shared storage, seen by every machine
  std::optional<std::vector<std::int32_t>> frames;  // --frames, else the job file's
  std::string farm_binary;                          // this program, as the elements run it
  std::vector<std::string> element_args;            // passed on to each element (--nodes, --node ...)
};

struct CollectOptions {
  std::filesystem::path out_dir;
  std::optional<std::string> wait_job;
  std::filesystem::path report_file;  // empty: <out_dir>/report.json
  double poll_seconds = 2;
};

// Prints the Slurm job id on standard output. 0, or 1 when sbatch fails.
int submit(const SubmitOptions& options);
// 0 when every frame of the submission was rendered, 1 when one is missing or failed.
int collect(const CollectOptions& options);

}  // namespace paravelle::farm
