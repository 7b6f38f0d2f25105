// The language: tokens, literals, operators, blocks, calls, control flow and the printed forms.

#include "host/standalone/script/nesting.h"
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

TEST(ScriptLanguage, ArithmeticKeepsIntegersAndWraps) {
  expect_results({{L"1.0", L"1.0"},
                  {L"1e20", L"1e+20"},
                  {L"1/3.0", L"0.333333"},
                  {L"TRUE", L"true"},
                  {L"ok", L"OK"},
                  {L"#(1, \"a\", 2.5, #())", L"#(1, \"a\", 2.5, #())"},
                  {L"1.", L"1.0"},
                  {L".5", L"0.5"},
                  {L"2.5e-3", L"0.0025"},
                  {L"65536 * 65536", L"0"},
                  {L"1e308 * 10", L"1.#INF"},
                  {L"7 / 2", L"3"},
                  {L"7 / 2.0", L"3.5"},
                  {L"1 + 2 * 3 - 4", L"3"},
                  {L"(1 + 2) * 3", L"9"},
                  {L"-(2 - 5)", L"3"},
                  {L"2147483647 + 1", L"-2147483648"},
                  {L"(-2147483647 - 1) / -1", L"-2147483648"},
                  {L"\"ab\" + \"cd\"", L"\"abcd\""},
                  {L"1 / 0", L"-- Runtime error: at line 1, Divide by zero"},
                  {L"\n\"a\" + 1", L"-- Runtime error: at line 2, No \"+\" function for \"a\" and 1"},
                  {L"2147483648", L"-- Syntax error: at line 1, integer 2147483648 is too large"}});
}

TEST(ScriptLanguage, ComparisonsAndLogic) {
  // `or` stops at the first true operand: the error on the right is never reached.
  expect_results({{L"1 == 1.0", L"true"},
                  {L"\"a\" != \"A\"", L"true"},
                  {L"\"abc\" < \"abd\" and 3 >= 3 and 2 <= 1 == false", L"true"},
                  {L"not 1 > 2", L"true"},
                  {L"undefined == undefined", L"true"},
                  {L"true or (1/0 == 1)", L"true"},
                  {L"1 and true", L"-- Runtime error: at line 1, Unable to convert: 1 to type: BooleanClass"},
                  {L"#() < 1", L"-- Runtime error: at line 1, No \"<\" function for #() and 1"}});
}

TEST(ScriptLanguage, BlocksSeparatedBySemicolonsAndNewlines) {
  expect_results({{L"(1; 2; 3)", L"3"},
                  {L"(\n  1\n\n  2 -- a comment ) with a parenthesis\n)", L"2"},
                  {L"/* block\ncomment */ 5", L"5"},
                  {L"1 +\n 2", L"3"},
                  {L"x = 1 + \\\n 2; x", L"3"},
                  {L"()", L"undefined"},
                  {L"", L"OK"},
                  {L"-- only a comment", L"OK"},
                  {L"(1 2)", L"-- Syntax error: at line 1, expected end of line, ';' or ')', got a number"},
                  {L"(1", L"-- Syntax error: at line 1, expected ')', got end of script"},
                  {L"(\n1\n\n", L"-- Syntax error: at line 4, expected ')', got end of script"},
                  {L"\n\n  x = )", L"-- Syntax error: at line 3, expected an expression, got ')'"},
                  {L"\"open", L"-- Syntax error: at line 1, string not closed before the end of the script"},
                  {L"a ? b", L"-- Syntax error: at line 1, unexpected character '?'"},
                  {std::wstring(300, L'('), L"-- Syntax error: at line 1, expression nested too deeply"}});
}

TEST(ScriptLanguage, CallsByJuxtapositionAndPropertyReads) {
  ListenerCapture listener;
  expect_results({{L"print \"a\" + \"b\"", L"\"ab\""},  // (print "a") + "b"
                  {L"print (1 + 2)", L"3"},
                  {L"print -1", L"-1"},
                  {L"format \"% and %\\n\" \"x\" #(1, \"y\")", L"OK"},
                  {L"format \"100% %\" 5", L"OK"}});
  EXPECT_EQ(listener.text(), L"\"a\"\n3\n-1\nx and #(1, \"y\")\n1005 %");
  expect_results({{L"\"hello\".count + #(1, 2).COUNT", L"7"},
                  {L"getCurrentException()", L"undefined"},
                  {L"x = 5; x 1", L"-- Runtime error: at line 1, Call needs function or class, got: 5"},
                  {L"print 1 2", L"-- Runtime error: at line 1, Argument count error: print wanted 1, got 2"},
                  {L"print()", L"-- Runtime error: at line 1, Argument count error: print wanted 1, got 0"},
                  {L"\"s\".size", L"-- Runtime error: at line 1, Unknown property: \"size\" in \"s\""}});
}

TEST(ScriptLanguage, IfForAndAssignment) {
  // The last loop's counter must not overflow at the end of the integer range.
  expect_results({{L"if 1 < 2 then \"yes\" else \"no\"", L"\"yes\""},
                  {L"(if false then 1\n else 2)", L"2"},
                  {L"if false do 1", L"undefined"},
                  {L"if true do 1", L"1"},
                  {L"s = 0; for i = 1 to 10 do s = s + i; s", L"55"},
                  {L"s = \"\"; for i = 3 to 1 by -1 do s = s + (i as string); s", L"\"321\""},
                  {L"n = 0; for i = 5 to 1 do n = n + 1; n", L"0"},
                  {L"n = 0; for i = 2147483646 to 2147483647 do n = n + 1; n", L"2"},
                  {L"for i = 1 to 2 do ()", L"OK"},
                  {L"a = b = 4; a + b", L"8"},
                  {L"if 1 then 2", L"-- Runtime error: at line 1, Unable to convert: 1 to type: BooleanClass"},
                  {L"for i = 1 to 2 by 0 do ()", L"-- Runtime error: at line 1, for loop step must not be zero"},
                  {L"if true 1", L"-- Syntax error: at line 1, expected 'then' or 'do', got a number"},
                  {L"3 = 4", L"-- Syntax error: at line 1, cannot assign to this expression"}});
}

TEST(ScriptLanguage, LocalsShadowGlobalsAndNamesIgnoreCase) {
  globals->remove(Name::intern(L"shadowed"));
  expect_results({{L"Shadowed = 1; (local shadowed = 2; SHADOWED = 3; shadowed)", L"3"},
                  {L"shadowed", L"1"},
                  {L"(local a = 1, b; b)", L"undefined"},
                  {L"(local inner = 5); inner", L"undefined"},
                  {L"(local g = 1; global g = 7); g", L"7"},
                  {L"for k = 1 to 3 do (); k", L"undefined"},
                  {L"never_assigned_anywhere", L"undefined"}});
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
                  {L"2.5 as String", L"\"2.5\""},
                  {L"#(1, \"a\") as string", L"\"#(1, \\\"a\\\")\""},
                  {L"undefined as string", L"\"undefined\""},
                  {L"\" 42 \" as integer", L"42"},
                  {L"\"-7.9\" as integer", L"-7"},
                  {L"-7.9 as integer", L"-7"},
                  {L"\"4x\" as integer", L"undefined"},
                  {L"\"\" as float", L"undefined"},
                  {L"true as integer", L"1"},
                  {L"3 as float", L"3.0"},
                  {L"1e10 as integer", L"-- Runtime error: at line 1, Unable to convert: 1e+10 to type: Integer"},
                  {L"#() as float", L"-- Runtime error: at line 1, Unable to convert: #() to type: Float"},
                  {L"1 as point3", L"-- Runtime error: at line 1, Unable to convert: 1 to type: point3"}});
}

// Scripts that would recurse without end in the interpreter, or loop for ever, end with a
// script error instead of a stack overflow or a hang.
TEST(ScriptLanguage, RunawayScriptsEndWithAScriptError) {
  const auto chain = [](const wchar_t* first, const wchar_t* link, int links) {
    std::wstring text = first;
    for (int i = 0; i < links; ++i) text += link;
    return text;
  };
  const std::wstring too_deep = L"-- Syntax error: at line 1, expression nested too deeply";
  ListenerCapture listener;
  expect_results({{chain(L"1", L"+1", 299999), too_deep},
                  {chain(L"x", L".a", 300000), too_deep},
                  {chain(L"1", L" as string", 300000), too_deep},
                  {L"(" + chain(L"1", L"+1", 4999) + L")", L"5000"},
                  {L"a = #(); for i = 1 to 300000 do a = #(a); print a",
                   L"-- Runtime error: at line 1, array nested too deeply to print"},
                  {L"a = #(); for i = 1 to 999 do a = #(a); (a as string).count", L"3000"},
                  {L"a = #(); for i = 1 to 1000 do a = #(a); (a as string).count",
                   L"-- Runtime error: array nested too deeply to print"},
                  {L"for i = 1e17 to 1.00000000001e17 do ()",
                   L"-- Runtime error: at line 1, for loop cannot advance: 1e+17 plus the step 1.0 is still 1e+17"},
                  {L"for i = 0.0 to 1e400 by 1e300 do ()",
                   L"-- Runtime error: at line 1, for loop bounds and step must be finite, got 1.#INF"},
                  {L"n = 0; for i = 1e17 to 1e17 do n = n + 1; n", L"1"},
                  {L"n = 0; for i = 0.5 to 2 do n = n + 1; n", L"2"}});
  EXPECT_EQ(listener.text(), L"") << "nothing of a value that cannot be printed reaches the listener";
}

// Texts that would grow past memory (a doubled string, an array that holds itself twice at
// every level, a format of many large texts) end with a script error at the longest text a
// script may make; that text itself can still be made.
TEST(ScriptLanguage, HugeTextsEndWithAScriptError) {
  const std::wstring too_long = L"String too long: a string may hold at most 16777216 characters";
  ListenerCapture listener;
  expect_results({{L"s = \"ab\"; for i = 1 to 23 do s = s + s; s.count", L"16777216"},
                  {L"s = \"ab\"; for i = 1 to 24 do s = s + s; s.count", L"-- Runtime error: at line 1, " + too_long},
                  {L"a = #(1); for i = 1 to 40 do a = #(a, a); print a", L"-- Runtime error: at line 1, " + too_long},
                  {L"s = \"ab\"; for i = 1 to 21 do s = s + s; format \"%%%%%\" s s s s s",
                   L"-- Runtime error: at line 1, " + too_long}});
  EXPECT_EQ(listener.text(), L"") << "nothing of a text that was too long reaches the listener";
}

// A host that runs scripts it cannot trust to end gives them a budget of loop turns and of
// text made; each is spent exactly.
TEST(ScriptLanguage, ABudgetEndsScriptsThatRunPastIt) {
  const std::wstring nested = L"n = 0; for i = 1 to 10 do for j = 1 to 99 do n = n + 1; n";
  const std::wstring texts = L"s = \"\"; for i = 1 to 100 do s = s + \"abcd\"; s.count";  // 4 + 8 + ... + 400
  const struct {
    std::uint64_t turns, characters;
    const std::wstring& script;
    std::wstring result;
  } cases[] = {
      {1000, 3, nested, L"990"},  // 10 outer and 990 inner turns; the value's printed form
      {999, 3, nested, L"-- Runtime error: at line 1, Step budget used up: the script ran too many loop turns"},
      {100, 20203, texts, L"400"},
      {100, 20199, texts, L"-- Runtime error: at line 1, Memory budget used up: the script made too much text"},
  };
  for (const auto& c : cases) {
    const paravelle::host::script::ScriptBudget budget(c.turns, c.characters);
    EXPECT_EQ(c.result.starts_with(L"--") ? error_of(c.script) : eval(c.script), c.result) << c.turns;
  }
  EXPECT_EQ(eval(L"n = 0; for i = 1 to 100000 do n = n + 1; n"), L"100000") << "no budget, no limit";
}

TEST(ScriptLexer, NamesCommentsLineCountsAndMinusBeforeArguments) {
  expect_results({{L"_a1 = 3; _A1", L"3"},
                  {L"x = 12abc", L"-- Syntax error: at line 1, malformed number '12a'"},
                  {L"a \x01 b", L"-- Syntax error: at line 1, unexpected character U+0001"},
                  {L"a " + std::wstring(1, static_cast<wchar_t>(-22)) + L" b",
                   L"-- Syntax error: at line 1, unexpected character U+FFFFFFEA"},
                  {L"1\n/* never\nclosed", L"-- Syntax error: at line 2, comment not closed before the end of the script"},
                  // A string that spans lines counts them for the errors after it.
                  {L"s = \"a\nb\"\n)", L"-- Syntax error: at line 3, expected an expression, got ')'"},
                  {L"x = 1 \\\n + \\\n )", L"-- Syntax error: at line 3, expected an expression, got ')'"},
                  {L"\r\n\r\n(\r\n", L"-- Syntax error: at line 4, expected ')', got end of script"},
                  {L"(local x = 5; x-1)", L"4"},
                  // "-1" against a number after a blank is an argument, as in the original language.
                  {L"(local x = 5; x -1)", L"-- Runtime error: at line 1, Call needs function or class, got: 5"},
                  {L"#(1, -2, - 3)", L"#(1, -2, -3)"},
                  {L"undefined.to", L"-- Runtime error: at line 1, Unknown property: \"to\" in undefined"},
                  {L"if false then 1\nelse\n  2", L"2"},
                  {L"r = 0\nfor i = 1\n to 3\n do\n  r = r + i\nr", L"6"},
                  {L"try\n(\n throw \"x\"\n)\ncatch\n(\n 9\n)", L"9"},
                  {L"(\n 1\n else 2)", L"-- Syntax error: at line 3, expected an expression, got 'else'"}});
  EXPECT_EQ(Name::intern(L"FirstSpelling")->text(), L"FirstSpelling");
  EXPECT_EQ(Name::intern(L"firstspelling")->text(), L"FirstSpelling");
  for (const wchar_t* name : {L"_a1", L"s", L"x", L"r"}) globals->remove(Name::intern(name));
}
