// Scripts asking the farm through TaskmereUtil while a real daemon session serves a worker.

#include "script/farm_requests.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "script_run.h"

namespace paravelle::testing {
namespace {

using FarmRequests = FarmSession;

TEST_F(FarmRequests, EachRequestSendsItsTextAndTurnsTheAnswerIntoAValue) {
  struct Case {
    std::wstring script;
    std::string request;
    std::string answer;
    std::wstring value;
  };
  const std::vector<Case> cases = {
      {L"TaskmereUtil.GetJobInfoEntry \"Name\"", "FUNCTION: GETJOBINFOENTRY Name", "SUCCESS: abc", L"\"abc\""},
      {L"TaskmereUtil.GetJobInfoEntry \"Name\"", "FUNCTION: GETJOBINFOENTRY Name", "SUCCESS: ", L"\"\""},
      {L"TaskmereUtil.GetJobInfoEntry \"Name\"", "FUNCTION: GETJOBINFOENTRY Name", "ERROR: no such key", L"undefined"},
      {L"TaskmereUtil.GetJobInfoEntry \"Name\"", "FUNCTION: GETJOBINFOENTRY Name", "SUCCESS:abc", L"undefined"},
      {L"TaskmereUtil.GetSubmitInfoEntry \"Frames\"", "FUNCTION: GETSUBMITINFOENTRY Frames", "SUCCESS: 1-10",
       L"\"1-10\""},
      {L"TaskmereUtil.GetSubmitInfoEntry \"Frames\"", "FUNCTION: GETSUBMITINFOENTRY Frames", "success: 1",
       L"undefined"},
      {L"TaskmereUtil.GetSubmitInfoEntryElement 2 \"Frames\"", "FUNCTION: GETSUBMITINFOENTRYELEMENT 2,Frames",
       "SUCCESS: 5", L"\"5\""},
      {L"TaskmereUtil.GetSubmitInfoEntryElement -1 \"a,b\"", "FUNCTION: GETSUBMITINFOENTRYELEMENT -1,a,b",
       "ERROR: out of range", L"undefined"},
      {L"TaskmereUtil.GetAuxFilename 0", "FUNCTION: GETAUXFILE 0", "SUCCESS: /aux/\xC3\xBC\xE2\x9C\x93.txt",
       L"\"/aux/\u00fc\u2713.txt\""},
      {L"TaskmereUtil.GetAuxFilename -4", "FUNCTION: GETAUXFILE -4", "ERROR: no aux file", L"undefined"},
      {L"TaskmereUtil.GetPathMappedFilename \"//in/a.max\"", "FUNCTION: GETPATHMAPPEDFILENAME //in/a.max",
       "SUCCESS: /mnt/a.max", L"\"/mnt/a.max\""},
      {L"TaskmereUtil.GetPathMappedFilename \"//in/a.max\"", "FUNCTION: GETPATHMAPPEDFILENAME //in/a.max",
       "ERROR: unmapped", L"undefined"},
      {L"TaskmereUtil.GetSubmitInfoEntryElementCount \"Frames\"", "FUNCTION: GETSUBMITINFOENTRYELEMENTCOUNT Frames",
       "SUCCESS: 3", L"3"},
      {L"TaskmereUtil.GetSubmitInfoEntryElementCount \"F\"", "FUNCTION: GETSUBMITINFOENTRYELEMENTCOUNT F",
       "SUCCESS: -1", L"-1"},
      {L"TaskmereUtil.GetSubmitInfoEntryElementCount \"F\"", "FUNCTION: GETSUBMITINFOENTRYELEMENTCOUNT F",
       "SUCCESS: +2147483647", L"2147483647"},
      {L"TaskmereUtil.GetSubmitInfoEntryElementCount \"F\"", "FUNCTION: GETSUBMITINFOENTRYELEMENTCOUNT F",
       "ERROR: not a list", L"0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request + " answered " + c.answer);
    const auto [request, outcome] = ask(c.script, c.answer);
    EXPECT_EQ(request, c.request);
    EXPECT_EQ(outcome.value, c.value);
    EXPECT_EQ(outcome.error, L"");
  }
}

TEST_F(FarmRequests, ACountThatIsNotAPlainInt32StopsTheScript) {
  for (const std::string value : {"3 ", "2147483648", "-2147483649", "", "0x10", " 3"}) {
    const auto [request, outcome] = ask(L"TaskmereUtil.GetSubmitInfoEntryElementCount \"F\"", "SUCCESS: " + value);
    EXPECT_EQ(outcome.value, L"") << value;
    EXPECT_EQ(outcome.error, L"bad lexical cast: source type value could not be interpreted as target") << value;
  }
  // The session goes on.
  EXPECT_EQ(ask(L"TaskmereUtil.GetSubmitInfoEntryElementCount \"F\"", "SUCCESS: 4").second.value, L"4");
}

TEST_F(FarmRequests, KeysTravelAsAnsiTextWhilePathMappedNamesKeepEveryCharacter) {
  // U+0141 is not in Windows-1252; U+00E9 is.
  EXPECT_EQ(ask(L"TaskmereUtil.GetJobInfoEntry \"K\u0141\u00e9\"", "ERROR: x").first,
            "FUNCTION: GETJOBINFOENTRY K?\xC3\xA9");
  EXPECT_EQ(ask(L"TaskmereUtil.GetSubmitInfoEntryElement 0 \"\u0141\"", "ERROR: x").first,
            "FUNCTION: GETSUBMITINFOENTRYELEMENT 0,?");
  EXPECT_EQ(ask(L"TaskmereUtil.GetPathMappedFilename \"C:\\\u0141\u00e9.max\"", "ERROR: x").first,
            "FUNCTION: GETPATHMAPPEDFILENAME C:\\\xC5\x81\xC3\xA9.max");
}

TEST_F(FarmRequests, AnUnansweredRequestStopsTheScriptWithItsPrefixAndKeepsTheConnection) {
  const std::vector<std::pair<std::wstring, std::wstring>> calls = {
      {L"TaskmereUtil.GetSubmitInfoEntry \"k\"", L"Error in GetSubmitInfoEntry: "},
      {L"TaskmereUtil.GetSubmitInfoEntryElementCount \"k\"", L"Error in GetSubmitInfoEntryElementCount: "},
      {L"TaskmereUtil.GetSubmitInfoEntryElement 1 \"k\"", L"Error in GetSubmitInfoEntryElement: "},
      {L"TaskmereUtil.GetJobInfoEntry \"k\"", L"Error in GetJobInfoEntry: "},
      {L"TaskmereUtil.GetAuxFilename 1", L"Error in GetAuxFilename: "},
      {L"TaskmereUtil.GetPathMappedFilename \"k\"", L"Error in GetPathMappedFilename: "},
  };
  for (const auto& [script, prefix] : calls) {
    auto outcome = start(script, 50);
    EXPECT_THAT(worker.receive_raw(wait_ms), ::testing::StartsWith("FUNCTION: GET"));
    EXPECT_EQ(finish(outcome).error, prefix + L"simple_socket: Timed out waiting for header packet to arrive.");
  }
  const auto [request, outcome] = ask(L"TaskmereUtil.GetJobInfoEntry \"after\"", "SUCCESS: fine");
  EXPECT_EQ(outcome.value, L"\"fine\"");
}

TEST_F(FarmRequests, AWorkerThatLeavesMidRequestStopsTheScriptAndEndsTheSession) {
  auto outcome = start(L"TaskmereUtil.GetAuxFilename 2");
  EXPECT_EQ(worker.receive_raw(wait_ms), "FUNCTION: GETAUXFILE 2");
  worker.close();
  EXPECT_EQ(finish(outcome).error,
            L"Error in GetAuxFilename: simple_socket::receive: socket was disconnected while reading header.");
  EXPECT_TRUE(session_result());
}

TEST_F(FarmRequests, NotificationsGoToTheFarmWithoutAnAnswer) {
  auto outcome = start(
      L"TaskmereUtil.LogMessage \"line \u2713\"\n"
      L"TaskmereUtil.WarnMessage \"careful\"\n"
      L"TaskmereUtil.SetTitle \"Rendering 50%\"\n"
      L"TaskmereUtil.SetProgress 12.5\n"
      L"TaskmereUtil.SetProgress (100.0 / 3)");
  EXPECT_EQ(worker.receive_raw(wait_ms), "FUNCTION: STDOUT: line \xE2\x9C\x93");
  EXPECT_EQ(worker.receive_raw(wait_ms), "FUNCTION: WARN: careful");
  EXPECT_EQ(worker.receive_raw(wait_ms), "FUNCTION: SETTITLE Rendering 50%");
  EXPECT_EQ(worker.receive_raw(wait_ms), "FUNCTION: PROGRESS 12.5");
  EXPECT_EQ(worker.receive_raw(wait_ms), "FUNCTION: PROGRESS 33.3333");
  const ScriptOutcome done = finish(outcome);
  EXPECT_EQ(done.value, L"true");
  EXPECT_EQ(done.listener, L"");
}

TEST_F(FarmRequests, TheScriptsSeeTheRunningDaemonsJobState) {
  auto outcome = start(L"TaskmereUtil.RunParavelleDaemon 1 \"again\"");
  const ScriptOutcome nested = finish(outcome);
  EXPECT_EQ(nested.value, L"false");
  EXPECT_EQ(nested.listener, L"RunParavelleDaemon() was executed while the daemon is already running.");

  worker.send_raw("TempFolder,C:/farm/temp");
  worker.send_raw("CurrentTask,7");
  EXPECT_TRUE(worker.silent_for(100));
  auto properties = start(L"#(TaskmereUtil.TempFolder, TaskmereUtil.CurrentTask, TaskmereUtil.SceneFileName)");
  EXPECT_EQ(finish(properties).value, L"#(\"C:\\\\farm\\\\temp\", 7, \"\")");
}

}  // namespace
}  // namespace paravelle::testing
