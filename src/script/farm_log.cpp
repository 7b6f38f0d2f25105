#include "script/farm_log.h"

#include "daemon/farm_messages.h"
#include "daemon/plugin_statics.h"
#include "diag/log_file.h"
#include "transport/text.h"

namespace paravelle::script {

namespace {

void log_and_send(win32::simple_socket& connection, const wchar_t* prefix, const std::wstring& message) {
  diag::log_line(to_string(message));
  try {
    daemon::send_to_farm(connection, prefix + message);
  } catch (const win32::simple_socket_error& error) {
    diag::log_line(std::string("  failed to send this message to Taskmere because: ") + error.what());
  }
}

}  // namespace

void LogToFarm(win32::simple_socket& connection, const std::wstring& message) {
  log_and_send(connection, L"FUNCTION: STDOUT: MaxParavelle: ", message);
}

void WarnToFarm(win32::simple_socket& connection, const std::wstring& message) {
  log_and_send(connection, L"FUNCTION: WARN: MaxParavelle: ", message);
}

void LogToFarm(const std::wstring& message) { LogToFarm(daemon::farmConnection, message); }
void WarnToFarm(const std::wstring& message) { WarnToFarm(daemon::farmConnection, message); }

}  // namespace paravelle::script
