#pragma once
// The node's calls into the loaded plug-in go where a script's would: through the
// TaskmereUtil interface that the plug-in publishes when it is loaded.

#include <stdexcept>
#include <string>

namespace paravelle::node {

class InterfaceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Does what `TaskmereUtil.RunParavelleDaemon port "token"` does in a script and returns
// its result. InterfaceError when the interface or the function is not published.
bool run_daemon_through_interface(int port, const std::wstring& token);

// Runs a script file with the host's runtime; false when the script raised an error
// (printed on the listener) or could not be read.
bool run_script_file(const std::wstring& path);

}  // namespace paravelle::node
