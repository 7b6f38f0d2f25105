// The language: literals, operators, blocks, calls, control flow and the printed forms.

#include "script_test_support.h"

using script_test::error_of;
using script_test::eval;
using script_test::ListenerCapture;

TEST(ScriptLanguage, LiteralsPrintAsTheHostPrintsThem) {
  EXPECT_EQ(eval(L"42"), L"42");
  EXPECT_EQ(eval(L"2.5"), L"2.5");
  EXPECT_EQ(eval(L"1.0"), L"1.0");
  EXPECT_EQ(eval(L"1e20"), L"1e+20");
  EXPECT_EQ(eval(L"1/3.0"), L"0.333333");
  EXPECT_EQ(eval(L"\"abc\""), L"\"abc\"");
  EXPECT_EQ(eval(L"TRUE"), L"true");
  EXPECT_EQ(eval(L"false"), L"false");
  EXPECT_EQ(eval(L"ok"), L"OK");
  EXPECT_EQ(eval(L"undefined"), L"undefined");
  EXPECT_EQ(eval(L"#(1, \"a\", 2.5, #())"), L"#(1, \"a\", 2.5, #())");
}

TEST(ScriptLanguage, StringEscapesAndVerbatimStrings) {
  Value* v = host::script::evaluate_text(L"\"q\\\"b\\\\s\\nn\\tt\"");
  EXPECT_STREQ(v->to_string(), L"q\"b\\s\nn\tt");
  EXPECT_EQ(host::script::printed(v), L"\"q\\\"b\\\\s\\nn\\tt\"");
  // Other backslashes stay, so Windows paths survive; @"..." takes no escapes at all.
  EXPECT_STREQ(host::script::evaluate_text(L"\"C:\\Users\\x\"")->to_string(), L"C:\\Users\\x");
  EXPECT_STREQ(host::script::evaluate_text(L"@\"C:\\new\\temp\"")->to_string(), L"C:\\new\\temp");
}

TEST(ScriptLanguage, ArithmeticKeepsIntegersAndWraps) {
  EXPECT_EQ(eval(L"7 / 2"), L"3");
  EXPECT_EQ(eval(L"7 / 2.0"), L"3.5");
  EXPECT_EQ(eval(L"1 + 2 * 3 - 4"), L"3");
  EXPECT_EQ(eval(L"(1 + 2) * 3"), L"9");
  EXPECT_EQ(eval(L"-(2 - 5)"), L"3");
  EXPECT_EQ(eval(L"2147483647 + 1"), L"-2147483648");
  EXPECT_EQ(eval(L"(-2147483647 - 1) / -1"), L"-2147483648");
  EXPECT_EQ(eval(L"\"ab\" + \"cd\""), L"\"abcd\"");
  EXPECT_EQ(error_of(L"1 / 0"), L"-- Runtime error: at line 1, Divide by zero");
  EXPECT_EQ(error_of(L"\n\"a\" + 1"), L"-- Runtime error: at line 2, No \"+\" function for \"a\" and 1");
  EXPECT_EQ(error_of(L"2147483648"), L"-- Syntax error: at line 1, integer 2147483648 is too large");
}

TEST(ScriptLanguage, ComparisonsAndLogic) {
  EXPECT_EQ(eval(L"1 == 1.0"), L"true");
  EXPECT_EQ(eval(L"\"a\" != \"A\""), L"true");
  EXPECT_EQ(eval(L"\"abc\" < \"abd\" and 3 >= 3 and 2 <= 1 == false"), L"true");
  EXPECT_EQ(eval(L"not 1 > 2"), L"true");
  EXPECT_EQ(eval(L"undefined == undefined"), L"true");
  // `or` stops at the first true operand: the error on the right is never reached.
  EXPECT_EQ(eval(L"true or (1/0 == 1)"), L"true");
  EXPECT_EQ(error_of(L"1 and true"), L"-- Runtime error: at line 1, Unable to convert: 1 to type: BooleanClass");
  EXPECT_EQ(error_of(L"#() < 1"), L"-- Runtime error: at line 1, No \"<\" function for #() and 1");
}

TEST(ScriptLanguage, BlocksSeparatedBySemicolonsAndNewlines) {
  EXPECT_EQ(eval(L"(1; 2; 3)"), L"3");
  EXPECT_EQ(eval(L"(\n  1\n\n  2 -- a comment ) with a parenthesis\n)"), L"2");
  EXPECT_EQ(eval(L"/* block\ncomment */ 5"), L"5");
  EXPECT_EQ(eval(L"1 +\n 2"), L"3");
  EXPECT_EQ(eval(L"x = 1 + \\\n 2; x"), L"3");
  EXPECT_EQ(eval(L"()"), L"undefined");
  EXPECT_EQ(eval(L""), L"OK");
  EXPECT_EQ(eval(L"-- only a comment"), L"OK");
  EXPECT_EQ(error_of(L"(1 2)"), L"-- Syntax error: at line 1, expected end of line, ';' or ')', got a number");
  EXPECT_EQ(error_of(L"(1"), L"-- Syntax error: at line 1, expected ')', got end of script");
  EXPECT_EQ(error_of(L"(\n1\n\n"), L"-- Syntax error: at line 4, expected ')', got end of script");
  EXPECT_EQ(error_of(L"\n\n  x = )"), L"-- Syntax error: at line 3, expected an expression, got ')'");
  EXPECT_EQ(error_of(L"\"open"), L"-- Syntax error: at line 1, string not closed before the end of the script");
  EXPECT_EQ(error_of(L"a ? b"), L"-- Syntax error: at line 1, unexpected character '?'");
  EXPECT_EQ(error_of(std::wstring(300, L'(')), L"-- Syntax error: at line 1, expression nested too deeply");
}

TEST(ScriptLanguage, CallsByJuxtapositionAndPropertyReads) {
  ListenerCapture listener;
  EXPECT_EQ(eval(L"print \"a\" + \"b\""), L"\"ab\"");  // (print "a") + "b"
  EXPECT_EQ(eval(L"print (1 + 2)"), L"3");
  EXPECT_EQ(eval(L"print -1"), L"-1");
  EXPECT_EQ(eval(L"format \"% and %\\n\" \"x\" #(1, \"y\")"), L"OK");
  EXPECT_EQ(eval(L"format \"100% %\" 5"), L"OK");
  EXPECT_EQ(listener.text(), L"\"a\"\n3\n-1\nx and #(1, \"y\")\n1005 %");
  EXPECT_EQ(eval(L"\"hello\".count + #(1, 2).COUNT"), L"7");
  EXPECT_EQ(eval(L"getCurrentException()"), L"undefined");
  EXPECT_EQ(error_of(L"x = 5; x 1"), L"-- Runtime error: at line 1, Call needs function or class, got: 5");
  EXPECT_EQ(error_of(L"print 1 2"), L"-- Runtime error: at line 1, Argument count error: print wanted 1, got 2");
  EXPECT_EQ(error_of(L"print()"), L"-- Runtime error: at line 1, Argument count error: print wanted 1, got 0");
  EXPECT_EQ(error_of(L"\"s\".size"), L"-- Runtime error: at line 1, Unknown property: \"size\" in \"s\"");
}

TEST(ScriptLanguage, IfForAndAssignment) {
  EXPECT_EQ(eval(L"if 1 < 2 then \"yes\" else \"no\""), L"\"yes\"");
  EXPECT_EQ(eval(L"(if false then 1\n else 2)"), L"2");
  EXPECT_EQ(eval(L"if false do 1"), L"undefined");
  EXPECT_EQ(eval(L"if true do 1"), L"1");
  EXPECT_EQ(eval(L"s = 0; for i = 1 to 10 do s = s + i; s"), L"55");
  EXPECT_EQ(eval(L"s = \"\"; for i = 3 to 1 by -1 do s = s + (i as string); s"), L"\"321\"");
  EXPECT_EQ(eval(L"n = 0; for i = 5 to 1 do n = n + 1; n"), L"0");
  // The counter must not overflow at the end of the integer range.
  EXPECT_EQ(eval(L"n = 0; for i = 2147483646 to 2147483647 do n = n + 1; n"), L"2");
  EXPECT_EQ(eval(L"for i = 1 to 2 do ()"), L"OK");
  EXPECT_EQ(eval(L"a = b = 4; a + b"), L"8");
  EXPECT_EQ(error_of(L"if 1 then 2"), L"-- Runtime error: at line 1, Unable to convert: 1 to type: BooleanClass");
  EXPECT_EQ(error_of(L"for i = 1 to 2 by 0 do ()"), L"-- Runtime error: at line 1, for loop step must not be zero");
  EXPECT_EQ(error_of(L"if true 1"), L"-- Syntax error: at line 1, expected 'then' or 'do', got a number");
  EXPECT_EQ(error_of(L"3 = 4"), L"-- Syntax error: at line 1, cannot assign to this expression");
}

TEST(ScriptLanguage, LocalsShadowGlobalsAndNamesIgnoreCase) {
  globals->remove(Name::intern(L"shadowed"));
  EXPECT_EQ(eval(L"Shadowed = 1; (local shadowed = 2; SHADOWED = 3; shadowed)"), L"3");
  EXPECT_EQ(eval(L"shadowed"), L"1");
  EXPECT_EQ(eval(L"(local a = 1, b; b)"), L"undefined");
  EXPECT_EQ(eval(L"(local inner = 5); inner"), L"undefined");
  EXPECT_EQ(eval(L"(local g = 1; global g = 7); g"), L"7");
  EXPECT_EQ(eval(L"for k = 1 to 3 do (); k"), L"undefined");
  EXPECT_EQ(eval(L"never_assigned_anywhere"), L"undefined");
  globals->remove(Name::intern(L"shadowed"));
  globals->remove(Name::intern(L"g"));
}

TEST(ScriptLanguage, TryCatchAndThrow) {
  EXPECT_EQ(eval(L"try (throw \"bad thing\") catch (getCurrentException())"),
            L"\"-- Runtime error: bad thing\"");
  EXPECT_EQ(eval(L"try 1 catch 2"), L"1");
  EXPECT_EQ(eval(L"try (1/0)\ncatch \"caught\""), L"\"caught\"");
  EXPECT_EQ(eval(L"(local v = 1; try (local v = 2; throw \"x\") catch v)"), L"1");
  EXPECT_EQ(eval(L"try (try (throw \"in\") catch (throw \"out\")) catch getCurrentException()"),
            L"\"-- Runtime error: out\"");
  try {
    host::script::evaluate_text(L"\n\nthrow (\"a\" + \"b\")");
    FAIL() << "throw did not raise";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.message(), L"ab");
    EXPECT_EQ(error.line(), 0);
  }
  EXPECT_EQ(error_of(L"try 1"), L"-- Syntax error: at line 1, expected 'catch', got end of script");
}

TEST(ScriptLanguage, AsConversions) {
  EXPECT_EQ(eval(L"12 as string"), L"\"12\"");
  EXPECT_EQ(eval(L"2.5 as String"), L"\"2.5\"");
  EXPECT_EQ(eval(L"#(1, \"a\") as string"), L"\"#(1, \\\"a\\\")\"");
  EXPECT_EQ(eval(L"undefined as string"), L"\"undefined\"");
  EXPECT_EQ(eval(L"\" 42 \" as integer"), L"42");
  EXPECT_EQ(eval(L"\"-7.9\" as integer"), L"-7");
  EXPECT_EQ(eval(L"-7.9 as integer"), L"-7");
  EXPECT_EQ(eval(L"\"4x\" as integer"), L"undefined");
  EXPECT_EQ(eval(L"\"\" as float"), L"undefined");
  EXPECT_EQ(eval(L"true as integer"), L"1");
  EXPECT_EQ(eval(L"3 as float"), L"3.0");
  EXPECT_EQ(error_of(L"1e10 as integer"), L"-- Runtime error: at line 1, Unable to convert: 1e+10 to type: Integer");
  EXPECT_EQ(error_of(L"#() as float"), L"-- Runtime error: at line 1, Unable to convert: #() to type: Float");
  EXPECT_EQ(error_of(L"1 as point3"), L"-- Runtime error: at line 1, Unable to convert: 1 to type: point3");
}

TEST(ScriptLanguage, ValueTextConversions) {
  EXPECT_STREQ(host::script::evaluate_text(L"42")->to_string(), L"42");
  EXPECT_STREQ(host::script::evaluate_text(L"0.5")->to_string(), L"0.5");
  EXPECT_STREQ(host::script::evaluate_text(L"false")->to_string(), L"false");
  EXPECT_STREQ(ok.to_string(), L"OK");
  EXPECT_STREQ(undefined.to_string(), L"undefined");
  Value* array = host::script::evaluate_text(L"#(1)");
  try {
    array->to_string();
    FAIL() << "an array has no text";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.message(), L"Unable to convert: #(1) to type: String");
  }
  EXPECT_TRUE(true_value.truth());
  EXPECT_THROW(array->to_bool(), RuntimeError);
}
