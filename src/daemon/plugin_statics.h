#pragma once
// The library's static objects. They are defined in one file so their construction
// order is fixed: the log, the job state, the farm connection, then the script interface
// (declared in script/paravelle_interface.h).

#include "daemon/job_state.h"
#include "transport/simple_socket.h"

namespace paravelle::daemon {

extern JobState jobState;
extern win32::simple_socket farmConnection;

}  // namespace paravelle::daemon
