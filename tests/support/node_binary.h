#pragma once

#include <string>

namespace paravelle::testing {

// The paravelle-node built beside the running test program.
std::string node_binary_path();

}  // namespace paravelle::testing
