// paravelle-farm: the reference farm worker. Starts a node, runs a job file on it, shows the
// conversation, and tells by its exit code whether every command got the reply it should.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <random>

#include "console_view.h"
#include "job_runner.h"
#include "worker/errors.h"
#include "worker/job_file.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

std::string default_node_binary() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string("paravelle-node") : (self.parent_path() / "paravelle-node").string();
}

std::string random_token() {
  std::random_device device;
  std::uniform_int_distribution<int> digit(0, 15);
  std::string token = "farm-";
  for (int i = 0; i < 16; ++i) token += "0123456789abcdef"[digit(device)];
  return token;
}

struct Arguments {
  std::string job_file;
  paravelle::farm::RunOptions options;
  bool quiet = false;
};

// Parses NAME=VALUE texts given with --node-env.
CLI::Validator environment_entry() {
  return CLI::Validator(
      [](std::string& text) {
        const auto equals = text.find('=');
        return equals == std::string::npos || equals == 0 ? std::string("expected NAME=VALUE, got " + text) : std::string();
      },
      "NAME=VALUE");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Runs a Paravelle job on a node: starts paravelle-node, plays the farm worker's part of the\n"
               "protocol from a job file, and shows the conversation (-> sent, <- received).\n"
               "Exit codes: 0 every command got the expected reply, 1 a command or the node failed,\n"
               "2 bad arguments or a bad job file.",
               "paravelle-farm"};
  Arguments args;
  args.options.node_binary = default_node_binary();
  std::vector<std::string> environment;
  int port = 0;
  app.add_option("JOBFILE", args.job_file, "job file (JSON, see docs/job-file.md)")->required();
  app.add_option("--node", args.options.node_binary, "the node program to start")
      ->check(CLI::ExistingFile)
      ->capture_default_str();
  app.add_option("--port", port, "port to listen on for the node (0: any free port)")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--token", args.options.token, "token the node must send (default: the job file's, else a random one)");
  app.add_option("--timeout-ms", args.options.timeout_ms, "longest wait for the node's next message")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--settle-ms", args.options.settle_ms,
                 "how long a settings command must stay unanswered to count as accepted")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_flag("--without-job", args.options.without_job,
               "no StartJob, RenderTask or EndJob: only the handshake, the settings and the scripts");
  app.add_option("--node-arg", args.options.node_args, "extra argument for the node (repeatable)");
  app.add_option("--node-env", environment, "environment variable for the node, NAME=VALUE (repeatable)")
      ->check(environment_entry());
  app.add_flag("--quiet", args.quiet, "show only failures and the summary");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : kExitUsage;
  }
  args.options.port = static_cast<std::uint16_t>(port);
  for (const auto& entry : environment) {
    const auto equals = entry.find('=');
    args.options.node_env.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
  }

  if (::access(args.options.node_binary.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "paravelle-farm: cannot run the node program %s (build paravelle-node, or name it with --node)\n",
                 args.options.node_binary.c_str());
    return kExitUsage;
  }
  paravelle::farm::ConsoleView view(stdout, args.quiet, ::isatty(STDOUT_FILENO) != 0);
  try {
    const auto job = paravelle::worker::load_job_file(args.job_file);
    if (app.count("--token") == 0) args.options.token = job.token.value_or(random_token());
    return paravelle::farm::run_job(job, args.options, view);
  } catch (const paravelle::worker::JobFileError& error) {
    std::fprintf(stderr, "paravelle-farm: %s\n", error.what());
    return kExitUsage;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "paravelle-farm: %s\n", error.what());
    return kExitFailed;
  }
}
