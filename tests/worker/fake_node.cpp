// A scripted stand-in for paravelle-node, so the job runner's handling of nodes that hang, crash,
// die or write bad outputs is tested without a real renderer. It speaks the node's protocol with
// just enough of its replies:
//   fake-node --port P --token T [--hang-frame N] [--deaf-frame N] [--hang-once FILE] [--crash-frame N]
//             [--crashes K] [--die-frame N] [--empty-output-frame N] [--refuse-start] [--reject-setting WORD]
// A hanging frame first starts a child that sleeps in the same process group, so a test can see
// that the whole group was killed; its pid goes to $TMP/hang-child.pid; a deaf frame asks a thousand
// times for the job info entry "big", reads no answer and hangs. A crash sends K trapped faults.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/raw_peer.h"

namespace {

using paravelle::testing::RawPeer;

struct Script {
  std::map<std::string, std::string> options;
  bool has(const std::string& name) const { return options.count(name) != 0; }
  bool frame_is(const std::string& name, int frame) const {
    return has(name) && std::atoi(options.at(name).c_str()) == frame;
  }
};

[[noreturn]] void hang(const std::string& tmp) {
  const pid_t child = ::fork();
  if (child == 0) {
    for (;;) ::pause();
  }
  std::ofstream(tmp + "/hang-child.pid") << child;
  for (;;) ::pause();
}

std::string write_output(const std::string& tmp, int frame, bool empty) {
  const std::string path = tmp + "/frame-" + std::to_string(frame) + ".png";
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  // A tiny image (PPM, found by its content whatever its name), so that thumbnails can be made of it.
  if (!empty) file << "P6\n2 2\n255\n" << std::string(12, static_cast<char>(40 * frame));
  std::string shown = path;
  for (char& c : shown) c = c == '/' ? '\\' : c;  // the node's path texts use backslashes
  return shown;
}

class FakeNode {
 public:
  FakeNode(const Script& script, std::uint16_t port) : script_(script), client_(port) {
    const char* tmp = std::getenv("TMP");
    tmp_ = tmp ? tmp : "/tmp";
    std::ofstream(tmp_ + "/paravelle.log", std::ios::app) << "fake node log\n";
  }

  int serve(const std::string& token) {
    client_.write_frame(token);
    if (client_.read_frame(-1) != "TaskmereStartup") return 1;
    client_.write_frame("Paravelle fake");
    for (;;) {
      std::string command;
      try {
        command = client_.read_frame(-1);
      } catch (const std::runtime_error&) {
        return 0;  // the worker closed the connection
      }
      answer(command);
    }
  }

 private:
  void answer(const std::string& command) {
    const std::string word = command.substr(0, command.find(','));
    if (word == "StartJob") {
      client_.write_frame("FUNCTION: STDOUT: MaxParavelle: loading");
      if (script_.has("--refuse-start")) client_.write_frame("ERROR: the scene is refused");
      client_.write_frame("SUCCESS Scene loaded successfully");
    } else if (word == "RenderTask") {
      render(std::atoi(command.substr(command.find(',') + 1).c_str()));
    } else if (word == "ExecuteStringScript") {
      client_.write_frame("STARTED");
      const bool listing = command.find("GetOutputFilename") != std::string::npos;
      client_.write_frame(listing ? "SUCCESS: " + outputs_ : "SUCCESS: paravelle-farm: settings received");
    } else if (word == "EndJob") {
      client_.write_frame("SUCCESS");
    } else if (script_.has("--reject-setting") && word == script_.options.at("--reject-setting")) {
      client_.write_frame("ERROR: " + word + ": refused by the fake node");
    }
  }

  void render(int frame) {
    client_.write_frame("STARTED");
    client_.write_frame("FUNCTION: SETTITLE Rendering image - 50.0%");
    client_.write_frame("FUNCTION: PROGRESS 50");
    outputs_.clear();
    if (script_.frame_is("--hang-frame", frame) && first_time()) hang(tmp_);
    if (script_.frame_is("--deaf-frame", frame) && first_time()) {
      for (int i = 0; i < 1000; ++i) client_.write_frame("FUNCTION: GETJOBINFOENTRY big");
      hang(tmp_);
    }
    if (script_.frame_is("--die-frame", frame)) ::_exit(9);
    if (script_.frame_is("--crash-frame", frame)) {
      client_.write_frame("ERROR: Trapped SEH Exception in RenderFrame(): Access Violation\nException code: C0000005");
      const int crashes = script_.has("--crashes") ? std::atoi(script_.options.at("--crashes").c_str()) : 1;
      for (int i = 2; i <= crashes; ++i)
        client_.write_frame("ERROR: Trapped SEH Exception in SaveImage(): Stack Overflow " + std::to_string(i));
      client_.write_frame("ERROR: Failed to save file.");
      return;
    }
    outputs_ = write_output(tmp_, frame, script_.frame_is("--empty-output-frame", frame)) + "\n";
    client_.write_frame("SUCCESS");
  }

  // With --hang-once FILE, only while FILE does not exist; it is made then.
  bool first_time() const {
    const std::string marker = script_.has("--hang-once") ? script_.options.at("--hang-once") : std::string();
    return marker.empty() || (::access(marker.c_str(), F_OK) != 0 && std::ofstream(marker) << "once");
  }

  const Script& script_;
  RawPeer client_;
  std::string tmp_;
  std::string outputs_;
};

}  // namespace

int main(int argc, char** argv) {
  Script script;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    const bool flag = name == "--refuse-start";
    script.options[name] = flag || i + 1 >= argc ? std::string() : argv[++i];
  }
  FakeNode node(script, static_cast<std::uint16_t>(std::atoi(script.options["--port"].c_str())));
  return node.serve(script.options["--token"]);
}
