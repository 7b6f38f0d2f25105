#include "slurm.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "worker/errors.h"
#include "worker/frame_ranges.h"
#include "worker/job_file.h"
#include "worker/job_report.h"
#include "worker/node_process.h"
#include "worker/report_merger.h"

namespace paravelle::farm {
namespace {

using nlohmann::json;

constexpr const char* kSubmissionFormat = "paravelle-farm-submission";
constexpr const char* kManifest = "submission.json";
constexpr int kCommandWaitMs = 120000;

// A program found on PATH, as the shell would find it.
std::string find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  throw worker::WorkerError(name + " was not found on PATH (is Slurm installed on this machine?)");
}

struct CommandResult {
  int code;
  std::string out;
  std::string err;
};

CommandResult run_command(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {find_program(program)};
  argv.insert(argv.end(), args.begin(), args.end());
  worker::NodeProcess process(argv);
  const int code = process.wait(kCommandWaitMs);
  return {code, process.stdout_text(), process.stderr_text()};
}

std::string shell_quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string array_script(const SubmitOptions& options, const std::filesystem::path& job_file,
                         const std::vector<std::string>& chunks) {
  const std::string out = options.out_dir.string();
  std::ostringstream script;
  script << "#!/bin/bash\n"
         << "# Written by paravelle-farm submit: one array element per chunk of frames.\n"
         << "#SBATCH --job-name="
         << "paravelle-" << job_file.stem().string() << "\n"
         << "#SBATCH --array=0-" << chunks.size() - 1 << "\n"
         << "#SBATCH --output=" << out << "/slurm-%A_%a.out\n"
         << "set -eu\n"
         << "chunks=(";
  for (const auto& chunk : chunks) script << " " << shell_quoted(chunk);
  script << " )\n"
         << "i=$SLURM_ARRAY_TASK_ID\n"
         << "exec " << shell_quoted(options.farm_binary) << " " << shell_quoted(job_file.string())
         << " --frames \"${chunks[$i]}\" --report " << shell_quoted(out) << "/report-$i.json --work-dir "
         << shell_quoted(out) << "/work-$i --logs " << shell_quoted(out) << "/logs/element-$i";
  for (const auto& arg : options.element_args) script << " " << shell_quoted(arg);
  script << "\n";
  return script.str();
}

void write_text(const std::filesystem::path& file, const std::string& text) {
  std::ofstream stream(file, std::ios::binary | std::ios::trunc);
  stream << text;
  if (!stream.flush()) throw worker::WorkerError("cannot write " + file.string());
}

json read_manifest(const std::filesystem::path& out_dir) {
  const auto file = out_dir / kManifest;
  std::ifstream stream(file, std::ios::binary);
  if (!stream) throw worker::JobFileError(file.string() + ": no submission here (paravelle-farm submit writes it)");
  try {
    json manifest = json::parse(stream);
    if (manifest.value("format", "") != kSubmissionFormat) throw std::invalid_argument("not a submission file");
    return manifest;
  } catch (const std::exception& error) {
    throw worker::JobFileError(file.string() + ": " + error.what());
  }
}

struct ArrayState {
  int pending = 0;
  int running = 0;
};

// squeue lists the elements still pending or running; an id it no longer knows has finished.
ArrayState array_state(const std::string& job_id) {
  const CommandResult result = run_command("squeue", {"-h", "-r", "-j", job_id, "-o", "%T"});
  ArrayState state;
  if (result.code != 0) return state;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    if (line == "PENDING" || line == "CONFIGURING" || line == "REQUEUED" || line == "SUSPENDED")
      ++state.pending;
    else if (!line.empty())
      ++state.running;
  }
  return state;
}

void wait_for_array(const std::string& job_id, int elements, double poll_seconds) {
  const bool terminal = ::isatty(STDOUT_FILENO);
  std::string last;
  for (;;) {
    const ArrayState state = array_state(job_id);
    const int done = std::max(0, elements - state.pending - state.running);
    const std::string line = "Slurm job " + job_id + ": " + std::to_string(state.pending) + " pending, " +
                             std::to_string(state.running) + " running, " + std::to_string(done) + " done of " +
                             std::to_string(elements);
    if (line != last) {
      std::printf(terminal ? "\r\033[K%s" : "%s\n", line.c_str());
      std::fflush(stdout);
      last = line;
    }
    if (state.pending + state.running == 0) break;
    std::this_thread::sleep_for(std::chrono::duration<double>(poll_seconds));
  }
  if (terminal) std::printf("\n");
}

// The submit command that renders what a submission left undone, into a folder of its own.
void print_resubmission(const json& manifest, const std::filesystem::path& out_dir,
                        const worker::ReportMerger& merger) {
  std::vector<std::int32_t> missing;
  for (std::size_t i = 0; i < merger.count(); ++i) {
    const worker::FrameRecord record = merger.record(i);
    if (record.status != worker::FrameStatus::done) missing.push_back(record.frame);
  }
  const auto chunks = manifest.at("chunks").get<std::vector<std::string>>();
  // Submissions made before the manifest kept the chunk size: the first chunk has it.
  const std::size_t chunk = manifest.contains("chunk") ? manifest["chunk"].get<std::size_t>()
                                                       : worker::expand_frame_ranges(chunks.front()).size();
  std::string command = "paravelle-farm submit " + shell_quoted(manifest.at("job_file").get<std::string>()) +
                        " --chunk " + std::to_string(chunk) + " --frames " + worker::frame_ranges_text(missing) +
                        " --out " + shell_quoted(out_dir.string() + "-rest");
  for (const auto& arg : manifest.value("element_args", std::vector<std::string>{}))
    command += " " + shell_quoted("--element-arg=" + arg);
  std::printf("To render the %zu frame(s) not done:\n  %s\n", missing.size(), command.c_str());
}

}  // namespace

int submit(const SubmitOptions& options) {
  const worker::JobFile job = worker::load_job_file(options.job_file);
  const auto frames = options.frames.value_or(job.frames);
  if (frames.empty()) throw worker::JobFileError(options.job_file.string() + ": a job needs \"frames\" to render");
  const auto chunks = worker::frame_chunks(frames, static_cast<std::size_t>(options.chunk));
  std::filesystem::create_directories(options.out_dir);
  const auto job_file = std::filesystem::absolute(options.job_file);
  const auto script = options.out_dir / "array.sh";
  write_text(script, array_script(options, job_file, chunks));

  std::vector<std::string> args = {"--parsable"};
  if (options.partition) args.push_back("--partition=" + *options.partition);
  args.insert(args.end(), options.sbatch_args.begin(), options.sbatch_args.end());
  args.push_back(script.string());
  const CommandResult result = run_command("sbatch", args);
  if (result.code != 0) {
    std::fprintf(stderr, "paravelle-farm: sbatch failed (exit code %d): %s\n", result.code,
                 trimmed(result.err).c_str());
    return 1;
  }
  // --parsable prints "id" or "id;cluster".
  const std::string job_id = trimmed(result.out.substr(0, result.out.find(';')));
  const json manifest = {{"format", kSubmissionFormat},
                         {"version", 1},
                         {"job_file", job_file.string()},
                         {"frames", frames},
                         {"chunks", chunks},
                         {"chunk", options.chunk},
                         {"element_args", options.element_args},
                         {"slurm_job_id", job_id}};
  write_text(options.out_dir / kManifest, manifest.dump(2) + "\n");
  std::fprintf(stderr, "Submitted %zu frame(s) in %zu array element(s); reports go to %s\n", frames.size(),
               chunks.size(), options.out_dir.c_str());
  std::printf("%s\n", job_id.c_str());
  return 0;
}

int collect(const CollectOptions& options) {
  const json manifest = read_manifest(options.out_dir);
  const auto chunks = manifest.at("chunks").get<std::vector<std::string>>();
  if (options.wait_job) wait_for_array(*options.wait_job, static_cast<int>(chunks.size()), options.poll_seconds);
  worker::ReportMerger merger(options.out_dir);
  std::vector<worker::ReportElement> elements;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const auto file = options.out_dir / ("report-" + std::to_string(i) + ".json");
    worker::ReportElement element;
    element.frames = chunks[i];
    element.report = file.string();
    try {
      worker::ReportTotals totals;
      const worker::ReportHeader part = worker::read_report(file, [&](worker::FrameRecord&& record) {
        totals.add(record);
        merger.add_frame(record);
      });
      merger.add_part(part);
      element.host = part.host;
      element.start_time = part.start_time;
      element.end_time = part.end_time;
      std::printf("element %zu (frames %s) on %s: %d done, %d failed, %d not rendered in %s s\n", i, chunks[i].c_str(),
                  part.host.empty() ? "an unnamed host" : part.host.c_str(), totals.done, totals.failed,
                  totals.not_rendered, worker::seconds_text(part.elapsed_seconds).c_str());
    } catch (const worker::JobFileError& error) {
      std::fprintf(stderr, "paravelle-farm: element %zu (frames %s): %s\n", i, chunks[i].c_str(), error.what());
    }
    elements.push_back(std::move(element));
  }
  const auto frames = manifest.at("frames").get<std::vector<std::int32_t>>();
  merger.finish(frames);
  worker::ReportHeader header = merger.header();
  header.job_file = manifest.at("job_file").get<std::string>();
  header.host = worker::host_name();
  header.elements = std::move(elements);
  const auto record_at = [&merger](std::size_t i) { return merger.record(i); };
  const auto report_file = options.report_file.empty() ? options.out_dir / "report.json" : options.report_file;
  const worker::ReportTotals totals = worker::write_report(header, merger.count(), record_at, report_file);
  worker::print_summary(stdout, header, merger.count(), record_at);
  std::printf("Report: %s\n", report_file.c_str());
  if (totals.done == static_cast<int>(totals.frames) && totals.frames > 0) return 0;
  print_resubmission(manifest, options.out_dir, merger);
  return 1;
}

}  // namespace paravelle::farm
