#pragma once

namespace paravelle::daemon {

// When this library was built, as the handshake answer carries it:
// "Mmm dd yyyy hh:mm:ss R" (the compiler's date and time, then the release mark).
const char* build_stamp();

}  // namespace paravelle::daemon
