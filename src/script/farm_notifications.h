#pragma once
// Script functions that tell the farm something and wait for nothing. While the daemon
// runs they go to the farm (a transport failure is dropped: a script that logs while
// the farm is gone keeps running); otherwise the listener shows them.

#include <string>

#include "transport/simple_socket.h"

namespace paravelle::script {

// "FUNCTION: STDOUT: " + message, or the message and a line feed on the listener.
void LogMessage(win32::simple_socket& connection, const std::wstring& message);
// "FUNCTION: WARN: " + message, or the message and a line feed on the listener.
void WarnMessage(win32::simple_socket& connection, const std::wstring& message);
// "FUNCTION: SETTITLE " + title, or `Title was set to "<title>"` on the listener.
void SetTitle(win32::simple_socket& connection, const std::wstring& title);
// "FUNCTION: PROGRESS " + the percentage with six significant digits; nothing when the
// daemon is not running. Always true.
bool SetProgress(win32::simple_socket& connection, float percent);

// Stops the calling script with a RuntimeError carrying exactly `message`.
[[noreturn]] void FailRender(const std::wstring& message);

}  // namespace paravelle::script
