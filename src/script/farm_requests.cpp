#include "script/farm_requests.h"

#include <boost/lexical_cast.hpp>

#include <cstdint>
#include <optional>

#include "host/maxscript_runtime.h"
#include "host/platform.h"
#include "job/farm_connection.h"
#include "transport/messages.h"
#include "transport/number_format.h"
#include "transport/text.h"

namespace paravelle::script {

namespace {

RuntimeError error_in(const wchar_t* function, const std::wstring& text) {
  return RuntimeError(std::wstring(L"Error in ") + function + L": " + text);
}

// Sends one request and reads its answer; the value after "SUCCESS: ", or nothing for
// any other answer. Transport failures become the script error the function names.
template <class Request>
std::optional<std::wstring> ask(win32::simple_socket& connection, const wchar_t* function, const Request& request) {
  host::drain_messages();
  try {
    return exchange_request(connection, request);
  } catch (const win32::simple_socket_framing_error& error) {
    // A script may catch the error and ask again, and would then be answered by the rest
    // of the bad frame: the connection ends here, as if the worker had gone.
    connection.disconnect(true);
    throw error_in(function, to_wstring(error.what()));
  } catch (const win32::simple_socket_error& error) {
    throw error_in(function, to_wstring(error.what()));
  }
}

Value* string_or_undefined(const std::optional<std::wstring>& value) {
  if (!value) return &undefined;
  return new String(*value);
}

std::string narrow_key(const std::wstring& key) { return to_string(key); }

}  // namespace

Value* GetSubmitInfoEntry(win32::simple_socket& connection, const std::wstring& key) {
  if (!job::daemonRunning) return &undefined;
  return string_or_undefined(ask(connection, L"GetSubmitInfoEntry", "FUNCTION: GETSUBMITINFOENTRY " + narrow_key(key)));
}

int GetSubmitInfoEntryElementCount(win32::simple_socket& connection, const std::wstring& key) {
  if (!job::daemonRunning) return 0;
  const std::optional<std::wstring> value =
      ask(connection, L"GetSubmitInfoEntryElementCount", "FUNCTION: GETSUBMITINFOENTRYELEMENTCOUNT " + narrow_key(key));
  if (!value) return 0;
  try {
    return boost::lexical_cast<std::int32_t>(*value);
  } catch (const boost::bad_lexical_cast&) {
    throw error_in(L"GetSubmitInfoEntryElementCount",
                   L"the farm's answer \"" + *value + L"\" is not a whole number from -2147483648 to 2147483647");
  }
}

Value* GetSubmitInfoEntryElement(win32::simple_socket& connection, int index, const std::wstring& key) {
  if (!job::daemonRunning) return &undefined;
  return string_or_undefined(
      ask(connection, L"GetSubmitInfoEntryElement",
          "FUNCTION: GETSUBMITINFOENTRYELEMENT " + format_number(std::int32_t{index}) + "," + narrow_key(key)));
}

Value* GetJobInfoEntry(win32::simple_socket& connection, const std::wstring& key) {
  if (!job::daemonRunning) return &undefined;
  return string_or_undefined(ask(connection, L"GetJobInfoEntry", "FUNCTION: GETJOBINFOENTRY " + narrow_key(key)));
}

Value* GetAuxFilename(win32::simple_socket& connection, int index) {
  if (!job::daemonRunning) return &undefined;
  return string_or_undefined(
      ask(connection, L"GetAuxFilename", "FUNCTION: GETAUXFILE " + format_number(std::int32_t{index})));
}

Value* GetPathMappedFilename(win32::simple_socket& connection, const std::wstring& inputFilename) {
  return string_or_undefined(
      ask(connection, L"GetPathMappedFilename", L"FUNCTION: GETPATHMAPPEDFILENAME " + inputFilename));
}

Value* GetOutputFilename(const job::JobState& state, int index) {
  host::drain_messages();
  if (index < 0 || static_cast<std::size_t>(index) >= state.writtenOutputFiles.size()) return &undefined;
  return new String(state.writtenOutputFiles[static_cast<std::size_t>(index)]);
}

}  // namespace paravelle::script
