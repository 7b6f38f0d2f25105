// ExecuteMaxScriptFile and ExecuteStringScript: the replies after STARTED, the scene time
// they move, and the failures that leave the command and end the session.

#include <sys/stat.h>

#include <gmock/gmock.h>

#include <fstream>
#include <future>
#include <stdexcept>

#include "daemon/mxs/eval.h"
#include "daemon/mxs/file_in.h"
#include "daemon/mxs/frame.h"
#include "daemon/mxs/string_script.h"
#include "daemon/session.h"
#include "dispatcher_fixture.h"
#include "host/core.h"
#include "host/maxscript_runtime.h"
#include "host/standalone/standalone_interface.h"
#include "support/job_scenes.h"
#include "worker/farm_worker.h"

namespace paravelle::daemon {
namespace {

constexpr int wait_ms = 5000;

// Script and scene files in a folder of their own, named as the farm sends them.
class ScriptFiles {
 public:
  std::wstring missing(const std::string& name) const { return testing::wide(folder_.path() + "/" + name); }
  std::wstring write(const std::string& name, const std::string& content) const {
    std::ofstream(folder_.path() + "/" + name, std::ios::binary) << content;
    return missing(name);
  }

 private:
  testing::TempFolder folder_;
};

// A global of the script runtime, removed again when the test ends.
class ScopedGlobal {
 public:
  explicit ScopedGlobal(const wchar_t* name) : name_(Name::intern(name)) {}
  ~ScopedGlobal() { globals->remove(name_); }
  Value* get() const { return globals->get(name_); }
  void set(Value* value) const { globals->set(name_, value); }

 private:
  Name* name_;
};

class ScriptCommands : public DispatcherTest {
 protected:
  void SetUp() override { host::standalone::standalone_interface().reset(); }
  void TearDown() override { host::standalone::standalone_interface().reset(); }
  static TimeValue scene_time() { return GetCOREInterface()->GetTime(); }

  ScriptFiles files;
  ScopedGlobal ran{L"scriptRan"};
};

// A literal with every character, NULs included.
template <std::size_t N>
std::wstring whole(const wchar_t (&text)[N]) {
  return std::wstring(text, N - 1);
}

const std::string failed = "ERROR: ExecuteMaxScriptFile: Script did not return success. Returned value was";
const std::string frame_error =
    "ERROR: ExecuteMaxScriptFile: Parameter 2 specifies the current frame (it is ignored if parameter 1 is false). "
    "This value must be an integer. Value received was: 'abc'.";

TEST_F(ScriptCommands, AFileScriptRepliesAfterStartedAndMovesTheSceneOnlyWhenAsked) {
  // In order: the first row sets frame 4 (640 ticks at 160 per frame); no later row may
  // move it, and no refused row may run its script.
  const struct {
    std::string script;
    std::wstring flags;
    std::string reply;
  } rows[] = {
      {"\"s\"", L"True,4,tRuE", "SUCCESS: s"},
      {"true", L"FALSE,9,FALSE", "SUCCESS"},
      {"ok", L"false,0,false", "SUCCESS"},
      {"", L"false,0,false", "SUCCESS"},
      {"1 == 2", L"false,0,false", failed + " false."},
      {"40 + 2", L"false,0,false", failed + ": 42."},
      {"\"true\"", L"false,0,false", failed + ": true."},
      {"\"caf\xC3\xA9\"", L"false,0,true", "SUCCESS: caf\xC3\xA9"},
      {"42", L"false,0,true",
       "ERROR: ExecuteMaxScriptFile: Requested a return string, but the script did not return a string. Value "
       "received was: '42'."},
      {"scriptRan = 1", L"yes,0,false",
       "ERROR: ExecuteMaxScriptFile: Parameter 1 specifies whether or not to set the current frame. It must be "
       "'true' or 'false'. Value received was: 'yes'."},
      {"scriptRan = 1", L"true,abc,false", frame_error},
      {"scriptRan = 1", L"false,abc,false", frame_error},  // checked even when it is not used
      {"scriptRan = 1", L"true,5,Maybe",
       "ERROR: ExecuteMaxScriptFile: Parameter 3 specifies whether or not the value of the script's execution is "
       "returned as a string. It must be 'true' or 'false'. Value received was: 'Maybe'."},
      {"scriptRan = 1", L"true,13421773,false",
       "ERROR: ExecuteMaxScriptFile: Frame 13421773 at 160 ticks per frame lies outside the scene's time range."},
  };
  std::wstring file;
  for (const auto& row : rows) {
    file = files.write("run.ms", row.script);
    EXPECT_EQ(dispatch(L"ExecuteMaxScriptFile," + file + L"," + row.flags), (Replies{"STARTED", row.reply}))
        << row.script;
  }
  EXPECT_EQ(scene_time(), 640);
  EXPECT_EQ(state.currentFrame, 4);
  EXPECT_EQ(ran.get(), nullptr);
  EXPECT_TRUE(log.contains_line("Set Time to 4"));
  EXPECT_TRUE(log.contains_line("Done Executing script " + to_string(file)));

  files.write("run.ms", "true");
  EXPECT_EQ(dispatch(L"ExecuteMaxScriptFile," + file + L",true,13421772,false"), (Replies{"STARTED", "SUCCESS"}));
  EXPECT_EQ(scene_time(), 2147483520);
  const std::wstring scene =
      files.write("tpf.json", R"({"format": "paravelle-scene", "version": 1, "ticks_per_frame": 100})");
  ASSERT_TRUE(GetCOREInterface()->LoadFromFile(scene.c_str(), 14));
  EXPECT_EQ(dispatch(L"ExecuteMaxScriptFile," + file + L",true,-3,false"), (Replies{"STARTED", "SUCCESS"}));
  EXPECT_EQ(scene_time(), -300);
}

TEST_F(ScriptCommands, AStringScriptRepliesItsStringAndABadFrameOrCountBeforeStarted) {
  GetCOREInterface()->SetTime(160);
  const std::pair<std::wstring, Replies> rows[] = {
      // Plain quotes belong to the command: the script is the name abc.
      {L"ExecuteStringScript,0,\"abc\"", {"STARTED", "ERROR: Script did not return a string: undefined"}},
      {L"ExecuteStringScript,0,local x = 2; (x * 3) as string", {"STARTED", "SUCCESS: 6"}},
      {L"ExecuteStringScript,0,\"\\\"a,b\\\"\"", {"STARTED", "SUCCESS: a,b"}},
      // Unquoted, the part after a comma is a further field, ignored.
      {L"ExecuteStringScript,0,\\\"a\\\",\\\"b\\\"", {"STARTED", "SUCCESS: a"}},
      // The whole text runs as written: a comment on the last line, a NUL in a string.
      {L"ExecuteStringScript,0,\\\"abc\\\" -- the answer", {"STARTED", "SUCCESS: abc"}},
      {whole(L"ExecuteStringScript,0,\\\"a\0b\\\""), {"STARTED", std::string("SUCCESS: a\0b", 12)}},
      {L"ExecuteStringScript,12,\\\"abc\\\"", {"STARTED", "SUCCESS: abc"}},
      {L"ExecuteStringScript,x,scriptRan = 1",
       {"ERROR: ExecuteScript: Parameter 1 , \"x\", is not a valid frame number."}},
      {L"ExecuteStringScript,2147483648,scriptRan = 1",
       {"ERROR: ExecuteScript: Parameter 1 , \"2147483648\", is not a valid frame number."}},
      {L"ExecuteStringScript", {"ERROR: ExecuteScript: Expected 2 parameters, got 0"}},
      {L"ExecuteStringScript,1", {"ERROR: ExecuteScript: Expected 2 parameters, got 1"}},
      {L"ExecuteMaxScriptFile", {"STARTED", "ERROR: ExecuteMaxScriptFile: Expected 4 parameters, got 0"}},
      {L"ExecuteMaxScriptFile,a.ms,true,1", {"STARTED", "ERROR: ExecuteMaxScriptFile: Expected 4 parameters, got 3"}},
  };
  for (const auto& [command, replies] : rows) EXPECT_EQ(dispatch(command), replies) << to_string(command);
  EXPECT_EQ(state.currentFrame, 12);
  EXPECT_EQ(scene_time(), 160) << "a string script does not move the scene";
  EXPECT_EQ(ran.get(), nullptr);
  EXPECT_TRUE(log.contains_line("... Done Executing script "));

  // What a farm script makes while it runs is collected while it runs.
  host::script::collect_garbage();
  const std::size_t baseline = host::script::live_value_count();
  EXPECT_EQ(dispatch(L"ExecuteStringScript,0,for i = 1 to 100000 do (x = \\\"abc\\\" + \\\"def\\\"); x"),
            (Replies{"STARTED", "SUCCESS: abcdef"}));
  EXPECT_LT(host::script::live_value_count(), baseline + 50000) << "400000 values were made";
  globals->remove(Name::intern(L"x"));
}

TEST_F(ScriptCommands, TheLocalsGlobalIsAnArrayDuringTheScriptAndTheEarlierGlobalComesBack) {
  const ScopedGlobal locals(L"__paravelleMXSlocals__");
  EXPECT_EQ(dispatch(L"ExecuteStringScript,0,__paravelleMXSlocals__ as string"), (Replies{"STARTED", "SUCCESS: #()"}));
  EXPECT_EQ(locals.get(), nullptr) << "a global that did not exist is removed again";
  locals.set(new String(L"mine"));
  EXPECT_THROW(dispatch(L"ExecuteStringScript,0,__paravelleMXSlocals__ = 5; throw \\\"boom\\\""), std::runtime_error);
  EXPECT_EQ(replies.texts, Replies{"STARTED"});
  EXPECT_STREQ(locals.get()->to_string(), L"mine") << "restored after a failing script too";
}

std::string error_text(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(Mxs, FramesRootTheirValuesAndErrorsBecomeRuntimeErrorsInTheAnsiCodePage) {
  host::script::collect_garbage();
  const std::size_t before = host::script::live_value_count();
  {
    mxs::frame<2> values;
    Value*& first = values.link();
    EXPECT_EQ(first, nullptr);
    first = new String(L"kept");
    values.link() = new Array(0);
    EXPECT_EQ(error_text([&] { values.link(); }), "mxs.frame.link: Index out of bounds [2]");
    host::script::collect_garbage();
    EXPECT_STREQ(first->to_string(), L"kept");
  }
  host::script::collect_garbage();
  EXPECT_EQ(host::script::live_value_count(), before) << "released with the frame";

  StringStream failing(L"throw \"caf\u00e9 \u4e2d\"");
  EXPECT_EQ(error_text([&] { mxs::eval_stream(&failing, MAXScript::ScriptSource::Dynamic); }),
            "-- Runtime error: caf\xE9 ?");
  CharStream* const output = thread_local_current_stdout();
  StringStream elsewhere;
  {
    mxs::string_script script(L"print 1", MAXScript::ScriptSource::Dynamic);
    thread_local_current_stdout() = &elsewhere;
    script.eval();
  }
  EXPECT_EQ(elsewhere.text(), L"1\n");
  EXPECT_EQ(thread_local_current_stdout(), output) << "the thread's output stream is restored";
}

// The whole path: the worker sends, a real session dispatches, and failures that leave
// the dispatcher end the session with the session's report.
TEST(ScriptCommandSession, FailuresLeavingTheCommandEndTheSessionAfterStarted) {
  testing::LogCapture log;
  ScriptFiles files;
  const std::wstring missing = files.missing("nowhere/pre.ms");
  const std::wstring fifo = files.missing("fifo.ms");
  ASSERT_EQ(::mkfifo(to_string(fifo).c_str(), 0600), 0);
  std::string terms = "1";
  for (int i = 0; i < 300000; ++i) terms += "+1";
  const std::wstring chain = files.write("chain.ms", terms);
  const std::string caught = "ERROR: Exception caught in 3ds max: ";
  const std::string not_regular = caught + "mxs::file_in() - Tried to execute a maxscript file which is not a ";
  const std::pair<std::wstring, std::string> rows[] = {
      {L"ExecuteMaxScriptFile," + missing + L",false,0,false",
       caught + "mxs::file_in() - Tried to execute a maxscript file which doesn't exist: \"" + to_string(missing) +
           "\""},
      {L"ExecuteMaxScriptFile," + files.missing("") + L",false,0,false",
       caught + "mxs::file_in() - Tried to execute a maxscript file which doesn't exist: \"" +
           to_string(files.missing("")) + "\""},
      // A result without a text fails while the reply is built.
      {L"ExecuteStringScript,0,\"#(1, 2)\"",
       "ERROR: Maxscript exception:-- Runtime error: Unable to convert: #(1, 2) to type: String"},
      // Only regular files run: a device would be read for ever, a FIFO waited on for ever.
      {L"ExecuteMaxScriptFile,/dev/zero,false,0,false", not_regular + "regular file: \"/dev/zero\""},
      {L"ExecuteMaxScriptFile," + fifo + L",false,0,false", not_regular + "regular file: \"" + to_string(fifo) + "\""},
      // Runaway recursion is a script error, not a trapped stack overflow.
      {L"ExecuteMaxScriptFile," + chain + L",false,0,false",
       caught + "-- Syntax error: at line 1, expression nested too deeply"},
      {L"ExecuteStringScript,0,\"a = #(); for i = 1 to 300000 do a = #(a); a\"",
       "ERROR: Maxscript exception:-- Runtime error: array nested too deeply to print"},
      // The whole text runs: what follows a NUL is not dropped.
      {whole(L"ExecuteStringScript,0,\\\"done\\\"\0 1"),
       caught + "-- Syntax error: at line 1, unexpected character U+0000"},
  };
  for (const auto& [command, reply] : rows) {
    JobState state;
    win32::simple_socket connection;
    worker::FarmWorker worker;
    auto result =
        std::async(std::launch::async, [&] { return RunParavelleDaemon(state, connection, worker.port(), L"t"); });
    worker.open_session(wait_ms, "t");
    worker.send_raw(to_utf8(command));
    EXPECT_EQ(worker.receive_raw(wait_ms), "STARTED");
    EXPECT_EQ(worker.receive_raw(wait_ms), reply);
    EXPECT_FALSE(result.get());
  }
}

}  // namespace
}  // namespace paravelle::daemon
