// The script language and runtime: tokens, literals, operators, blocks, calls, control flow
// and the printed forms; errors on the listener, frames and collection.

#include "host_fixture.h"

using paravelle::host_test::error_of;
using paravelle::host_test::eval;
using paravelle::host_test::expect_results;
using paravelle::host_test::ListenerCapture;

TEST(ScriptLanguage, StringEscapesAndVerbatimStrings) {
  Value* v = paravelle::host::script::evaluate_text(L"\"q\\\"b\\\\s\\nn\\tt\"");
  EXPECT_STREQ(v->to_string(), L"q\"b\\s\nn\tt");
  EXPECT_EQ(paravelle::host::script::printed(v), L"\"q\\\"b\\\\s\\nn\\tt\"");
  // Other backslashes stay, so Windows paths survive; @"..." takes no escapes at all.
  EXPECT_STREQ(paravelle::host::script::evaluate_text(L"\"C:\\Users\\x\"")->to_string(), L"C:\\Users\\x");
  EXPECT_STREQ(paravelle::host::script::evaluate_text(L"@\"C:\\new\\temp\"")->to_string(), L"C:\\new\\temp");
}

TEST(ScriptLanguage, ArithmeticLogicBlocksAndControlFlow) {
  expect_results({{L"1.0", L"1.0"},
                  {L"1/3.0", L"0.333333"},
                  {L"ok", L"OK"},
                  {L"#(1, \"a\", 2.5, #())", L"#(1, \"a\", 2.5, #())"},
                  {L".5", L"0.5"},
                  {L"65536 * 65536", L"0"},
                  {L"1e308 * 10", L"1.#INF"},
                  {L"7 / 2", L"3"},
                  {L"7 / 2.0", L"3.5"},
                  {L"(1 + 2) * 3", L"9"},
                  {L"2147483647 + 1", L"-2147483648"},
                  {L"(-2147483647 - 1) / -1", L"-2147483648"},
                  {L"\"ab\" + \"cd\"", L"\"abcd\""},
                  {L"1 / 0", L"-- Runtime error: at line 1, Divide by zero"},
                  {L"\n\"a\" + 1", L"-- Unable to convert: 1 to type: String (at line 2)"},
                  {L"2147483648", L"-- Syntax error: at line 1, integer 2147483648 is too large"}});
  // `or` stops at the first true operand: the error on the right is never reached.
  expect_results({{L"1 == 1.0", L"true"},
                  {L"\"abc\" < \"abd\" and 3 >= 3 and 2 <= 1 == false", L"true"},
                  {L"not 1 > 2", L"true"},
                  {L"true or (1/0 == 1)", L"true"},
                  {L"1 and true", L"-- Unable to convert: 1 to type: Boolean (at line 1)"},
                  {L"#() < 1", L"-- No \"<\" function for #() (at line 1)"}});
  expect_results({{L"(1; 2; 3)", L"3"},
                  {L"/* block\ncomment */ 5", L"5"},
                  {L"1 +\n 2", L"3"},
                  {L"x = 1 + \\\n 2; x", L"3"},
                  {L"", L"OK"},
                  {L"(1 2)", L"-- Syntax error: at line 1, expected end of line, ';' or ')', got a number"},
                  {L"(1", L"-- Syntax error: at line 1, expected ')', got end of script"},
                  {L"\n\n  x = )", L"-- Syntax error: at line 3, expected an expression, got ')'"},
                  {L"\"open", L"-- Syntax error: at line 1, string not closed before the end of the script"},
                  {L"a ? b", L"-- Syntax error: at line 1, unexpected character '?'"},
                  {std::wstring(300, L'('), L"-- Syntax error: at line 1, expression nested too deeply"}});
  // The last loop's counter must not overflow at the end of the integer range.
  expect_results({{L"if 1 < 2 then \"yes\" else \"no\"", L"\"yes\""},
                  {L"if false do 1", L"undefined"},
                  {L"s = 0; for i = 1 to 10 do s = s + i; s", L"55"},
                  {L"s = \"\"; for i = 3 to 1 by -1 do s = s + (i as string); s", L"\"321\""},
                  {L"n = 0; for i = 5 to 1 do n = n + 1; n", L"0"},
                  {L"n = 0; for i = 2147483646 to 2147483647 do n = n + 1; n", L"2"},
                  {L"a = b = 4; a + b", L"8"},
                  {L"if 1 then 2", L"-- Unable to convert: 1 to type: Boolean (at line 1)"},
                  {L"for i = 1 to 2 by 0 do ()", L"-- Runtime error: at line 1, for loop step must not be zero"},
                  {L"if true 1", L"-- Syntax error: at line 1, expected 'then' or 'do', got a number"},
                  {L"3 = 4", L"-- Syntax error: at line 1, cannot assign to this expression"}});
}

TEST(ScriptLanguage, CallsByJuxtapositionAndPropertyReads) {
  ListenerCapture listener;
  expect_results({{L"print \"a\" + \"b\"", L"\"ab\""},  // (print "a") + "b"
                  {L"print (1 + 2)", L"3"},
                  {L"format \"% and %\\n\" \"x\" #(1, \"y\")", L"OK"},
                  {L"format \"100% %\" 5", L"OK"}});
  EXPECT_EQ(listener.text(), L"\"a\"\n3\nx and #(1, \"y\")\n1005 %");
  expect_results({{L"\"hello\".count + #(1, 2).COUNT", L"7"},
                  {L"getCurrentException()", L"undefined"},
                  {L"x = 5; x 1", L"-- Type error: Call needs function or class, got: 5 (at line 1)"},
                  {L"print 1 2", L"-- Argument count error: print wanted 1, got 2 (at line 1)"},
                  {L"\"s\".size", L"-- Unknown property: \"size\" in \"s\" (at line 1)"}});
}

TEST(ScriptLanguage, LocalsShadowGlobalsAndNamesIgnoreCase) {
  globals->remove(Name::intern(L"shadowed"));
  expect_results({{L"Shadowed = 1; (local shadowed = 2; SHADOWED = 3; shadowed)", L"3"},
                  {L"shadowed", L"1"},
                  {L"(local inner = 5); inner", L"undefined"},
                  {L"(local g = 1; global g = 7); g", L"7"},
                  {L"for k = 1 to 3 do (); k", L"undefined"}});
  globals->remove(Name::intern(L"shadowed"));
  globals->remove(Name::intern(L"g"));
}

TEST(ScriptLanguage, TryCatchAndThrow) {
  expect_results(
      {{L"try (throw \"bad thing\") catch (getCurrentException())", L"\"-- Runtime error: bad thing\""},
       {L"try 1 catch 2", L"1"},
       {L"try (1/0)\ncatch \"caught\"", L"\"caught\""},
       {L"(local v = 1; try (local v = 2; throw \"x\") catch v)", L"1"},
       {L"try (try (throw \"in\") catch (throw \"out\")) catch getCurrentException()", L"\"-- Runtime error: out\""},
       {L"try 1", L"-- Syntax error: at line 1, expected 'catch', got end of script"}});
  try {
    paravelle::host::script::evaluate_text(L"\n\nthrow (\"a\" + \"b\")");
    FAIL() << "throw did not raise";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.message(), L"ab");
    EXPECT_EQ(error.line(), 0);
  }
}

TEST(ScriptLanguage, AsConversions) {
  expect_results({{L"12 as string", L"\"12\""},
                  {L"#(1, \"a\") as string", L"\"#(1, \\\"a\\\")\""},
                  {L"\" 42 \" as integer", L"42"},
                  {L"-7.9 as integer", L"-7"},
                  {L"\"4x\" as integer", L"undefined"},
                  {L"\"\" as float", L"undefined"},
                  {L"true as integer", L"1"},
                  {L"1e10 as integer", L"-- Unable to convert: 1e+10 to type: Integer (at line 1)"},
                  {L"1 as point3", L"-- Unable to convert: 1 to type: point3 (at line 1)"}});
}

namespace paravelle::host_test {
namespace {

namespace script = paravelle::host::script;

TEST(ScriptRuntime, ErrorsKeepTheirLineAndRunTextAndRunFileReportThemOnTheListener) {
  try {
    script::evaluate_text(L"(\n\n1 as integer + \"x\")");
    FAIL();
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.line(), 3);
    EXPECT_EQ(error.message(), L"Unable to convert: \"x\" to type: Integer");
  }
  ListenerCapture listener;
  EXPECT_TRUE(script::run_text(L"print \"fine\""));
  EXPECT_FALSE(script::run_text(L"print 1\nthrow \"stop here\"\nprint 2"));
  EXPECT_FALSE(script::run_text(L"print (1"));
  EXPECT_FALSE(script::run_file(L"\\no\\such\\file.ms"));
  EXPECT_EQ(listener.text(), L"\"fine\"\n1\n-- Runtime error: stop here\n"
                             L"-- Syntax error: at line 1, expected ')', got end of script\n"
                             L"-- Runtime error: Cannot open script file: \\no\\such\\file.ms\n");
}

TEST(ScriptRuntime, FramesKeepValuesThroughCollectionsAndTheHeapStaysBounded) {
  ScopedValueTempArray frame(1);
  frame[0] = new String(L"kept by a frame");
  push_alloc_frame();
  Value* in_alloc_frame = new String(L"kept by the allocation frame");
  script::collect_garbage();
  EXPECT_STREQ(in_alloc_frame->to_string(), L"kept by the allocation frame");
  pop_alloc_frame();
  const std::size_t before = script::live_value_count();
  new String(L"nobody holds this");
  EXPECT_EQ(script::live_value_count(), before + 1);
  script::collect_garbage();
  EXPECT_LE(script::live_value_count(), before);
  EXPECT_STREQ(frame[0]->to_string(), L"kept by a frame");
  EXPECT_THROW(frame[1], RuntimeError);

  const std::size_t baseline = script::live_value_count();
  for (int i = 0; i < 3000; ++i) ASSERT_TRUE(script::run_text(L"(local a = #(\"x\" + \"y\", 1.5, #(2)); t = a; a)"));
  EXPECT_LT(script::live_value_count(), baseline + 25000) << "collections run as evaluations start";
  // A long loop is collected as it turns; locals and pending operands survive.
  EXPECT_EQ(eval(L"s = 0; for i = 1 to 60000 do (t = #(i, \"x\"); s = s + t.count); s"), L"120000");
  EXPECT_LT(script::live_value_count(), baseline + 25000);
  EXPECT_EQ(eval(L"\"left\" + (local keep = \"right\"; for i = 1 to 30000 do t = #(i); keep)"), L"\"leftright\"");
  script::collect_garbage();
  EXPECT_LT(script::live_value_count(), baseline + 10);
  for (const wchar_t* name : {L"t", L"s"}) globals->remove(Name::intern(name));
}

}  // namespace
}  // namespace paravelle::host_test
