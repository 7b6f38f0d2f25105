#include "script/farm_notifications.h"

#include "host/maxscript.h"
#include "host/platform.h"
#include "job/farm_connection.h"
#include "transport/number_format.h"

namespace paravelle::script {

namespace {

template <class Text>
void send_dropping_failures(win32::simple_socket& connection, const Text& text) {
  try {
    job::send_to_farm(connection, text);
  } catch (const win32::simple_socket_error&) {
    // The farm may be gone; the script must not stop because of a log line.
  }
}

void notify(win32::simple_socket& connection, const wchar_t* prefix, const std::wstring& text) {
  host::drain_messages();
  send_dropping_failures(connection, prefix + text);
}

void print_line(const std::wstring& text) {
  CharStream* listener = thread_local_current_stdout();
  listener->puts(text.c_str());
  listener->puts(L"\n");
}

}  // namespace

void LogMessage(win32::simple_socket& connection, const std::wstring& message) {
  if (job::daemonRunning)
    notify(connection, L"FUNCTION: STDOUT: ", message);
  else
    print_line(message);
}

void WarnMessage(win32::simple_socket& connection, const std::wstring& message) {
  if (job::daemonRunning)
    notify(connection, L"FUNCTION: WARN: ", message);
  else
    print_line(message);
}

void SetTitle(win32::simple_socket& connection, const std::wstring& title) {
  if (job::daemonRunning)
    notify(connection, L"FUNCTION: SETTITLE ", title);
  else
    thread_local_current_stdout()->printf(L"Title was set to \"%s\"\n", title.c_str());
}

bool SetProgress(win32::simple_socket& connection, float percent) {
  if (job::daemonRunning) {
    host::drain_messages();
    send_dropping_failures(connection, "FUNCTION: PROGRESS " + format_number(percent));
  }
  return true;
}

void FailRender(const std::wstring& message) {
  host::drain_messages();
  throw RuntimeError(message);
}

}  // namespace paravelle::script
