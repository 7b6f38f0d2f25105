#pragma once
// The daemon: connects to the farm worker, answers the handshake and serves commands
// until the worker closes the connection.

#include <string>

#include "job/job_state.h"
#include "transport/simple_socket.h"

namespace paravelle::daemon {

// The handshake word the worker sends, and what this side answers.
inline constexpr wchar_t kHandshakeWord[] = L"TaskmereStartup";
std::string handshake_answer();

// Runs a daemon session on the library's job state and connection. True when the
// worker closed the connection; false when the daemon was already running or an
// exception or a machine fault ended the session (reported to the worker and logged).
bool RunParavelleDaemon(int portNumber, const std::wstring& token);

// The same on a given job state and connection (what the library's entry uses).
bool RunParavelleDaemon(job::JobState& state, win32::simple_socket& connection, int portNumber,
                        const std::wstring& token);

}  // namespace paravelle::daemon
