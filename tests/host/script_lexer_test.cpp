// Tokens and layout: numbers, names, comments, line ends and the lines errors report.

#include "script_test_support.h"

using paravelle::script_test::error_of;
using paravelle::script_test::eval;
using paravelle::script_test::expect_results;

TEST(ScriptLexer, NumbersAndNames) {
  expect_results({{L"1.", L"1.0"},
                  {L".5", L"0.5"},
                  {L"2.5e-3", L"0.0025"},
                  {L"65536 * 65536", L"0"},
                  {L"1e308 * 10", L"1.#INF"},
                  {L"_a1 = 3; _A1", L"3"},
                  {L"x = 12abc", L"-- Syntax error: at line 1, malformed number '12a'"},
                  {L"a ! b", L"-- Syntax error: at line 1, unexpected character '!'"},
                  {L"a \x01 b", L"-- Syntax error: at line 1, unexpected character U+0001"},
                  {L"a " + std::wstring(1, static_cast<wchar_t>(-22)) + L" b",
                   L"-- Syntax error: at line 1, unexpected character U+FFFFFFEA"}});
  EXPECT_EQ(Name::intern(L"FirstSpelling")->text(), L"FirstSpelling");
  EXPECT_EQ(Name::intern(L"firstspelling")->text(), L"FirstSpelling");
  globals->remove(Name::intern(L"_a1"));
}

TEST(ScriptLexer, CommentsAndLineCounting) {
  expect_results(
      {{L"1 -- 2\n-- 3", L"1"},
       {L"/* a\n b */ 7 /* c */", L"7"},
       {L"1\n/* never\nclosed", L"-- Syntax error: at line 2, comment not closed before the end of the script"}});
  // A string that spans lines counts them for the errors after it.
  expect_results({{L"s = \"a\nb\"\n)", L"-- Syntax error: at line 3, expected an expression, got ')'"},
                  {L"x = 1 \\\n + \\\n )", L"-- Syntax error: at line 3, expected an expression, got ')'"},
                  {L"\r\n\r\n(\r\n", L"-- Syntax error: at line 4, expected ')', got end of script"}});
  globals->remove(Name::intern(L"s"));
  globals->remove(Name::intern(L"x"));
}

TEST(ScriptLexer, MinusBetweenOperandsAndBeforeArguments) {
  expect_results({{L"(local x = 5; x - 1)", L"4"}, {L"(local x = 5; x-1)", L"4"}});
  // "-1" against a number after a blank is an argument, as in the original language.
  expect_results({{L"(local x = 5; x -1)", L"-- Type error: Call needs function or class, got: 5 (at line 1)"},
                  {L"#(1, -2, - 3)", L"#(1, -2, -3)"}});
}

TEST(ScriptLexer, KeywordsAsPropertyNamesAndLayoutAroundKeywords) {
  expect_results({{L"undefined.to", L"-- Unknown property: \"to\" in undefined (at line 1)"},
                  {L"if true\nthen 1\nelse 2", L"1"},
                  {L"if false then 1\nelse\n  2", L"2"},
                  {L"r = 0\nfor i = 1\n to 3\n do\n  r = r + i\nr", L"6"},
                  {L"try\n(\n throw \"x\"\n)\ncatch\n(\n 9\n)", L"9"}});
  // A line that begins with `else` after an if without one is a syntax error of its own.
  EXPECT_EQ(error_of(L"(\n 1\n else 2)"), L"-- Syntax error: at line 3, expected an expression, got 'else'");
  globals->remove(Name::intern(L"r"));
}

TEST(ScriptLexer, TextWrappedInParenthesesAsFarmScriptsAre) {
  // Farm script texts run as "(" + text + ")".
  expect_results({{L"(\"abc\")", L"\"abc\""},
                  {L"(abc_not_defined)", L"undefined"},
                  {L"(a = 1; b = 2\n a + b)", L"3"},
                  {L"(1 + )", L"-- Syntax error: at line 1, expected an expression, got ')'"}});
  globals->remove(Name::intern(L"a"));
  globals->remove(Name::intern(L"b"));
}
