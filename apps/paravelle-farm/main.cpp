// paravelle-farm: the reference farm worker. Runs a job file on nodes it starts on this machine,
// shows the progress, and tells by its exit code whether every frame was rendered; hands a job to
// Slurm when one machine is not enough (submit), and merges what Slurm's machines reported (collect).
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "console_view.h"
#include "job_runner.h"
#include "slurm.h"
#include "worker/monitor/monitor_server.h"
#include "worker/errors.h"
#include "worker/frame_ranges.h"
#include "worker/job_file.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::filesystem::path this_program() {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/self/exe", error);
}

std::string default_node_binary() {
  const auto self = this_program();
  return self.empty() ? std::string("paravelle-node") : (self.parent_path() / "paravelle-node").string();
}

std::string random_token() {
  std::random_device device;
  std::uniform_int_distribution<int> digit(0, 15);
  std::string token = "farm-";
  for (int i = 0; i < 16; ++i) token += "0123456789abcdef"[digit(device)];
  return token;
}

CLI::Validator environment_entry() {
  return CLI::Validator(
      [](std::string& text) {
        const auto equals = text.find('=');
        return equals == std::string::npos || equals == 0 ? std::string("expected NAME=VALUE, got " + text)
                                                          : std::string();
      },
      "NAME=VALUE");
}

CLI::Validator frame_list() {
  return CLI::Validator(
      [](std::string& text) {
        try {
          if (paravelle::worker::expand_frame_ranges(text).empty()) return std::string("no frames in \"" + text + "\"");
          return std::string();
        } catch (const std::invalid_argument& error) {
          return std::string(error.what());
        }
      },
      "LIST");
}

CLI::Validator listen_address() {
  return CLI::Validator(
      [](std::string& text) {
        try {
          paravelle::monitor::parse_listen_address(text);
          return std::string();
        } catch (const std::invalid_argument& error) {
          return std::string(error.what());
        }
      },
      "[HOST:]PORT");
}

struct Cli {
  std::string job_file;
  std::string frames;
  paravelle::farm::RunOptions run;
  std::vector<std::string> environment;
  paravelle::farm::SubmitOptions submit;
  std::string submit_out;
  paravelle::farm::CollectOptions collect;
  std::string collect_dir;
  std::vector<std::string> monitor_reports;
  paravelle::farm::MonitorOptions monitor_reports_options;
  std::string monitor_host = "127.0.0.1";
  int monitor_port = 0;
};

void add_run_options(CLI::App& app, Cli& cli) {
  app.add_option("JOBFILE", cli.job_file, "job file (JSON, see docs/job-file.md)");
  app.add_option("--frames", cli.frames, "frames to render instead of the job file's (\"1-10,12\")")
      ->check(frame_list());
  app.add_option("--nodes", cli.run.nodes, "node processes to run at once; frames go to whichever is free")
      ->check(CLI::Range(1, 256))
      ->capture_default_str();
  app.add_option("--stall-timeout", cli.run.stall_timeout_seconds,
                 "seconds a node may stay silent, or not read, during a frame or a job start before it is killed and "
                 "replaced (0: never)")
      ->check(CLI::Range(0.0, 2.0e6))
      ->capture_default_str();
  app.add_option("--retries", cli.run.retries, "further tries of a frame that failed")
      ->check(CLI::Range(0, 100))
      ->capture_default_str();
  app.add_option("--report", cli.run.report_file,
                 "write a JSON report of every frame here; crash files and the logs/ folder go beside it");
  app.add_option("--resume", cli.run.resume_report,
                 "render only the frames this earlier report does not list as done (with their outputs still on "
                 "disk), and write the merged report to --report, else back to this file")
      ->check(CLI::ExistingFile);
  app.add_option("--logs", cli.run.logs_dir,
                 "folder for each frame's log and each job start's log (default: logs/ beside the report, else in "
                 "the work folder)");
  app.add_option("--work-dir", cli.run.work_dir, "folder for the nodes' TMP folders (default: a new one under /tmp)");
  app.add_flag("--keep-work", cli.run.keep_work,
               "keep the nodes' folders after a run in which every frame was rendered (other runs always keep them)");
  app.add_flag("--quiet", cli.run.quiet, "show only failures and the summary");
  app.add_option("--node", cli.run.node_binary, "the node program to start")
      ->check(CLI::ExistingFile)
      ->capture_default_str();
  app.add_option("--token", cli.run.token, "token the nodes must send (default: the job file's, else a random one)");
  app.add_option("--timeout-ms", cli.run.timeout_ms,
                 "longest wait for the node's next message outside job commands (handshake, settings, scripts)")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_flag("--without-job", cli.run.without_job,
               "no StartJob, RenderTask or EndJob: the settings and the scripts on one node, conversation shown");
  app.add_option("--node-arg", cli.run.node_args, "extra argument for the node (repeatable)");
  auto* monitor = app.add_option("--monitor", cli.run.monitor.listen,
                                 "serve a live web page of the job, its nodes and its frames on [HOST:]PORT (HOST "
                                 "127.0.0.1 unless given, PORT 0 picks a free one); prints \"monitor: URL\" first "
                                 "(docs/monitor.md)")
                      ->check(listen_address())
                      ->excludes("--without-job");
  app.add_option("--monitor-token", cli.run.monitor.token,
                 "token the monitor asks of every request (?token= or \"Authorization: Bearer\"); needed when HOST "
                 "is not this machine's loopback")
      ->needs(monitor);
  app.add_option("--monitor-linger", cli.run.monitor.linger_seconds,
                 "seconds the monitor keeps the finished job on show before the program ends")
      ->check(CLI::Range(0.0, 1.0e7))
      ->needs(monitor);
  app.add_option("--node-env", cli.environment, "environment variable for the node, NAME=VALUE (repeatable)")
      ->check(environment_entry());
}

void add_submit(CLI::App& app, Cli& cli) {
  CLI::App* submit = app.add_subcommand(
      "submit", "Hand the job to Slurm as one array job: each element renders a chunk of frames with paravelle-farm "
                "on the machine Slurm gives it and writes OUT/report-<element>.json. Prints the Slurm job id.");
  submit
      ->add_option("JOBFILE", cli.submit.job_file, "job file; it, its scene and its outputs must be on shared storage")
      ->required();
  submit->add_option("--chunk", cli.submit.chunk, "frames per array element")
      ->required()
      ->check(CLI::Range(1, 1000000));
  submit->add_option("--partition", cli.submit.partition, "Slurm partition");
  submit
      ->add_option("--sbatch-arg", cli.submit.sbatch_args,
                   "extra sbatch argument, e.g. --sbatch-arg=--time=2:00:00 (repeatable)")
      ->allow_extra_args(false);
  submit->add_option("--out", cli.submit_out, "folder for the reports and Slurm's output, on shared storage")
      ->capture_default_str();
  submit->add_option("--frames", cli.frames, "frames to render instead of the job file's")->check(frame_list());
  submit
      ->add_option("--element-arg", cli.submit.element_args,
                   "argument passed on to paravelle-farm in each element, e.g. --element-arg=--nodes=2 (repeatable)")
      ->allow_extra_args(false);
}

void add_collect(CLI::App& app, Cli& cli) {
  CLI::App* collect = app.add_subcommand(
      "collect", "Merge the reports of a submission into one summary and OUT/report.json; exit 1 when a frame is "
                 "missing or failed.");
  collect->add_option("DIR", cli.collect_dir, "the folder given to submit --out")
      ->required()
      ->check(CLI::ExistingDirectory);
  collect->add_option("--wait", cli.collect.wait_job, "first wait for this Slurm job to finish, showing its elements");
  collect->add_option("--report", cli.collect.report_file, "write the merged report here instead");
  collect->add_option("--poll", cli.collect.poll_seconds, "seconds between two looks at the queue")
      ->check(CLI::Range(0.05, 3600.0))
      ->capture_default_str();
}

void add_monitor(CLI::App& app, Cli& cli) {
  CLI::App* monitor = app.add_subcommand(
      "monitor", "Serve finished jobs read-only from their reports (a merged one of collect too): the web page, "
                 "the JSON API, their logs, crash reports and outputs (docs/monitor.md). Prints \"monitor: URL\"; "
                 "Ctrl-C ends it.");
  monitor->add_option("REPORT", cli.monitor_reports, "report(s) of paravelle-farm --report or collect")
      ->required()
      ->check(CLI::ExistingFile);
  monitor->add_option("--port", cli.monitor_port, "port to serve on (0: a free one)")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  monitor->add_option("--host", cli.monitor_host, "address to serve on (another than loopback needs --token)")
      ->capture_default_str();
  monitor->add_option("--token", cli.monitor_reports_options.token,
                      "token the monitor asks of every request (?token= or \"Authorization: Bearer\")");
}

int run_local(CLI::App& app, Cli& cli) {
  if (cli.job_file.empty()) throw CLI::RequiredError("JOBFILE");
  for (const auto& entry : cli.environment) {
    const auto equals = entry.find('=');
    cli.run.node_env.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
  }
  if (::access(cli.run.node_binary.c_str(), X_OK) != 0) {
    std::fprintf(stderr,
                 "paravelle-farm: cannot run the node program %s (build paravelle-node, or name it with --node)\n",
                 cli.run.node_binary.c_str());
    return kExitUsage;
  }
  const auto job = paravelle::worker::load_job_file(cli.job_file);
  if (app.count("--token") == 0) cli.run.token = job.token.value_or(random_token());
  if (!cli.frames.empty()) cli.run.frames = paravelle::worker::expand_frame_ranges(cli.frames);
  if (cli.run.without_job) {
    paravelle::farm::ConsoleView view(stdout, cli.run.quiet, ::isatty(STDOUT_FILENO) != 0);
    return paravelle::farm::run_without_job(job, cli.run, view);
  }
  return paravelle::farm::run_frames(job, cli.run);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"The reference farm worker for Paravelle nodes.\n"
               "  paravelle-farm JOBFILE [options]          render a job on nodes of this machine\n"
               "  paravelle-farm submit JOBFILE --chunk K   hand a job to Slurm as an array job\n"
               "  paravelle-farm collect DIR [--wait ID]    merge the reports of a Slurm submission\n"
               "  paravelle-farm monitor REPORT...          a web page of finished jobs\n"
               "Exit codes: 0 every frame was rendered, 1 a frame (or the node, or Slurm) failed,\n"
               "2 bad arguments, a bad job file, or anything else found wrong before a node starts.",
               "paravelle-farm"};
  Cli cli;
  cli.run.node_binary = default_node_binary();
  cli.submit_out = "paravelle-submission";
  add_run_options(app, cli);
  add_submit(app, cli);
  add_collect(app, cli);
  add_monitor(app, cli);
  app.require_subcommand(0, 1);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : kExitUsage;
  }
  try {
    if (app.got_subcommand("submit")) {
      cli.submit.out_dir = std::filesystem::absolute(cli.submit_out);
      cli.submit.farm_binary = this_program().string();
      if (!cli.frames.empty()) cli.submit.frames = paravelle::worker::expand_frame_ranges(cli.frames);
      return paravelle::farm::submit(cli.submit);
    }
    if (app.got_subcommand("monitor")) {
      const bool bracket = cli.monitor_host.find(':') != std::string::npos;
      cli.monitor_reports_options.listen = (bracket ? "[" + cli.monitor_host + "]" : cli.monitor_host) + ":" +
                                           std::to_string(cli.monitor_port);
      return paravelle::farm::serve_reports(cli.monitor_reports, cli.monitor_reports_options);
    }
    if (app.got_subcommand("collect")) {
      cli.collect.out_dir = cli.collect_dir;
      return paravelle::farm::collect(cli.collect);
    }
    return run_local(app, cli);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : kExitUsage;
  } catch (const paravelle::worker::JobFileError& error) {
    std::fprintf(stderr, "paravelle-farm: %s\n", error.what());
    return kExitUsage;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "paravelle-farm: %s\n", error.what());
    return kExitFailed;
  }
}
