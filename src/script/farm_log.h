#pragma once
// Copies the plug-in's own progress and warning lines to the farm's task log. A line
// that cannot be sent stays in the log file with the reason; these never raise for the
// transport.

#include <string>

#include "transport/simple_socket.h"

namespace paravelle::script {

// Logs the message, then sends "FUNCTION: STDOUT: MaxParavelle: " + message.
void LogToFarm(win32::simple_socket& connection, const std::wstring& message);
// Logs the message, then sends "FUNCTION: WARN: MaxParavelle: " + message.
void WarnToFarm(win32::simple_socket& connection, const std::wstring& message);

// The same on the process's farm connection.
void LogToFarm(const std::wstring& message);
void WarnToFarm(const std::wstring& message);

}  // namespace paravelle::script
