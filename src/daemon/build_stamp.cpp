// A file of its own: the only one that compiles the build's date and time into the library.

#include "daemon/build_stamp.h"

namespace paravelle::daemon {

const char* build_stamp() { return __DATE__ " " __TIME__ " R"; }

}  // namespace paravelle::daemon
