#include "job/farm_connection.h"

#include "diag/log_file.h"
#include "transport/messages.h"
#include "transport/text.h"

namespace paravelle::job {

bool daemonRunning = false;

void send_to_farm(win32::simple_socket& connection, const std::wstring& text) {
  std::string bytes = to_utf8(text);
  if (bytes.size() > kMaxMessageSize) {
    diag::log_line("Message to the farm cut to " + std::to_string(kMaxMessageSize) + " of its " +
                   std::to_string(bytes.size()) + " bytes; the whole message:");
    diag::log_line(to_string(text));
    bytes = fit_to_frame(std::move(bytes));
  }
  connection.send(bytes);
}

void send_to_farm(win32::simple_socket& connection, const std::string& narrow_text) {
  send_to_farm(connection, to_wstring(narrow_text));
}

namespace {

void log_and_send(win32::simple_socket& connection, const wchar_t* prefix, const std::wstring& message) {
  diag::log_line(to_string(message));
  try {
    send_to_farm(connection, prefix + message);
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

void LogToFarm(const std::wstring& message) { LogToFarm(farm_connection, message); }
void WarnToFarm(const std::wstring& message) { WarnToFarm(farm_connection, message); }

}  // namespace paravelle::job
