#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

#include "dispatcher_fixture.h"
#include "daemon/session.h"
#include "host/core.h"
#include "host/standalone/scene_scripts.h"
#include "host/standalone/standalone_interface.h"
#include "script_test_files.h"
#include "transport/text.h"
#include "worker/farm_worker.h"

namespace paravelle::daemon {
namespace {

using ::testing::ElementsAre;

constexpr int wait_ms = 5000;

std::string narrow(const std::wstring& text) { return to_string(text); }

class ScriptCommands : public DispatcherTest {
 protected:
  void SetUp() override {
    DispatcherTest::SetUp();
    host::standalone::standalone_interface().reset();
  }
  void TearDown() override { host::standalone::standalone_interface().reset(); }

  // "ExecuteMaxScriptFile,<file>,<set frame>,<frame>,<as string>" for a script with the given text.
  std::vector<std::string> run_file(const std::string& script, const std::wstring& flags) {
    const std::wstring file = files.write("run.ms", script);
    return dispatch(L"ExecuteMaxScriptFile," + file + L"," + flags);
  }
  static TimeValue scene_time() { return GetCOREInterface()->GetTime(); }

  ScriptFiles files;
  ScopedGlobal ran{L"scriptRan"};
};

TEST_F(ScriptCommands, AFileScriptEndingInTrueSucceedsWithoutTouchingTheSceneTime) {
  GetCOREInterface()->SetTime(480);
  state.currentFrame = 7;
  const std::wstring file = files.write("pre.ms", "scriptRan = \"yes\"\n1 + 1\ntrue\n");
  EXPECT_THAT(dispatch(L"ExecuteMaxScriptFile," + file + L",false,0,false"), ElementsAre("STARTED", "SUCCESS"));
  EXPECT_EQ(ran.text(), L"yes");
  EXPECT_EQ(scene_time(), 480);
  EXPECT_EQ(state.currentFrame, 7) << "the frame is stored only when it is set";
  EXPECT_TRUE(log.contains_line("Executing script " + narrow(file)));
  EXPECT_TRUE(log.contains_line("Done Executing script " + narrow(file)));
  EXPECT_FALSE(log.contains_line("Set Time to 0"));
}

TEST_F(ScriptCommands, FlagsAreTrueOrFalseInAnyCase) {
  EXPECT_THAT(run_file("true", L"TRUE,3,FALSE"), ElementsAre("STARTED", "SUCCESS"));
  EXPECT_EQ(scene_time(), 480);
  EXPECT_THAT(run_file("\"s\"", L"True,4,tRuE"), ElementsAre("STARTED", "SUCCESS: s"));
  EXPECT_EQ(scene_time(), 640);
  EXPECT_EQ(state.currentFrame, 4);
}

TEST_F(ScriptCommands, BadParametersOfAFileScriptAreRepliedAfterStartedAndNothingRuns) {
  const std::wstring file = files.write("pre.ms", "scriptRan = \"yes\"\ntrue");
  const std::wstring command = L"ExecuteMaxScriptFile," + file + L",";
  EXPECT_THAT(dispatch(command + L"yes,0,false"),
              ElementsAre("STARTED",
                          "ERROR: ExecuteMaxScriptFile: Parameter 1 specifies whether or not to set the current frame. "
                          "It must be 'true' or 'false'. Value received was: 'yes'."));
  const std::string frame_error =
      "ERROR: ExecuteMaxScriptFile: Parameter 2 specifies the current frame (it is ignored if parameter 1 is false). "
      "This value must be an integer. Value received was: 'abc'.";
  EXPECT_THAT(dispatch(command + L"true,abc,false"), ElementsAre("STARTED", frame_error));
  EXPECT_THAT(dispatch(command + L"false,abc,false"), ElementsAre("STARTED", frame_error))
      << "the frame is checked even when it is not used";
  EXPECT_THAT(dispatch(command + L"true,5,Maybe"),
              ElementsAre("STARTED",
                          "ERROR: ExecuteMaxScriptFile: Parameter 3 specifies whether or not the value of the script's "
                          "execution is returned as a string. It must be 'true' or 'false'. Value received was: "
                          "'Maybe'."));
  EXPECT_EQ(ran.get(), nullptr);
  EXPECT_EQ(state.currentFrame, 0);
  EXPECT_EQ(scene_time(), 0);
}

TEST_F(ScriptCommands, MissingParametersAreCountErrorsNeverReadsPastTheFields) {
  EXPECT_THAT(dispatch(L"ExecuteMaxScriptFile"),
              ElementsAre("STARTED", "ERROR: ExecuteMaxScriptFile: Expected 4 parameters, got 0"));
  EXPECT_THAT(dispatch(L"ExecuteMaxScriptFile,a.ms,true,1"),
              ElementsAre("STARTED", "ERROR: ExecuteMaxScriptFile: Expected 4 parameters, got 3"));
  EXPECT_THAT(dispatch(L"ExecuteStringScript"), ElementsAre("ERROR: ExecuteScript: Expected 2 parameters, got 0"));
  EXPECT_THAT(dispatch(L"ExecuteStringScript,1"), ElementsAre("ERROR: ExecuteScript: Expected 2 parameters, got 1"));
  EXPECT_EQ(state.currentFrame, 0);
}

TEST_F(ScriptCommands, SettingTheFrameMovesTheSceneTimeByTheScenesTicksPerFrame) {
  EXPECT_THAT(run_file("ok", L"true,10,false"), ElementsAre("STARTED", "SUCCESS"));
  EXPECT_EQ(scene_time(), 1600);
  EXPECT_EQ(state.currentFrame, 10);
  EXPECT_TRUE(log.contains_line("Set Time to 10"));
  EXPECT_TRUE(log.contains_line("GetTime(): 1600"));

  const std::wstring scene = files.write("tpf.json", R"({"format": "paravelle-scene", "version": 1, "ticks_per_frame": 100})");
  ASSERT_TRUE(GetCOREInterface()->LoadFromFile(scene.c_str(), 14));
  EXPECT_THAT(run_file("ok", L"true,-3,false"), ElementsAre("STARTED", "SUCCESS"));
  EXPECT_EQ(scene_time(), -300);
  EXPECT_TRUE(log.contains_line("GetTime(): -300"));
}

TEST_F(ScriptCommands, AFrameWhoseTimeDoesNotFitTheHostsClockIsRefused) {
  GetCOREInterface()->SetTime(320);
  EXPECT_THAT(run_file("scriptRan = \"yes\"", L"true,13421773,false"),
              ElementsAre("STARTED",
                          "ERROR: ExecuteMaxScriptFile: Frame 13421773 at 160 ticks per frame lies outside the "
                          "scene's time range."));
  EXPECT_EQ(scene_time(), 320);
  EXPECT_EQ(state.currentFrame, 0);
  EXPECT_EQ(ran.get(), nullptr);
  EXPECT_THAT(run_file("ok", L"true,13421772,false"), ElementsAre("STARTED", "SUCCESS"));
  EXPECT_EQ(scene_time(), 2147483520);
}

TEST_F(ScriptCommands, TheSuccessCheckAcceptsTrueAndOkOnly) {
  EXPECT_THAT(run_file("ok", L"false,0,false"), ElementsAre("STARTED", "SUCCESS"));
  EXPECT_THAT(run_file("1 == 2", L"false,0,false"),
              ElementsAre("STARTED",
                          "ERROR: ExecuteMaxScriptFile: Script did not return success. Returned value was false."));
  EXPECT_THAT(run_file("40 + 2", L"false,0,false"),
              ElementsAre("STARTED", "ERROR: ExecuteMaxScriptFile: Script did not return success. Returned value was: 42."));
  EXPECT_THAT(run_file("\"true\"", L"false,0,false"),
              ElementsAre("STARTED",
                          "ERROR: ExecuteMaxScriptFile: Script did not return success. Returned value was: true."));
  EXPECT_THAT(run_file("", L"false,0,false"), ElementsAre("STARTED", "SUCCESS")) << "an empty script gives OK";
}

TEST_F(ScriptCommands, AStringResultIsRepliedAndAnythingElseRefused) {
  EXPECT_THAT(run_file("\"text\"", L"false,0,true"), ElementsAre("STARTED", "SUCCESS: text"));
  EXPECT_THAT(run_file("42", L"false,0,true"),
              ElementsAre("STARTED",
                          "ERROR: ExecuteMaxScriptFile: Requested a return string, but the script did not return a "
                          "string. Value received was: '42'."));
  EXPECT_THAT(run_file("\"caf\xC3\xA9\"", L"false,0,true"), ElementsAre("STARTED", "SUCCESS: caf\xC3\xA9"));
}

TEST_F(ScriptCommands, AStringScriptRepliesItsStringAndStoresTheFrame) {
  GetCOREInterface()->SetTime(160);
  EXPECT_THAT(dispatch(L"ExecuteStringScript,12,\\\"abc\\\""), ElementsAre("STARTED", "SUCCESS: abc"));
  EXPECT_EQ(state.currentFrame, 12);
  EXPECT_EQ(scene_time(), 160) << "a string script does not move the scene";
  EXPECT_TRUE(log.contains_line("Executing script... "));
  EXPECT_TRUE(log.contains_line("... Done Executing script "));

  EXPECT_THAT(dispatch(L"ExecuteStringScript,0,\"abc\""),
              ElementsAre("STARTED", "ERROR: Script did not return a string: undefined"))
      << "plain quotes belong to the command: the script is the name abc";
  EXPECT_THAT(dispatch(L"ExecuteStringScript,0,local x = 2; (x * 3) as string"), ElementsAre("STARTED", "SUCCESS: 6"));
  EXPECT_THAT(dispatch(L"ExecuteStringScript,0,2.5"),
              ElementsAre("STARTED", "ERROR: Script did not return a string: 2.5"));
}

TEST_F(ScriptCommands, ABadFrameOfAStringScriptIsRefusedBeforeStarted) {
  state.currentFrame = 3;
  EXPECT_THAT(dispatch(L"ExecuteStringScript,x,1+1"),
              ElementsAre("ERROR: ExecuteScript: Parameter 1 , \"x\", is not a valid frame number."));
  EXPECT_THAT(dispatch(L"ExecuteStringScript,2147483648,scriptRan = 1"),
              ElementsAre("ERROR: ExecuteScript: Parameter 1 , \"2147483648\", is not a valid frame number."));
  EXPECT_EQ(state.currentFrame, 3);
  EXPECT_EQ(ran.get(), nullptr);
  EXPECT_FALSE(log.contains_line("Executing script... "));
}

TEST_F(ScriptCommands, ACommaInAScriptTextMustBeQuotedInTheCommand) {
  EXPECT_THAT(dispatch(L"ExecuteStringScript,0,\"\\\"a,b\\\"\""), ElementsAre("STARTED", "SUCCESS: a,b"));
  EXPECT_THAT(dispatch(L"ExecuteStringScript,0,\\\"a\\\",\\\"b\\\""), ElementsAre("STARTED", "SUCCESS: a"))
      << "unquoted, the part after the comma is a further field, ignored";
}

TEST_F(ScriptCommands, TheLocalsGlobalIsAnArrayDuringTheScriptAndTheEarlierGlobalComesBack) {
  const ScopedGlobal locals(L"__paravelleMXSlocals__");
  EXPECT_THAT(dispatch(L"ExecuteStringScript,0,__paravelleMXSlocals__ as string"), ElementsAre("STARTED", "SUCCESS: #()"));
  EXPECT_EQ(locals.get(), nullptr) << "a global that did not exist is removed again";

  locals.set(new String(L"mine"));
  EXPECT_THAT(dispatch(L"ExecuteStringScript,0,(__paravelleMXSlocals__.count) as string"),
              ElementsAre("STARTED", "SUCCESS: 0"));
  EXPECT_EQ(locals.text(), L"mine");
  EXPECT_THROW(DispatchCommand(state, L"ExecuteStringScript,0,throw \\\"boom\\\"", connection), std::runtime_error);
  EXPECT_EQ(peer.read_frame(), "STARTED");
  EXPECT_EQ(locals.text(), L"mine") << "restored after a failing script too";
}

TEST_F(ScriptCommands, LoadMaxFileTakesOneStringAndNullRestoresTheDefaultSceneScriptRunner) {
  const ScopedGlobal said(L"sceneSaid");
  const std::wstring scene = files.write(
      "shot.json", R"({"format": "paravelle-scene", "version": 1, "scripts": {"post_load": "sceneSaid = \"ran\""}})");
  int recorded = 0;
  host::standalone::set_scene_script_runner([&](const std::wstring&) { return ++recorded > 0; });
  host::standalone::set_scene_script_runner(nullptr);
  EXPECT_THAT(dispatch(L"ExecuteStringScript,0,(loadMaxFile \\\"" + scene + L"\\\") as string + sceneSaid"),
              ElementsAre("STARTED", "SUCCESS: trueran"));
  EXPECT_EQ(recorded, 0);
  EXPECT_THAT(dispatch(L"ExecuteStringScript,0,try (loadMaxFile 5) catch (getCurrentException())"),
              ElementsAre("STARTED", "SUCCESS: -- Runtime error: at line 1, Unable to convert: 5 to type: String"));
}

// The whole path: the worker sends, a real session dispatches, and failures that leave
// the dispatcher end the session with the session's report.
class ScriptCommandSession : public ::testing::Test {
 protected:
  void SetUp() override {
    host::standalone::standalone_interface().reset();
    result = std::async(std::launch::async, [this] { return RunParavelleDaemon(state, connection, worker.port(), L"t"); });
    worker.open_session(wait_ms, "t");
  }
  void TearDown() override {
    worker.close();
    if (result.valid()) result.wait();
    capture_listener(nullptr);
    host::standalone::standalone_interface().reset();
  }
  std::string fatal_reply(const std::wstring& command) {
    worker.send_raw(to_utf8(command));
    EXPECT_EQ(worker.receive_raw(wait_ms), "STARTED");
    const std::string reply = worker.receive_raw(wait_ms);
    EXPECT_FALSE(result.get());
    return reply;
  }

  testing::LogCapture log;
  JobState state;
  win32::simple_socket connection;
  worker::FarmWorker worker;
  std::future<bool> result;
  ScriptFiles files;
};

TEST_F(ScriptCommandSession, AScriptFileRunsAndTheSessionGoesOn) {
  const std::wstring file = files.write("pre.ms", "-- checks before the job\n(1 < 2) and true\n");
  const auto conversation = worker.command(to_utf8(L"ExecuteMaxScriptFile," + file + L",true,2,false"), wait_ms);
  EXPECT_THAT(conversation.replies(), ElementsAre("STARTED", "SUCCESS"));
  EXPECT_EQ(worker.command("ExecuteStringScript,2,\\\"next\\\"", wait_ms).final_reply(), "SUCCESS: next");
  worker.close();
  EXPECT_TRUE(result.get());
  EXPECT_EQ(GetCOREInterface()->GetTime(), 320);
}

TEST_F(ScriptCommandSession, AMissingScriptFileEndsTheSession) {
  const std::wstring file = files.missing("nowhere/pre.ms");
  EXPECT_EQ(fatal_reply(L"ExecuteMaxScriptFile," + file + L",false,0,false"),
            "ERROR: Exception caught in 3ds max: mxs::file_in() - Tried to execute a maxscript file which doesn't "
            "exist: \"" + narrow(file) + "\"");
}

TEST_F(ScriptCommandSession, AScriptErrorEndsTheSessionWithTheRuntimesText) {
  EXPECT_EQ(fatal_reply(L"ExecuteStringScript,0,1 +"),
            "ERROR: Exception caught in 3ds max: -- Syntax error: at line 1, expected an expression, got ')'");
}

TEST_F(ScriptCommandSession, AResultWithoutTextEndsTheSessionWhileTheReplyIsBuilt) {
  EXPECT_EQ(fatal_reply(L"ExecuteStringScript,0,\"#(1, 2)\""),
            "ERROR: Maxscript exception:-- Runtime error: Unable to convert: #(1, 2) to type: String");
}

TEST_F(ScriptCommandSession, AScenesPostLoadScriptRunsInTheMiddleOfACommand) {
  StringStream listener;
  capture_listener(&listener);
  const ScopedGlobal said(L"sceneSaid");
  const std::wstring scene = files.write(
      "shot.json", R"({"format": "paravelle-scene", "version": 1,
        "scripts": {"post_load": "print \"scene loaded\"\nglobal sceneSaid = \"hello from the scene\""}})");
  const auto conversation =
      worker.command(to_utf8(L"ExecuteStringScript,5,local loaded = loadMaxFile \\\"" + scene + L"\\\"; " +
                             L"if loaded then sceneSaid else \\\"not loaded\\\""),
                     wait_ms);
  EXPECT_THAT(conversation.replies(), ElementsAre("STARTED", "SUCCESS: hello from the scene"));
  EXPECT_EQ(listener.text(), L"\"scene loaded\"\n");
  EXPECT_EQ(worker.command(to_utf8(L"ExecuteStringScript,5,(loadMaxFile \\\"" + files.missing("none.json") +
                                   L"\\\") as string"),
                           wait_ms)
                .final_reply(),
            "SUCCESS: false");
}

}  // namespace
}  // namespace paravelle::daemon
