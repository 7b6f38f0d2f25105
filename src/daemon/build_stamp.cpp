#include "daemon/build_stamp.h"

namespace paravelle::daemon {

const char* build_stamp() { return __DATE__ " " __TIME__ " R"; }

}  // namespace paravelle::daemon
