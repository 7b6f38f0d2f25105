// The loadable plug-in library: the entry points its host calls.

#include <string>

#include "daemon/session.h"

extern "C" {

const wchar_t* LibDescription() { return L"Paravelle, Cloud interface"; }

void LibInit() {}

unsigned long LibVersion() { return 0x5DC03C00; }

// The daemon's entry for hosts that call it directly rather than through the script
// interface.
bool ParavelleRunDaemon(int portNumber, const wchar_t* token) {
  return paravelle::daemon::RunParavelleDaemon(portNumber, token ? token : L"");
}
}
