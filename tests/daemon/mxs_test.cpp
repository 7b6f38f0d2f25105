#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "daemon/mxs/eval.h"
#include "daemon/mxs/file_in.h"
#include "daemon/mxs/frame.h"
#include "daemon/mxs/string_script.h"
#include "script_test_files.h"
#include "transport/text.h"

namespace paravelle::daemon {
namespace {

using ::testing::StartsWith;

std::string error_text(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no error>";
}

std::string eval_error(const wchar_t* script, MAXScript::ScriptSource source = MAXScript::ScriptSource::Dynamic) {
  StringStream stream(script);
  return error_text([&] { mxs::eval_stream(&stream, source); });
}

TEST(MxsFrame, HandsOutEmptySlotsUpToItsSizeAndKeepsTheirValuesAlive) {
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
    EXPECT_EQ(std::wstring(first->to_string()), L"kept");
    EXPECT_GE(host::script::live_value_count(), before + 2);
  }
  host::script::collect_garbage();
  EXPECT_EQ(host::script::live_value_count(), before) << "released with the frame";
}

TEST(MxsEval, EvaluatesAStreamAndTurnsScriptErrorsIntoRuntimeErrors) {
  StringStream sum(L"x = 40\nx + 2");
  Value* const result = mxs::eval_stream(&sum, MAXScript::ScriptSource::Dynamic);
  ASSERT_TRUE(result->is_kind_of(&Integer_class));
  EXPECT_EQ(std::wstring(result->to_string()), L"42");
  globals->remove(Name::intern(L"x"));
  StringStream nothing(L"()");
  EXPECT_EQ(mxs::eval_stream(&nothing, MAXScript::ScriptSource::Dynamic), &undefined);

  EXPECT_EQ(eval_error(L"throw \"Disk full\""), "-- Runtime error: Disk full");
  EXPECT_THAT(eval_error(L"(1 +", MAXScript::ScriptSource::File), StartsWith("-- Syntax error: at line 1, "));
  EXPECT_EQ(eval_error(L"throw \"caf\u00e9 \u4e2d\""), "-- Runtime error: caf\xE9 ?")
      << "narrowed to the ANSI code page";
}

TEST(MxsFileIn, RunsAFileButNotAFolder) {
  const ScriptFiles files;
  EXPECT_EQ(std::wstring(mxs::file_in(files.write("a.ms", "\xEF\xBB\xBF\"from \" + \"file\"\n"))->to_string()),
            L"from file");
  const std::wstring folder = files.missing("");
  EXPECT_EQ(error_text([&] { mxs::file_in(folder); }),
            "mxs::file_in() - Tried to execute a maxscript file which doesn't exist: \"" + to_string(folder) + "\"");
}

TEST(MxsStringScript, RestoresTheThreadsOutputStream) {
  CharStream* const before = thread_local_current_stdout();
  StringStream elsewhere;
  {
    mxs::string_script script(L"print 1", MAXScript::ScriptSource::Dynamic);
    thread_local_current_stdout() = &elsewhere;
    script.eval();
  }
  EXPECT_EQ(elsewhere.text(), L"1\n");
  EXPECT_EQ(thread_local_current_stdout(), before);
}

}  // namespace
}  // namespace paravelle::daemon
