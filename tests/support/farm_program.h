#pragma once
// paravelle-farm run as an operator runs it, for the tests of the worker and the end-to-end tests.

#include <string>
#include <utility>
#include <vector>

#include "support/temp_folder.h"
#include "worker/node_process.h"

namespace paravelle::testing {

// A program built beside the nodes (paravelle-farm, fake-node).
inline std::string built_program(const std::string& name) {
  const std::string node = node_binary_path();
  return node.substr(0, node.find_last_of('/') + 1) + name;
}

struct FarmResult {
  int code;
  std::string out;
  std::string err;
};

inline FarmResult run_program(const std::vector<std::string>& argv,
                              const std::vector<std::pair<std::string, std::string>>& env = {}) {
  worker::NodeProcess process(argv, env);
  const int code = process.wait(300000);
  return {code, process.stdout_text(), process.stderr_text()};
}

}  // namespace paravelle::testing
