// What of the wrapper is not a template: loading a result through the host's
// variable-argument loader, and the check of a descriptor's interface id.

#include <cstdarg>
#include <stdexcept>

#include "host/core.h"
#include "script/fpwrapper/interface_id_check.h"
#include "script/fpwrapper/type_codes.h"
#include "transport/text.h"

namespace paravelle::max3d::fpwrapper {

void load_result(FPValue& result, int type, int pointer_flag, ...) {
  va_list arguments;
  va_start(arguments, pointer_flag);
  try {
    result.Loadva(type, arguments, pointer_flag != 0);
  } catch (...) {
    va_end(arguments);
    throw;
  }
  va_end(arguments);
}

void check_interface_id(const Interface_ID& id, const std::wstring& interfaceName) {
  if (id.PartA() != 0xFFFFFFFF || id.PartB() != 0xFFFFFFFF) return;
  const std::wstring text = L"FFCreateDescriptor() - The interface ID for the function publishing descriptor \"" +
                            interfaceName +
                            L"\" was set to the default value, its value must be set to a randomly selected "
                            L"constant value.";
  GetCOREInterface()->LogEntry(SYSLOG_ERROR, SYSLOG_BROADCAST_DIALOG, L"FF Function Publishing Wrapper", text.c_str());
  throw std::runtime_error(paravelle::to_string(text));
}

}  // namespace paravelle::max3d::fpwrapper
