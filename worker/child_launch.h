// fork/exec with everything prepared before the fork, so the child runs only exec-safe calls.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace paravelle::worker {

struct LaunchSpec {
  std::vector<std::string> argv;  // argv[0] is the program path
  std::vector<std::pair<std::string, std::string>> env_additions;
  int stdin_fd = -1;
  int stdout_fd = -1;
  int stderr_fd = -1;
  // The child leads a process group of its own, so everything it starts can be ended with it.
  bool own_process_group = false;
  // The child gets SIGKILL when the thread that started it ends (a farm that dies takes its nodes along).
  bool die_with_parent = false;
};

// The child's pid. Throws WorkerError naming the program when fork or exec fails
// (an exec failure is reported back through a close-on-exec pipe).
pid_t launch_child(const LaunchSpec& spec);

// The current environment with the additions applied (same names replaced), as NAME=value texts.
std::vector<std::string> merged_environment(const std::vector<std::pair<std::string, std::string>>& additions);

}  // namespace paravelle::worker
