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

std::wstring text_of(Value* value) { return value->to_string(); }

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
    EXPECT_EQ(values.linked(), 2u);
    host::script::collect_garbage();
    EXPECT_EQ(text_of(first), L"kept");
    EXPECT_GE(host::script::live_value_count(), before + 2);
  }
  host::script::collect_garbage();
  EXPECT_EQ(host::script::live_value_count(), before) << "released with the frame";
  mxs::frame<3> three;
  three.link();
  three.link();
  three.link();
  EXPECT_EQ(error_text([&] { three.link(); }), "mxs.frame.link: Index out of bounds [3]");
}

TEST(MxsEval, EvaluatesAStreamAndTurnsScriptErrorsIntoRuntimeErrors) {
  StringStream sum(L"x = 40\nx + 2");
  Value* const result = mxs::eval_stream(&sum, MAXScript::ScriptSource::Dynamic);
  ASSERT_TRUE(result->is_kind_of(&Integer_class));
  EXPECT_EQ(text_of(result), L"42");
  globals->remove(Name::intern(L"x"));

  StringStream nothing(L"()");
  EXPECT_EQ(mxs::eval_stream(&nothing, MAXScript::ScriptSource::Dynamic), &undefined);

  StringStream thrown(L"throw \"Disk full\"");
  EXPECT_EQ(error_text([&] { mxs::eval_stream(&thrown, MAXScript::ScriptSource::Dynamic); }),
            "-- Runtime error: Disk full");
  StringStream broken(L"(1 +");
  EXPECT_THAT(error_text([&] { mxs::eval_stream(&broken, MAXScript::ScriptSource::File); }),
              StartsWith("-- Syntax error: at line 1, "));
  StringStream wide(L"throw \"caf\u00e9 \u4e2d\"");
  EXPECT_EQ(error_text([&] { mxs::eval_stream(&wide, MAXScript::ScriptSource::Dynamic); }),
            "-- Runtime error: caf\xE9 ?") << "narrowed to the ANSI code page";
}

TEST(MxsFileIn, RunsAFileButNotAFolder) {
  const ScriptFiles files;
  EXPECT_EQ(text_of(mxs::file_in(files.write("a.ms", "\xEF\xBB\xBF\"from \" + \"file\"\n"))), L"from file");
  const std::wstring folder = files.write("c.ms", "");
  EXPECT_EQ(error_text([&] { mxs::file_in(folder.substr(0, folder.size() - 5)); }),
            "mxs::file_in() - Tried to execute a maxscript file which doesn't exist: \"" +
                to_string(folder.substr(0, folder.size() - 5)) + "\"")
      << "a folder is no script";
  EXPECT_EQ(error_text([&] { mxs::file_in(files.write("d.ms", "1\nthrow \"stop\"")); }), "-- Runtime error: stop");
}

TEST(MxsStringScript, BindsTheLocalsGlobalOnlyWhileItEvaluates) {
  const ScopedGlobal locals(mxs::locals_global_name);
  {
    mxs::string_script script(L"__paravelleMXSlocals__", MAXScript::ScriptSource::Dynamic);
    Value* const seen = script.eval();
    EXPECT_TRUE(seen->is_kind_of(&Array_class));
    EXPECT_EQ(locals.get(), nullptr);
  }
  locals.set(new String(L"earlier"));
  {
    mxs::string_script failing(L"__paravelleMXSlocals__ = 5; throw \"late\"", MAXScript::ScriptSource::Dynamic);
    EXPECT_EQ(error_text([&] { failing.eval(); }), "-- Runtime error: late");
  }
  EXPECT_EQ(locals.text(), L"earlier");
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
