// Tokens and layout: numbers, names, comments, line ends and the lines errors report.

#include "script_test_support.h"

using script_test::error_of;
using script_test::eval;

TEST(ScriptLexer, NumbersAndNames) {
  EXPECT_EQ(eval(L"1."), L"1.0");
  EXPECT_EQ(eval(L".5"), L"0.5");
  EXPECT_EQ(eval(L"2.5e-3"), L"0.0025");
  EXPECT_EQ(eval(L"65536 * 65536"), L"0");
  EXPECT_EQ(eval(L"1e308 * 10"), L"1.#INF");
  EXPECT_EQ(eval(L"_a1 = 3; _A1"), L"3");
  EXPECT_EQ(error_of(L"x = 12abc"), L"-- Syntax error: at line 1, malformed number '12a'");
  EXPECT_EQ(error_of(L"a ! b"), L"-- Syntax error: at line 1, unexpected character '!'");
  EXPECT_EQ(Name::intern(L"FirstSpelling")->text(), L"FirstSpelling");
  EXPECT_EQ(Name::intern(L"firstspelling")->text(), L"FirstSpelling");
  globals->remove(Name::intern(L"_a1"));
}

TEST(ScriptLexer, CommentsAndLineCounting) {
  EXPECT_EQ(eval(L"1 -- 2\n-- 3"), L"1");
  EXPECT_EQ(eval(L"/* a\n b */ 7 /* c */"), L"7");
  EXPECT_EQ(error_of(L"1\n/* never\nclosed"), L"-- Syntax error: at line 2, comment not closed before the end of the script");
  // A string that spans lines counts them for the errors after it.
  EXPECT_EQ(error_of(L"s = \"a\nb\"\n)"), L"-- Syntax error: at line 3, expected an expression, got ')'");
  EXPECT_EQ(error_of(L"x = 1 \\\n + \\\n )"), L"-- Syntax error: at line 3, expected an expression, got ')'");
  EXPECT_EQ(error_of(L"\r\n\r\n(\r\n"), L"-- Syntax error: at line 4, expected ')', got end of script");
  globals->remove(Name::intern(L"s"));
  globals->remove(Name::intern(L"x"));
}

TEST(ScriptLexer, MinusBetweenOperandsAndBeforeArguments) {
  EXPECT_EQ(eval(L"(local x = 5; x - 1)"), L"4");
  EXPECT_EQ(eval(L"(local x = 5; x-1)"), L"4");
  // "-1" against a number after a blank is an argument, as in the original language.
  EXPECT_EQ(error_of(L"(local x = 5; x -1)"), L"-- Runtime error: at line 1, Call needs function or class, got: 5");
  EXPECT_EQ(eval(L"#(1, -2, - 3)"), L"#(1, -2, -3)");
}

TEST(ScriptLexer, KeywordsAsPropertyNamesAndLayoutAroundKeywords) {
  EXPECT_EQ(error_of(L"undefined.to"), L"-- Runtime error: at line 1, Unknown property: \"to\" in undefined");
  EXPECT_EQ(eval(L"if true\nthen 1\nelse 2"), L"1");
  EXPECT_EQ(eval(L"if false then 1\nelse\n  2"), L"2");
  EXPECT_EQ(eval(L"r = 0\nfor i = 1\n to 3\n do\n  r = r + i\nr"), L"6");
  EXPECT_EQ(eval(L"try\n(\n throw \"x\"\n)\ncatch\n(\n 9\n)"), L"9");
  // A line that begins with `else` after an if without one is a syntax error of its own.
  EXPECT_EQ(error_of(L"(\n 1\n else 2)"), L"-- Syntax error: at line 3, expected an expression, got 'else'");
  globals->remove(Name::intern(L"r"));
}

TEST(ScriptLexer, TextWrappedInParenthesesAsFarmScriptsAre) {
  // Farm script texts run as "(" + text + ")".
  EXPECT_EQ(eval(L"(\"abc\")"), L"\"abc\"");
  EXPECT_EQ(eval(L"(abc_not_defined)"), L"undefined");
  EXPECT_EQ(eval(L"(a = 1; b = 2\n a + b)"), L"3");
  EXPECT_EQ(error_of(L"(1 + )"), L"-- Syntax error: at line 1, expected an expression, got ')'");
  globals->remove(Name::intern(L"a"));
  globals->remove(Name::intern(L"b"));
}
