// TaskmereUtil as scripts see it: published under its identity, answering locally without
// a daemon, asking the farm through a running session (a posted host event runs the script
// at the session's next idle moment, so its requests reach the test's worker), and the
// Debug_ steps that run a job's steps without a farm.

#include <gmock/gmock.h>

#include <future>
#include <memory>

#include "job/job_state.h"
#include "daemon/session.h"
#include "host/function_publishing.h"
#include "host/maxscript_runtime.h"
#include "host/platform.h"
#include "host/standalone/standalone_interface.h"
#include "job/farm_connection.h"
#include "script/paravelle_interface.h"
#include "support/job_scenes.h"
#include "support/log_capture.h"
#include "support/sanitizers.h"
#include "transport/messages.h"
#include "worker/farm_worker.h"

namespace paravelle::testing {
namespace {

constexpr int wait_ms = 10000;

struct ScriptOutcome {
  std::wstring value;     // printed form of the script's value; empty after an error
  std::wstring error;     // a RuntimeError's message, or another script error's printed form
  std::wstring listener;  // what the script printed
};

ScriptOutcome run_script(const std::wstring& script) {
  ScriptOutcome outcome;
  init_thread_locals();
  StringStream listener;
  CharStream* const previous = thread_local_current_stdout();
  thread_local_current_stdout() = &listener;
  try {
    outcome.value = host::script::printed(host::script::evaluate_text(script));
  } catch (const RuntimeError& error) {
    outcome.error = error.message();
  } catch (const MAXScriptException& error) {
    outcome.error = host::script::printed(error);
  }
  thread_local_current_stdout() = previous;
  outcome.listener = listener.text();
  return outcome;
}

TEST(TaskmereUtil, WithoutADaemonItIsPublishedAndAnswersLocally) {
  FPInterfaceDesc* published = host::fp::find_interface(L"TaskmereUtil");
  ASSERT_EQ(published, &script::paravelle_interface);
  EXPECT_EQ(host::fp::find_interface(Interface_ID(0x83928748, 0xA38F941E)), published);
  EXPECT_EQ(published->FindFn(L"RunParavelleDaemon"), 22);
  EXPECT_EQ(run_script(L"TaskmereUtil.CurrentTask = 3").error,
            L"Cannot set read-only property TaskmereUtil.CurrentTask");
  auto& host = host::standalone::standalone_interface();
  host.SetTime(12 * GetTicksPerFrame() + GetTicksPerFrame() - 1);
  EXPECT_EQ(run_script(L"#(TaskmereUtil.CurrentFrame, TaskmereUtil.CurrentTask, TaskmereUtil.SceneFileName, "
                       L"TaskmereUtil.TempFolder)")
                .value,
            L"#(12, -1, undefined, undefined)");
  host.SetTime(0);
  const ScriptOutcome notes =
      run_script(L"TaskmereUtil.LogMessage \"a %s line\"\nTaskmereUtil.WarnMessage \"careful\"\n"
                 L"TaskmereUtil.SetTitle \"Frame 3\"\nTaskmereUtil.SetProgress 50");
  EXPECT_EQ(notes.listener, L"a %s line\ncareful\nTitle was set to \"Frame 3\"\n");
  EXPECT_EQ(notes.value, L"true");
  for (const auto& [call, value] : {std::pair{L"GetSubmitInfoEntryElementCount \"F\"", L"0"},
                                    {L"GetJobInfoEntry \"Name\"", L"undefined"},
                                    {L"GetAuxFilename 0", L"undefined"}})
    EXPECT_EQ(run_script(std::wstring(L"TaskmereUtil.") + call).value, value) << "no daemon: answered locally";
  EXPECT_EQ(run_script(L"TaskmereUtil.GetPathMappedFilename \"a\"").error,
            L"Error in GetPathMappedFilename: simple_socket: send called while not connected.");
  EXPECT_EQ(run_script(L"TaskmereUtil.FailRender \"Bad frame: 12%\"\n\"after\"").error, L"Bad frame: 12%");
  job::job_state.writtenOutputFiles = {L"C:\\out\\beauty_0012.exr"};
  EXPECT_EQ(run_script(L"#(TaskmereUtil.GetOutputFilename -1, TaskmereUtil.GetOutputFilename 0, "
                       L"TaskmereUtil.GetOutputFilename 1)")
                .value,
            L"#(undefined, \"C:\\\\out\\\\beauty_0012.exr\", undefined)");
  job::job_state.writtenOutputFiles.clear();
  // Lines for the farm are logged even when the farm is gone.
  LogCapture log;
  job::LogToFarm(L"Rendering frame \u0141");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Rendering frame ?",
                                                   "  failed to send this message to Taskmere "
                                                   "because: simple_socket: send called while not connected."}));
}

// The Debug_ steps run the job's steps on the library's job state without a farm: a
// failure prints one listener line and one log line and gives false.
TEST(TaskmereUtil, TheDebugStepsRunTheJobStepsAndReportFailures) {
  LogCapture log;
  TempFolder folder;
  host::standalone::standalone_interface().reset();
  nlohmann::json scene = small_job_scene();
  const std::string good = write_scene(folder.path(), "good.json", scene);
  scene["faults"] = {{{"when", "viewport"}, {"kind", "write"}}};
  const std::string crashing = write_scene(folder.path(), "crash.json", scene);
  const struct {
    std::wstring script;
    const char* value;
    std::string listener;  // also the log's last line, without the listener's prefix
  } steps[] = {
      {L"Debug_RenderFrame 1", "false",
       "Exception: RenderFrame called when consistency check flag jobRunning was not set"},
      {L"Debug_StartJob \"C:/scenes/a.max\" \"cam\"", "false", "Exception: Invalid max file: \"C:/scenes/a.max\""},
      {L"Debug_EndJob()", "false", "Exception: EndJob called when consistency check flag jobRunning was not set"},
      {L"Debug_StartJob \"" + wide(crashing) + L"\" \"\"", "false",
       "SEH Exception: Trapped SEH Exception in StartJob(): Access Violation"},
      {L"Debug_StartJob \"" + wide(good) + L"\" \"Cam\"", "true", ""},
      {L"Debug_RenderFrame 13421773", "false",
       "Exception: Frame 13421773 at 160 ticks per frame lies outside the scene's time range."},
      {L"Debug_EndJob()", "true", ""},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(std::string(step.script.begin(), step.script.end()));
    if (!machine_faults_trapped && step.listener.starts_with("SEH")) continue;  // they need the trap's handlers
    const ScriptOutcome outcome = run_script(L"TaskmereUtil." + step.script);
    EXPECT_EQ(outcome.value, wide(step.value));
    EXPECT_EQ(outcome.listener, step.listener.empty() ? L"" : wide(step.listener) + L"\n");
    if (!step.listener.empty()) {
      EXPECT_EQ(log.lines().back(), step.listener.substr(step.listener.find(": ") + 2));
    }
  }
  EXPECT_FALSE(job::job_state.jobRunning);
  host::standalone::standalone_interface().reset();
}

// A daemon session on the library's own job state and connection, on its own thread.
class FarmRequests : public ::testing::Test {
 protected:
  static constexpr int idle_timeout_ms = 20;  // short idle slices, so a posted script starts at once

  void SetUp() override {
    set_farm_timeout_ms(idle_timeout_ms);
    std::promise<std::uint32_t> thread_id;
    session_ = std::async(std::launch::async, [this, &thread_id] {
      thread_id.set_value(host::current_thread_id());
      return daemon::RunParavelleDaemon(worker.port(), L"t");
    });
    session_thread_ = thread_id.get_future().get();
    worker.open_session(wait_ms, "t");
  }
  void TearDown() override {
    worker.close();
    if (session_.valid()) {
      EXPECT_EQ(session_.wait_for(std::chrono::milliseconds(wait_ms)), std::future_status::ready);
    }
    set_farm_timeout_ms(kDefaultFarmTimeoutMs);
  }
  // Starts `script` inside the session; the farm time-out while it runs is `timeout_ms`.
  std::future<ScriptOutcome> start(std::wstring script, int timeout_ms = wait_ms) {
    auto promise = std::make_shared<std::promise<ScriptOutcome>>();
    host::post_message_to(session_thread_, [promise, script = std::move(script), timeout_ms] {
      set_farm_timeout_ms(timeout_ms);
      promise->set_value(run_script(script));
      set_farm_timeout_ms(idle_timeout_ms);
    });
    return promise->get_future();
  }
  // One request of a script answered with `answer`; returns the request and the outcome.
  std::pair<std::string, ScriptOutcome> ask(const std::wstring& script, const std::string& answer) {
    auto outcome = start(script);
    std::string request = worker.receive_raw(wait_ms);
    worker.send_raw(answer);
    return {std::move(request), outcome.get()};
  }

  worker::FarmWorker worker;
  std::future<bool> session_;
  std::uint32_t session_thread_ = 0;
};

TEST_F(FarmRequests, EachRequestSendsItsTextAndTurnsEveryKindOfAnswerIntoAValueOrAnError) {
  const std::string utf8 = "SUCCESS: /\xC3\xBC\xE2\x9C\x93";
  const std::wstring decoded = L"\"/\u00fc\u2713\"";
  const struct {
    std::wstring call;          // after "TaskmereUtil."; the function's name is up to the first space
    std::string text;           // after "FUNCTION: "
    std::string success;        // answered, gives `value`
    std::wstring value, other;  // `other` for any other answer
  } requests[] = {
      {L"GetSubmitInfoEntry \"Frames\"", "GETSUBMITINFOENTRY Frames", utf8, decoded, L"undefined"},
      {L"GetSubmitInfoEntryElementCount \"F\"", "GETSUBMITINFOENTRYELEMENTCOUNT F", "SUCCESS: +2147483647",
       L"2147483647", L"0"},
      {L"GetSubmitInfoEntryElement -1 \"a,b\"", "GETSUBMITINFOENTRYELEMENT -1,a,b", utf8, decoded, L"undefined"},
      {L"GetJobInfoEntry \"K\u0141\u00e9\"", "GETJOBINFOENTRY K?\xC3\xA9", utf8, decoded, L"undefined"},  // ANSI keys
      {L"GetAuxFilename -4", "GETAUXFILE -4", utf8, decoded, L"undefined"},
      {L"GetPathMappedFilename \"C:\\\u0141.max\"", "GETPATHMAPPEDFILENAME C:\\\xC5\x81.max", utf8, decoded,
       L"undefined"},
  };
  for (const auto& r : requests) {
    SCOPED_TRACE(r.text);
    const std::wstring script = L"TaskmereUtil." + r.call;
    const auto [request, outcome] = ask(script, r.success);
    EXPECT_EQ(request, "FUNCTION: " + r.text);
    EXPECT_EQ(outcome.value, r.value);
    for (const char* other : {"ERROR: no such key", "SUCCESS:3", "success: 3"})
      EXPECT_EQ(ask(script, other).second.value, r.other) << other;
    // No answer: the script stops, the connection stays for the next request.
    auto unanswered = start(script, 50);
    EXPECT_EQ(worker.receive_raw(wait_ms), "FUNCTION: " + r.text);
    EXPECT_EQ(unanswered.get().error, L"Error in " + r.call.substr(0, r.call.find(L' ')) +
                                          L": simple_socket: Timed out waiting for header packet to arrive.");
  }
  EXPECT_EQ(ask(L"TaskmereUtil.GetJobInfoEntry \"a\"", "SUCCESS: ").second.value, L"\"\"");
  for (const std::string value : {"3 ", "2147483648", ""})
    EXPECT_EQ(ask(L"TaskmereUtil.GetSubmitInfoEntryElementCount \"F\"", "SUCCESS: " + value).second.error,
              L"Error in GetSubmitInfoEntryElementCount: the farm's answer \"" + std::wstring(value.begin(), value.end()) +
                  L"\" is not a whole number from -2147483648 to 2147483647");
}

// After a header that announces more than a frame may hold, its payload is still in the
// stream; read on, it would answer the next request (here with a forged "SUCCESS"). A script
// that catches the error must not get to ask again: the node hangs up, and its session ends
// as when the worker goes away.
TEST_F(FarmRequests, AnOversizedAnswerEndsTheConnectionEvenForAScriptThatCatchesIt) {
  auto outcome = start(L"try (TaskmereUtil.GetAuxFilename 1) catch (); TaskmereUtil.GetAuxFilename 2");
  EXPECT_EQ(worker.receive_raw(wait_ms), "FUNCTION: GETAUXFILE 1");
  worker.send_header_only(100001);
  worker.send_raw("SUCCESS: forged");
  EXPECT_EQ(outcome.get().error, L"Error in GetAuxFilename: simple_socket: send called while not connected.");
  EXPECT_TRUE(worker.peer_closed(wait_ms));
  ASSERT_EQ(session_.wait_for(std::chrono::milliseconds(wait_ms)), std::future_status::ready);
  EXPECT_TRUE(session_.get());
}

}  // namespace
}  // namespace paravelle::testing
