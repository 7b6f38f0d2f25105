#include "support/node_binary.h"

#include <unistd.h>

#include <climits>

namespace paravelle::testing {

std::string node_binary_path() {
  char executable[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", executable, sizeof executable - 1);
  const std::string path(executable, static_cast<std::size_t>(length > 0 ? length : 0));
  return path.substr(0, path.find_last_of('/') + 1) + "paravelle-node";
}

}  // namespace paravelle::testing
