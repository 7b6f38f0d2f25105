#pragma once
// The process's connection to the farm worker, and what the plug-in sends over it outside
// the request/reply exchange: replies, error reports, notifications and its own log lines.
// These must never end a session or vanish because of their length: a text too long for
// one frame reaches the farm cut, with a note saying so, and the whole text goes to the
// log. (The token and requests are sent with send_message, whole or not at all.)

#include <string>

#include "transport/simple_socket.h"

namespace paravelle::job {

// The library's one connection, defined with its other static objects
// (script/plugin_statics.cpp).
extern win32::simple_socket farm_connection;

// True exactly while a daemon session runs in this process; script functions read it
// to choose between asking the farm and answering locally.
extern bool daemonRunning;

void send_to_farm(win32::simple_socket& connection, const std::wstring& text);
// Narrow text passes through the ANSI code page first, as send_message's does.
void send_to_farm(win32::simple_socket& connection, const std::string& narrow_text);

// The plug-in's own progress and warning lines, copied to the farm's task log. A line
// that cannot be sent stays in the log file with the reason; these never raise for the
// transport.
// Logs the message, then sends "FUNCTION: STDOUT: MaxParavelle: " + message.
void LogToFarm(win32::simple_socket& connection, const std::wstring& message);
// Logs the message, then sends "FUNCTION: WARN: MaxParavelle: " + message.
void WarnToFarm(win32::simple_socket& connection, const std::wstring& message);

// The same on the library's farm connection.
void LogToFarm(const std::wstring& message);
void WarnToFarm(const std::wstring& message);

}  // namespace paravelle::job
