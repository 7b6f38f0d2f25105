#include "script/fpwrapper/type_codes.h"

#include <cstdarg>

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

}  // namespace paravelle::max3d::fpwrapper
