#include "daemon/session.h"

#include <cctype>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

#include "daemon/build_stamp.h"
#include "daemon/command_replies.h"
#include "daemon/dispatcher.h"
#include "diag/host_call_trap.h"
#include "diag/log_file.h"
#include "host/exceptions.h"
#include "host/maxscript.h"
#include "host/platform.h"
#include "job/farm_connection.h"
#include "job/job_state.h"
#include "transport/messages.h"
#include "transport/text.h"

namespace paravelle::daemon {

using job::daemonRunning;
using job::JobState;

namespace {

constexpr std::uint32_t kPauseAfterErrorMs = 150;
constexpr char kAlreadyRunning[] = "RunParavelleDaemon() was executed while the daemon is already running.";

// Clears the running flag on every way out of a session.
class RunningFlag {
 public:
  RunningFlag() { daemonRunning = true; }
  ~RunningFlag() { daemonRunning = false; }
  RunningFlag(const RunningFlag&) = delete;
  RunningFlag& operator=(const RunningFlag&) = delete;
};

void answer_handshake(win32::simple_socket& connection) {
  const std::wstring word = receive_message(connection, farm_timeout_ms());
  if (word == kHandshakeWord) {
    send_message(connection, handshake_answer());
    return;
  }
  send_message(connection, handshake_answer() + "   Incompatible plugin versions detected, exiting.");
  throw std::runtime_error("Incorrect handshake with Taskmere plugin.");
}

// A session's command replies: each sent to the farm as send_to_farm sends it.
class FarmReplies final : public CommandReplies {
 public:
  explicit FarmReplies(win32::simple_socket& connection) : connection_(connection) {}
  void send(const std::wstring& text) override { job::send_to_farm(connection_, text); }

 private:
  win32::simple_socket& connection_;
};

void serve_commands(JobState& state, win32::simple_socket& connection) {
  FarmReplies replies(connection);
  while (connection.is_connected()) {
    try {
      const std::wstring command = receive_message(connection, farm_timeout_ms());
      diag::log_file << "\nGot command: " << to_string(command) << std::endl << std::endl;
      DispatchCommand(state, command, replies, connection);
    } catch (const win32::simple_socket_timeout_error&) {
      // The worker may stay silent for as long as it likes; the host's windows are
      // serviced once per time-out meanwhile.
      host::drain_messages();
    } catch (const win32::simple_socket_disconnect_error&) {
      // The socket closed its handle when it saw the close; the loop test ends it.
    }
  }
}

void run_session(JobState& state, win32::simple_socket& connection, int portNumber, const std::wstring& token) {
  // Taken modulo 65536, a port outside the range would reach whatever listens there.
  if (portNumber < 1 || portNumber > 65535)
    throw std::invalid_argument("RunParavelleDaemon: the port number " + std::to_string(portNumber) +
                                " does not lie between 1 and 65535");
  connection.connect("127.0.0.1", static_cast<unsigned>(portNumber), win32::simple_socket::protocol_tcp);
  send_message(connection, token);
  answer_handshake(connection);
  serve_commands(state, connection);
}

// The session under the machine-fault trap: a fault anywhere in it abandons the session
// with trapText naming the fault, instead of ending the host.
bool CallDaemonSession(JobState& state, win32::simple_socket& connection, int portNumber, const std::wstring& token,
                       std::string& trapText) {
  return diag::run_trapped_host_call("SEH Exception trapped in 3ds max: ", trapText, state.lastCrashReport, false, [&] {
    run_session(state, connection, portNumber, token);
    diag::log_line("Returning TRUE");
    return true;
  });
}

// Reports an exception that ended the session, if the worker can still hear it.
void report_failure(win32::simple_socket& connection, const std::string& log_text, const std::string& reply) {
  diag::log_line(log_text);
  if (connection.is_connected()) job::send_to_farm(connection, reply);
  host::sleep_ms(kPauseAfterErrorMs);
}

std::string script_exception_text(const MAXScriptException& exception) {
  StringStream stream;
  exception.sprin1(&stream);
  return to_string(stream.text());
}

}  // namespace

std::string handshake_answer() { return std::string("Paravelle ") + build_stamp(); }

bool RunParavelleDaemon(JobState& state, win32::simple_socket& connection, int portNumber, const std::wstring& token) {
  diag::log_file << "Thread: " << host::current_thread_id() << std::endl;
  if (daemonRunning) {
    diag::log_line(kAlreadyRunning);
    thread_local_current_stdout()->puts(to_wstring(kAlreadyRunning).c_str());
    return false;
  }
  const RunningFlag running;
  diag::log_line("running daemon...");

  bool result = false;
  std::string trapText;
  try {
    result = CallDaemonSession(state, connection, portNumber, token, trapText);
  } catch (const std::bad_alloc&) {
    report_failure(connection, "Exception: std::bad_alloc",
                   "ERROR: Exception caught in 3ds max: Out of memory.  There was not enough memory available "
                   "to fulfill a memory request.");
  } catch (const win32::simple_socket_could_not_connect_error& e) {
    // No worker hears this one: whoever started the node reads its standard error, so say why there.
    std::string reason = e.code() ? e.code().message() : std::string("no reason given");
    if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    std::fprintf(stderr, "paravelle: %s (%s)\n", e.what(), reason.c_str());
    report_failure(connection, std::string("Exception: ") + e.what(),
                   std::string("ERROR: Exception caught in 3ds max: ") + e.what());
  } catch (const std::exception& e) {
    report_failure(connection, std::string("Exception: ") + e.what(),
                   std::string("ERROR: Exception caught in 3ds max: ") + e.what());
  } catch (const MAXException& e) {
    report_failure(connection, "MAXException: " + to_string(e.message()),
                   "ERROR: MAXException caught in 3ds max: " + to_string(e.message()));
  } catch (const MAXScriptException& e) {
    const std::string text = script_exception_text(e);
    report_failure(connection, "Maxscript exception caught: " + text, "ERROR: Maxscript exception:" + text);
  } catch (...) {
    report_failure(connection, "Unknown exception caught",
                   "ERROR: Unknown exception caught. (3ds max may have crashed)");
  }
  if (!trapText.empty())
    report_failure(connection, "SEH exception caught",
                   "ERROR: SEH exception: " + trapText + "\n" + state.lastCrashReport);
  return result;
}

bool RunParavelleDaemon(int portNumber, const std::wstring& token) {
  return RunParavelleDaemon(job::job_state, job::farm_connection, portNumber, token);
}

}  // namespace paravelle::daemon
