// Command texts from the farm, split and dispatched against the standalone host: every
// settings command with any parameters. The job and script commands are left out (they
// load scenes and run scripts that the input would name). Whatever the text, the
// dispatcher answers or refuses it, and the settings stay within what their commands allow.

#include <boost/tokenizer.hpp>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include <utf8.h>

#include "daemon/command_context.h"
#include "daemon/dispatcher.h"
#include "diag/log_file.h"
#include "fuzz_check.h"
#include "job/job_state.h"
#include "transport/text.h"

namespace {

using namespace paravelle;
using paravelle::job::JobState;

// Replies are dropped: what is checked is that the dispatcher gets through the command.
class DroppedReplies final : public daemon::CommandReplies {
 public:
  void send(const std::wstring&) override {}
};

bool runs_a_job_or_a_script(const std::wstring& word) {
  return word == L"StartJob" || word == L"RenderTask" || word == L"EndJob" || word == L"ExecuteMaxScriptFile" ||
         word == L"ExecuteStringScript";
}

void check_settings(const JobState& state) {
  FUZZ_CHECK(state.blackPixelPercentage >= 0 && state.blackPixelPercentage <= 100);
  FUZZ_CHECK(state.blackPixelThreshold >= 0.0f && state.blackPixelThreshold <= 1.0f);
  if (state.gammaCorrection) {
    FUZZ_CHECK(std::isfinite(state.gammaIn) && state.gammaIn > 0.0f);
    FUZZ_CHECK(std::isfinite(state.gammaOut) && state.gammaOut > 0.0f);
  }
  FUZZ_CHECK(state.regionType == 0 || state.regionType == 1 || state.regionType == 4);
}

// Every command is logged; a minute of fuzzing would fill $TMP with the log.
bool log_to_nowhere() {
  diag::log_file.close();
  diag::log_file.open("/dev/null");
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static DroppedReplies replies;
  // Never connected: nothing the fuzzed commands run talks to the farm.
  static win32::simple_socket connection;
  [[maybe_unused]] static const bool quiet = log_to_nowhere();
  // The session hands the dispatcher only what decodes as UTF-8.
  std::wstring command;
  try {
    command = from_utf8(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const utf8::exception&) {
    return 0;
  }
  daemon::CommandFields fields;
  try {
    fields = daemon::split_command(command);
  } catch (const boost::escaped_list_error&) {
    return 0;  // the session answers these itself
  }
  if (!fields.empty() && runs_a_job_or_a_script(fields.front())) return 0;

  JobState state;
  daemon::DispatchCommand(state, command, replies, connection);
  check_settings(state);
  return 0;
}
