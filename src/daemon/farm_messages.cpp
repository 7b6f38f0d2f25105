#include "daemon/farm_messages.h"

#include "diag/log_file.h"
#include "transport/messages.h"
#include "transport/text.h"

namespace paravelle::daemon {

void send_to_farm(win32::simple_socket& connection, const std::wstring& text) {
  std::string bytes = to_utf8(text);
  if (bytes.size() > max_message_size) {
    diag::log_line("Message to the farm cut to " + std::to_string(max_message_size) + " of its " +
                   std::to_string(bytes.size()) + " bytes; the whole message:");
    diag::log_line(to_string(text));
    bytes = fit_to_frame(std::move(bytes));
  }
  connection.send(bytes);
}

void send_to_farm(win32::simple_socket& connection, const std::string& narrow_text) {
  send_to_farm(connection, to_wstring(narrow_text));
}

}  // namespace paravelle::daemon
