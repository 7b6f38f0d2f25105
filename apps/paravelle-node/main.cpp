// paravelle-node: a host process that serves one farm worker through the plug-in.

#include <iostream>
#include <string>

#include <CLI/CLI.hpp>
#include <utf8.h>

#include "plugin_library.h"

namespace {

constexpr int exit_session_ended = 0;
constexpr int exit_session_failed = 1;
constexpr int exit_bad_arguments = 2;

std::wstring widen(const std::string& utf8_text) {
  std::wstring wide;
  utf8::utf8to16(utf8_text.begin(), utf8_text.end(), std::back_inserter(wide));
  return wide;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "paravelle-node: a render node. Starts the standalone host, loads the Paravelle plug-in and connects\n"
      "to a farm worker listening on 127.0.0.1:PORT. It sends TOKEN, answers the worker's handshake and runs\n"
      "its commands until the worker closes the connection. The plug-in's log is paravelle.log in $TMP\n"
      "(else $TMPDIR, else $USERPROFILE); whatever scripts print appears on standard output.\n"
      "Exit status: 0 when the worker closed the connection, 1 when the session failed, 2 for bad arguments."};
  int port = 0;
  std::string token;
  std::string plugin_path = paravelle::node::default_plugin_path();
  app.add_option("--port", port, "TCP port the farm worker listens on (1-65535)")
      ->required()
      ->check(CLI::Range(1, 65535));
  app.add_option("--token", token, "token the worker expects as the first message (may be empty)")->required();
  app.add_option("--plugin", plugin_path, "plug-in library to load")->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& error) {
    std::cerr << "paravelle-node: " << error.what() << "\nRun with --help for usage.\n";
    return exit_bad_arguments;
  }

  std::wstring wide_token;
  try {
    wide_token = widen(token);
  } catch (const std::exception&) {
    std::cerr << "paravelle-node: the token is not valid UTF-8\n";
    return exit_bad_arguments;
  }

  try {
    const paravelle::node::PluginLibrary plugin(plugin_path);
    std::cout << "paravelle-node: connecting to the farm worker on 127.0.0.1:" << port << std::endl;
    const bool ended_by_worker = plugin.run_daemon(port, wide_token);
    std::cout << "\nparavelle-node: session " << (ended_by_worker ? "ended by the worker" : "failed") << std::endl;
    return ended_by_worker ? exit_session_ended : exit_session_failed;
  } catch (const paravelle::node::PluginLoadError& error) {
    std::cerr << "paravelle-node: " << error.what() << "\n";
    return exit_session_failed;
  } catch (const std::exception& error) {
    std::cerr << "paravelle-node: " << error.what() << "\n";
    return exit_session_failed;
  }
}
