// The library's static objects, in one file so that their order is fixed: the log, the
// job state, the farm connection, then the script interface. It sits at the top of the
// layers because it builds something of each.

#include <fstream>

#include "diag/log_file.h"
#include "job/farm_connection.h"
#include "job/job_state.h"
#include "script/paravelle_interface.h"

std::ofstream paravelle::diag::log_file;

namespace {
// The log opens as the job state comes to life, before anything can write to it; the
// node's claim on the file lasts as long as the library.
const paravelle::diag::LogLock log_claim = paravelle::diag::open_log_file(paravelle::diag::log_file);
}  // namespace

paravelle::job::JobState paravelle::job::job_state;
paravelle::win32::simple_socket paravelle::job::farm_connection;
// Last: it publishes functions that use everything above, and it must leave the host's
// registry before those objects go.
paravelle::script::ParavelleInterface paravelle::script::paravelle_interface;
