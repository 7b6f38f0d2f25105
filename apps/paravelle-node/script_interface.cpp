#include "script_interface.h"

#include "host/exceptions.h"
#include "host/function_publishing.h"
#include "host/maxscript_runtime.h"
#include "host/standalone/wide_text.h"

namespace paravelle::node {

namespace {

constexpr wchar_t kInterfaceName[] = L"TaskmereUtil";
constexpr wchar_t kDaemonFunction[] = L"RunParavelleDaemon";

// For the node's own messages on standard error.
std::string printable(const std::wstring& text) { return host::standalone::wide_text::to_utf8(text); }

}  // namespace

bool run_daemon_through_interface(int port, const std::wstring& token) {
  FPInterfaceDesc* const published = host::fp::find_interface(kInterfaceName);
  if (!published) throw InterfaceError("the plug-in did not publish the script interface TaskmereUtil");
  const FunctionID id = published->FindFn(kDaemonFunction);
  if (id == FP_NO_FUNCTION) throw InterfaceError("the plug-in's TaskmereUtil has no function RunParavelleDaemon");

  init_thread_locals();
  String token_value(token);  // a value on the stack is never collected
  FPValue port_argument;
  port_argument.LoadInt(port);
  FPValue token_argument;
  token_argument.LoadValue(&token_value);
  FPParams arguments({port_argument, token_argument});
  FPValue result;
  try {
    if (published->Invoke(id, result, &arguments) != FPS_OK) {
      throw InterfaceError("TaskmereUtil.RunParavelleDaemon is not implemented by the plug-in");
    }
  } catch (const MAXException& error) {
    throw InterfaceError("TaskmereUtil.RunParavelleDaemon failed: " + printable(error.message()));
  }
  return result.b != 0;
}

bool run_script_file(const std::wstring& path) {
  init_thread_locals();
  return host::script::run_file(path);
}

}  // namespace paravelle::node
