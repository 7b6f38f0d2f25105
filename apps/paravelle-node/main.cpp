// paravelle-node: a host process that serves one farm worker through the plug-in.

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "host/standalone/wide_text.h"
#include "plugin_library.h"
#include "script_interface.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBadArguments = 2;

constexpr char kDescription[] =
    "paravelle-node: a render node. Starts the standalone host and loads the Paravelle plug-in, which\n"
    "publishes the script interface TaskmereUtil. Then either:\n"
    "  --port PORT --token TOKEN   does what the script line TaskmereUtil.RunParavelleDaemon PORT \"TOKEN\"\n"
    "                              does: connects to a farm worker listening on 127.0.0.1:PORT, sends\n"
    "                              TOKEN, answers the worker's handshake and runs its commands until the\n"
    "                              worker closes the connection;\n"
    "  --script FILE               runs the start-up script FILE (which may call\n"
    "                              TaskmereUtil.RunParavelleDaemon itself).\n"
    "The plug-in's log is paravelle.log in $TMP (else $TMPDIR, else $USERPROFILE, else the system's temporary\n"
    "folder, which it then names on standard error); whatever scripts print appears on standard output.\n"
    "Exit status with --port/--token: 0 when the worker closed the connection, 1 when the session failed.\n"
    "Exit status with --script: 0 when the script ran without raising an error (whatever its value),\n"
    "1 when it raised one or could not be read.\n"
    "Exit status 2: bad arguments (--port and --token go together and exclude --script).\n"
    "Every wait for the worker (the handshake, the next command, the answer to a request) lasts two\n"
    "minutes; --farm-timeout, or the environment variable PARAVELLE_FARM_TIMEOUT_MS that it sets for the\n"
    "plug-in, shortens it (a worker that stays silent between commands is waited for again and again;\n"
    "one that stays silent in the handshake or to a request fails it).";

std::wstring widen(const std::string& utf8_text) {
  return paravelle::host::standalone::wide_text::from_utf8(utf8_text);
}

struct Arguments {
  std::optional<int> port;
  std::optional<std::string> token;
  std::optional<std::string> script;
  std::string plugin_path = paravelle::node::default_plugin_path();
  std::optional<int> farm_timeout_ms;
};

int bad_arguments(const std::string& message) {
  std::cerr << "paravelle-node: " << message << "\nRun with --help for usage.\n";
  return kExitBadArguments;
}

// The two ways of running are checked here rather than by the parser, so each wrong
// combination gets a message that says what to do.
std::optional<std::string> combination_error(const Arguments& arguments) {
  if (arguments.script && (arguments.port || arguments.token)) return "--script cannot be combined with --port/--token";
  if (arguments.script) return std::nullopt;
  if (!arguments.port && !arguments.token) return "give either --port and --token, or --script";
  if (!arguments.port) return "--port is required with --token";
  if (!arguments.token) return "--token is required with --port";
  return std::nullopt;
}

int serve_worker(int port, const std::wstring& token) {
  std::cout << "paravelle-node: connecting to the farm worker on 127.0.0.1:" << port << std::endl;
  const bool ended_by_worker = paravelle::node::run_daemon_through_interface(port, token);
  std::cout << "\nparavelle-node: session " << (ended_by_worker ? "ended by the worker" : "failed") << std::endl;
  return ended_by_worker ? kExitSuccess : kExitFailure;
}

int run_script(const std::string& path) {
  const bool ran = paravelle::node::run_script_file(widen(path));
  std::cout << std::flush;
  if (!ran) std::cerr << "paravelle-node: the script " << path << " raised an error\n";
  return ran ? kExitSuccess : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{kDescription};
  Arguments arguments;
  app.add_option("--port", arguments.port, "TCP port the farm worker listens on (1-65535)")
      ->check(CLI::Range(1, 65535));
  app.add_option("--token", arguments.token, "token the worker expects as the first message (may be empty)");
  app.add_option("--script", arguments.script, "start-up script file to run instead of serving a worker directly");
  app.add_option("--plugin", arguments.plugin_path, "plug-in library to load")->capture_default_str();
  app.add_option("--farm-timeout", arguments.farm_timeout_ms, "milliseconds each wait for the worker lasts (1-120000)")
      ->check(CLI::Range(1, 120000));

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& error) {
    return bad_arguments(error.what());
  }
  if (const auto error = combination_error(arguments)) return bad_arguments(*error);

  std::wstring token;
  try {
    if (arguments.token) token = widen(*arguments.token);
    if (arguments.script) widen(*arguments.script);
  } catch (const std::exception&) {
    return bad_arguments("the token and the script path must be valid UTF-8");
  }

  // The plug-in reads its time-out when it is loaded.
  if (arguments.farm_timeout_ms)
    ::setenv("PARAVELLE_FARM_TIMEOUT_MS", std::to_string(*arguments.farm_timeout_ms).c_str(), 1);
  try {
    const paravelle::node::PluginLibrary plugin(arguments.plugin_path);
    return arguments.script ? run_script(*arguments.script) : serve_worker(*arguments.port, token);
  } catch (const std::exception& error) {
    std::cerr << "paravelle-node: " << error.what() << "\n";
    return kExitFailure;
  }
}
