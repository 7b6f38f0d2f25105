// Scripts asking the farm through TaskmereUtil, with and without a daemon session serving a worker.

#include "script/farm_requests.h"

#include <gtest/gtest.h>

#include "script_run.h"

namespace paravelle::testing {
namespace {

using FarmRequests = FarmSession;

const std::wstring timed_out = L"simple_socket: Timed out waiting for header packet to arrive.";

struct Request {
  std::wstring call;    // after "TaskmereUtil."; the function's name is up to the first space
  std::string text;     // after "FUNCTION: "
  std::string success;  // answered, gives `value`
  std::wstring value;
  std::wstring other;  // the value for any other answer, and without a daemon
};
const std::string utf8 = "SUCCESS: /\xC3\xBC\xE2\x9C\x93";
const std::wstring decoded = L"\"/\u00fc\u2713\"";
const Request requests[] = {
    {L"GetSubmitInfoEntry \"Frames\"", "GETSUBMITINFOENTRY Frames", utf8, decoded, L"undefined"},
    {L"GetSubmitInfoEntryElementCount \"F\"", "GETSUBMITINFOENTRYELEMENTCOUNT F", "SUCCESS: 3", L"3", L"0"},
    {L"GetSubmitInfoEntryElement -1 \"a,b\"", "GETSUBMITINFOENTRYELEMENT -1,a,b", utf8, decoded, L"undefined"},
    {L"GetJobInfoEntry \"Name\"", "GETJOBINFOENTRY Name", utf8, decoded, L"undefined"},
    {L"GetAuxFilename -4", "GETAUXFILE -4", utf8, decoded, L"undefined"},
    {L"GetPathMappedFilename \"//in/a.max\"", "GETPATHMAPPEDFILENAME //in/a.max", utf8, decoded, L"undefined"},
};
std::wstring error_prefix(const Request& r) { return L"Error in " + r.call.substr(0, r.call.find(L' ')) + L": "; }

TEST_F(FarmRequests, EachRequestSendsItsTextAndTurnsEveryKindOfAnswerIntoAValueOrAnError) {
  for (const Request& r : requests) {
    SCOPED_TRACE(r.text);
    const std::wstring script = L"TaskmereUtil." + r.call;
    const auto [request, outcome] = ask(script, r.success);
    EXPECT_EQ(request, "FUNCTION: " + r.text);
    EXPECT_EQ(outcome.value, r.value);
    if (r.other == L"undefined") {
      EXPECT_EQ(ask(script, "SUCCESS: ").second.value, L"\"\"");
    }
    for (const char* other : {"ERROR: no such key", "SUCCESS:3", "success: 3"})
      EXPECT_EQ(ask(script, other).second.value, r.other) << other;
    // No answer: the script stops, the connection stays for the next request.
    auto unanswered = start(script, 50);
    EXPECT_EQ(worker.receive_raw(wait_ms), "FUNCTION: " + r.text);
    EXPECT_EQ(finish(unanswered).error, error_prefix(r) + timed_out);
  }
}

TEST(FarmRequestsWithoutADaemon, AnswerLocallyButPathMappingStillAsks) {
  for (const Request& r : requests) {
    const ScriptOutcome outcome = run_script(L"TaskmereUtil." + r.call);
    if (r.text.starts_with("GETPATHMAPPED"))
      EXPECT_EQ(outcome.error, error_prefix(r) + L"simple_socket: send called while not connected.");
    else
      EXPECT_EQ(outcome.value, r.other) << r.text;
  }
}

TEST_F(FarmRequests, ACountIsAPlainInt32AndKeysTravelAsAnsiTextWhilePathMappedNamesKeepEveryCharacter) {
  const std::wstring count = L"TaskmereUtil.GetSubmitInfoEntryElementCount \"F\"";
  for (const std::string value : {"3 ", "2147483648", "", "0x10"})
    EXPECT_EQ(ask(count, "SUCCESS: " + value).second.error,
              L"bad lexical cast: source type value could not be interpreted as target")
        << value;
  EXPECT_EQ(ask(count, "SUCCESS: +2147483647").second.value, L"2147483647");
  // U+0141 is not in Windows-1252; U+00E9 is.
  EXPECT_EQ(ask(L"TaskmereUtil.GetJobInfoEntry \"K\u0141\u00e9\"", "ERROR: x").first,
            "FUNCTION: GETJOBINFOENTRY K?\xC3\xA9");
  EXPECT_EQ(ask(L"TaskmereUtil.GetPathMappedFilename \"C:\\\u0141\u00e9.max\"", "ERROR: x").first,
            "FUNCTION: GETPATHMAPPEDFILENAME C:\\\xC5\x81\xC3\xA9.max");
}

TEST_F(FarmRequests, AWorkerThatLeavesMidRequestStopsTheScriptAndEndsTheSession) {
  auto outcome = start(L"TaskmereUtil.GetAuxFilename 2");
  EXPECT_EQ(worker.receive_raw(wait_ms), "FUNCTION: GETAUXFILE 2");
  worker.close();
  EXPECT_EQ(finish(outcome).error,
            L"Error in GetAuxFilename: simple_socket::receive: socket was disconnected while reading header.");
  EXPECT_TRUE(session_result());
}

TEST_F(FarmRequests, NotificationsGoToTheFarmWithoutAnAnswerCutToAFrame) {
  auto outcome = start(
      L"TaskmereUtil.LogMessage \"line \u2713\"\nTaskmereUtil.WarnMessage \"careful\"\n"
      L"TaskmereUtil.SetTitle \"Rendering 50%\"\nTaskmereUtil.SetProgress 12.5\nTaskmereUtil.SetProgress (100.0 / 3)");
  for (const char* sent : {"FUNCTION: STDOUT: line \xE2\x9C\x93", "FUNCTION: WARN: careful",
                           "FUNCTION: SETTITLE Rendering 50%", "FUNCTION: PROGRESS 12.5", "FUNCTION: PROGRESS 33.3333"})
    EXPECT_EQ(worker.receive_raw(wait_ms), sent);
  const ScriptOutcome done = finish(outcome);
  EXPECT_EQ(done.value, L"true");
  EXPECT_EQ(done.listener, L"");
}

TEST_F(FarmRequests, ThePropertiesReadTheRunningDaemonsJobState) {
  worker.send_raw("TempFolder,C:/farm/temp");
  worker.send_raw("CurrentTask,7");
  EXPECT_TRUE(worker.silent_for(100));
  auto properties = start(L"#(TaskmereUtil.TempFolder, TaskmereUtil.CurrentTask, TaskmereUtil.SceneFileName)");
  EXPECT_EQ(finish(properties).value, L"#(\"C:\\\\farm\\\\temp\", 7, \"\")");
}

}  // namespace
}  // namespace paravelle::testing
