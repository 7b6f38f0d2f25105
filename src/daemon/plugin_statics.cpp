#include "daemon/plugin_statics.h"

#include <fstream>

#include "diag/log_file.h"
#include "script/paravelle_interface.h"

std::ofstream paravelle::diag::log_file;

namespace {
// The log opens as the job state comes to life, before anything can write to it; the
// node's claim on the file lasts as long as the library.
const paravelle::diag::log_lock log_claim = paravelle::diag::open_log_file(paravelle::diag::log_file);
}  // namespace

paravelle::daemon::JobState paravelle::daemon::jobState;
paravelle::win32::simple_socket paravelle::daemon::farmConnection;
// Last: it publishes functions that use everything above, and it must leave the host's
// registry before those objects go.
paravelle::script::ParavelleInterface paravelle::script::paravelleInterface;
