// The everyday constructs farm scripts are written with: functions, compound assignment,
// loops, indexing, operators, conversions, throw, escapes, printed arrays and the kinds of
// error. One test per area; each row is a script and what it gives.

#include "host/standalone/script/nesting.h"
#include "host/host_fixture.h"

using paravelle::host_test::eval;
using paravelle::host_test::expect_results;
using paravelle::host_test::ListenerCapture;

namespace {

// Globals the rows below leave behind, so other tests start without them.
void forget_reference_globals(std::initializer_list<const wchar_t*> names) {
  for (const wchar_t* name : names) globals->remove(Name::intern(name));
}

}  // namespace

TEST(ScriptReference, UserFunctions) {
  expect_results({
      {L"fn twice x = x * 2; twice 21", L"42"},
      {L"function add_two a b = a + b\nadd_two 2 3", L"5"},
      {L"fn rate f quality:2 = f * quality; #(rate 3, rate 3 quality:5, rate 3 unknown:9)", L"#(6, 15, 6)"},
      {L"fn rate_neg f q:-1 = f * q; rate_neg 2", L"-2"},
      {L"fn no_default key: = key; no_default()", L"unsupplied"},
      {L"fn fact n = if n <= 1 then 1 else n * fact (n - 1); fact 10", L"3628800"},
      {L"fn first_big a = (for x in a do if x > 2 do return x; 0); #(first_big #(1, 5, 7), first_big #())", L"#(5, 0)"},
      {L"fn square x = x ^ 2; f_alias = square; #(f_alias 3, square)", L"#(9, square())"},
      // Names first assigned in a function are its own: the recursion keeps its halves apart.
      {L"fn fib n = if n < 2 then n else (fib_l = fib (n - 1); fib_r = fib (n - 2); fib_l + fib_r); fib 15", L"610"},
      {L"fib_l", L"undefined"},
      {L"(local total = 0; fn add_to n = total += n; add_to 4; add_to 5; total)", L"9"},
      {L"fn make_counter = (local c = 0; fn bump = c += 1); bump_a = make_counter(); bump_a(); bump_a()", L"2"},
      {L"fn two_args a b = a; two_args 1", L"-- Argument count error: two_args wanted 2, got 1 (at line 1)"},
      {L"fn spin n = spin n; spin 1",
       L"-- Runtime error: functions nested too deeply (a function that calls itself without end?)"},
      {L"fn bad_key k:1 2 = k", L"-- Syntax error: at line 1, expected a parameter or '=', got a number"},
      {L"return 1", L"-- Syntax error: at line 1, 'return' outside of a function"},
      {L"fn early k:(return 5) = 1; early()", L"5"},
      {L"for i = 1 to 2 do (fn exits k:(exit) = 1)", L"-- Syntax error: at line 1, 'exit' outside of a loop"},
      {L"fn pi = 1", L"-- Runtime error: at line 1, Cannot assign to constant: pi"},
      {L"print 1 to:2", L"-- Runtime error: at line 1, print() takes no keyword arguments, got to:"},
  });
  forget_reference_globals({L"twice", L"add_two", L"rate", L"rate_neg", L"no_default", L"fact", L"first_big", L"square",
                            L"f_alias", L"fib", L"make_counter", L"bump_a", L"two_args", L"spin"});
}

// A function outlives the script that defined it and keeps the block it was defined in,
// through collections of the heap.
TEST(ScriptReference, FunctionsKeepTheirCodeAndBlockThroughCollections) {
  paravelle::host::script::evaluate_text(L"kept_fn = (local c = 40; fn bump = c += 1)");
  paravelle::host::script::collect_garbage();
  EXPECT_EQ(eval(L"fn other x = x; for i = 1 to 30000 do other i; kept_fn(); kept_fn()"), L"42");
  EXPECT_EQ(eval(L"fn churn = #(1, 2); for i = 1 to 50000 do churn(); ok"), L"OK");
  EXPECT_LT(paravelle::host::script::live_value_count(), 40000u) << "call environments are collected";
  forget_reference_globals({L"kept_fn", L"other", L"churn"});
}

TEST(ScriptReference, CompoundAssignment) {
  expect_results({
      {L"(local n = 10; n += 5; n -= 3; n *= 2; n /= 4; n)", L"6"},
      {L"(local s = \"ab\"; s += \"cd\"; s)", L"\"abcd\""},
      {L"(local a = #(1, 2, 3); a[2] *= 10; a[3] += 0.5; a)", L"#(1, 20, 3.5)"},
      {L"(local a = #(1, 2, 3); a.count -= 1; a)", L"#(1, 2)"},
      {L"(local a = #(1); a.count += 2; a)", L"#(1, undefined, undefined)"},
      {L"(local u; u += 1)", L"-- No \"+\" function for undefined (at line 1)"},
      {L"(local n = 1; n += \"x\")", L"-- Unable to convert: \"x\" to type: Integer (at line 1)"},
      {L"pi += 1", L"-- Runtime error: at line 1, Cannot assign to constant: pi"},
      {L"(local a = #(); a.count = -1)", L"-- Runtime error: at line 1, array count must not be negative, got: -1"},
      {L"3 += 1", L"-- Syntax error: at line 1, cannot assign to this expression"},
  });
}

TEST(ScriptReference, Loops) {
  expect_results({
      {L"(local i = 0; while i < 5 do i += 1)", L"5"},
      {L"(local i = 0; while i > 5 do i += 1)", L"undefined"},
      {L"(local i = 10; do i += 1 while i < 5; i)", L"11"},
      {L"(local i = 0; while true do (i += 1; if i == 3 do exit); i)", L"3"},
      {L"(local i = 0; do (i += 1; if i == 3 do exit with i * 10) while true)", L"30"},
      {L"for i = 1 to 10 do if i == 4 do exit with i", L"4"},
      {L"for i = 1 to 10 do if i == 4 do exit", L"OK"},
      {L"for i = 1 to 6 where mod i 2 == 0 collect i * i", L"#(4, 16, 36)"},
      {L"for i = 1 to 5 collect (if i == 2 do continue; i)", L"#(1, 3, 4, 5)"},
      {L"for x in #(3, 4, 5) collect x * 2", L"#(6, 8, 10)"},
      {L"for x in #(1, 2, 3, 4) collect (if x > 2 do exit; x)", L"#(1, 2)"},
      {L"for x in #(1, 2, 3) where x != 2 collect x", L"#(1, 3)"},
      {L"(local s = 0; for x in #(1, 2, 3, 4) do (if x == 2 do continue; s += x); s)", L"8"},
      {L"(local i = 0, s = 0; while i < 5 do (i += 1; if i == 2 do continue; s += i); s)", L"13"},
      {L"(local i = 0; do (i += 1; continue) while i < 3; i)", L"3"},
      {L"for i = 1 to 2 collect (for j = 1 to 3 do if j == 2 do exit with j * i)", L"#(2, 4)"},
      {L"(local a = #(1, 2); for x in a do append a x; a)", L"#(1, 2, 1, 2)"},
      {L"for x in 5 do ()", L"-- No \"map\" function for 5 (at line 1)"},
      {L"while 1 do ()", L"-- Unable to convert: 1 to type: Boolean (at line 1)"},
      {L"exit", L"-- Syntax error: at line 1, 'exit' outside of a loop"},
      {L"for i = 1 to 3 do (fn inner = continue)", L"-- Syntax error: at line 1, 'continue' outside of a loop"},
      {L"for i = 1 to 3 print i", L"-- Syntax error: at line 1, expected 'where', 'do' or 'collect', got 'print'"},
      {L"do 1", L"-- Syntax error: at line 1, expected 'while', got end of script"},
  });
}

TEST(ScriptReference, IndexingArraysAndStrings) {
  expect_results({
      {L"#(10, 20, 30)[2]", L"20"},
      {L"\"abc\"[3]", L"\"c\""},
      {L"#(1)[5]", L"undefined"},
      {L"#(1, 2)[1.9]", L"1"},
      {L"(local a = #(); a[3] = 7; a)", L"#(undefined, undefined, 7)"},
      {L"(local a = #(#(1, 2)); a[1][2] = 5; a)", L"#(#(1, 5))"},
      {L"x_list = #(1)\nx_list[1] = 9; x_list", L"#(9)"},
      {L"#(1, 2).count + \"abc\".count", L"5"},
      {L"#(1)[0]", L"-- Runtime error: at line 1, array index must be positive number, got: 0"},
      {L"(local a = #()\na[-1] = 1)", L"-- Runtime error: at line 2, array index must be positive number, got: -1"},
      {L"\"abc\"[4]", L"-- Runtime error: at line 1, String index out of range: 4"},
      {L"#(1)[\"x\"]", L"-- Unable to convert: \"x\" to type: Integer (at line 1)"},
      {L"undefined[1]", L"-- No \"get\" function for undefined (at line 1)"},
      {L"(local s = \"abc\"; s[1] = \"x\")", L"-- No \"put\" function for \"abc\" (at line 1)"},
      {L"(local a = #(); a[16777217] = 1)",
       L"-- Runtime error: at line 1, Array too long: an array may hold at most 16777216 elements"},
      {L"#(1)[1", L"-- Syntax error: at line 1, expected ']', got end of script"},
  });
  forget_reference_globals({L"x_list"});
}

TEST(ScriptReference, OperatorsAndLiterals) {
  expect_results({
      {L"2 ^ 10", L"1024"},
      {L"2 ^ 3 ^ 2", L"512"},
      {L"2.0 ^ 0.5", L"1.41421"},
      {L"-2 ^ 2", L"4"},
      {L"#(2 ^ -1, 1 ^ -3, -1 ^ -3)", L"#(0, 1, -1)"},
      {L"2 ^ 31", L"-2147483648"},
      {L"3 * 2 ^ 2 as string", L"-- Unable to convert: \"4\" to type: Integer (at line 1)"},
      {L"#(mod 7 3, mod -7 3, mod 7.5 2, mod (-2147483647 - 1) -1)", L"#(1, -1, 1.5, 0)"},
      {L"0x1F + 0XfF", L"286"},
      {L"0xFFFFFFFF", L"-1"},
      {L"#(pi, e, on, off)", L"#(3.14159, 2.71828, true, false)"},
      {L"(local e = 5; e)", L"5"},
      {L"mod 1 0", L"-- Runtime error: at line 1, Divide by zero"},
      {L"0 ^ -1", L"-- Runtime error: at line 1, Divide by zero"},
      {L"mod \"7\" 2", L"-- Unable to convert: \"7\" to type: Float (at line 1)"},
      {L"0x", L"-- Syntax error: at line 1, malformed number '0x'"},
      {L"0x1G", L"-- Syntax error: at line 1, malformed number '0x1G'"},
      {L"0x100000000", L"-- Syntax error: at line 1, integer 0x100000000 is too large"},
  });
}

TEST(ScriptReference, Conversions) {
  expect_results({
      {L"#(\"12\" as number, \"2.5\" as number, \"x\" as number, 7 as number)", L"#(12, 2.5, undefined, 7)"},
      {L"#(\"abc\" as integer, \"1.5e1\" as float, \"12abc\" as float)", L"#(undefined, 15.0, undefined)"},
      {L"#(\"TRUE\" as booleanClass, \"false\" as BooleanClass, on as booleanclass)", L"#(true, false, true)"},
      {L"\"yes\" as booleanClass", L"-- Unable to convert: \"yes\" to type: BooleanClass (at line 1)"},
      {L"fn named_fn = 1; named_fn as string", L"\"named_fn()\""},
  });
  forget_reference_globals({L"named_fn"});
}

TEST(ScriptReference, ThrowAndTheCaughtException) {
  expect_results({
      {L"throw \"Bad frame: \" 42", L"-- Runtime error: Bad frame: 42"},
      {L"throw \"Bad name: \" \"x\"", L"-- Runtime error: Bad name: \"x\""},
      {L"try (1 / 0) catch getCurrentException()", L"\"-- Runtime error: Divide by zero\""},
      {L"try (undefined.zorp) catch getCurrentException()", L"\"-- Unknown property: \\\"zorp\\\" in undefined\""},
      {L"try (try throw \"inner\" catch throw) catch getCurrentException()", L"\"-- Runtime error: inner\""},
      {L"try (try (undefined + 1) catch (throw)) catch getCurrentException()",
       L"\"-- No \\\"+\\\" function for undefined\""},
      {L"(try (undefined + 1) catch (throw))", L"-- No \"+\" function for undefined (at line 1)"},
      {L"throw", L"-- Runtime error: at line 1, throw needs a message outside a catch handler"},
  });
}

TEST(ScriptReference, StringEscapesInPrintAndFormat) {
  ListenerCapture listener;
  expect_results({
      {L"\"\\x41\\x4a\\x7\"", L"\"AJ\a\""},
      {L"\"\\*\\?\\x\\q\"", L"\"*?\\\\x\\\\q\""},
      {L"(\"100\\%\").count", L"5"},
      {L"print \"a\\\"b\\nc\\rd\"", L"\"a\\\"b\\nc\\rd\""},
      {L"format \"a\\\"b\\nc|\"", L"OK"},
      {L"format \"100\\% of % %\\n\" 5", L"OK"},
  });
  EXPECT_EQ(listener.text(), L"\"a\\\"b\\nc\\rd\"\na\"b\nc|100% of 5 %\n");
}

TEST(ScriptReference, ArraysPrintTheirFirstTwentyElements) {
  const std::wstring first_twenty = L"1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20";
  ListenerCapture listener;
  expect_results({
      {L"for i = 1 to 20 collect i", L"#(" + first_twenty + L")"},
      {L"for i = 1 to 25 collect i", L"#(" + first_twenty + L", ...)"},
      {L"#(for i = 1 to 21 collect 0)", L"#(#(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, ...))"},
      {L"options.printAllElements = true; (for i = 1 to 21 collect i) as string", L"\"#(" + first_twenty + L", 21)\""},
      {L"options.printAllElements = false; options.printAllElements", L"false"},
      {L"options.printAllElements = 1", L"-- Unable to convert: 1 to type: BooleanClass (at line 1)"},
      {L"print #(1, \"a\", #(2))", L"OK"},
      {L"print #()", L"OK"},
  });
  EXPECT_EQ(listener.text(), L"1\n\"a\"\n#(2)\n");
}

TEST(ScriptReference, ErrorKindsCarryTheirHeadingAndLine) {
  expect_results({
      {L"no_such_function_here 1", L"-- Type error: Call needs function or class, got: undefined (at line 1)"},
      {L"\nprint 1 2", L"-- Argument count error: print wanted 1, got 2 (at line 2)"},
      {L"\"s\".size", L"-- Unknown property: \"size\" in \"s\" (at line 1)"},
      {L"#() + 1", L"-- No \"+\" function for #() (at line 1)"},
      {L"-\"a\"", L"-- No \"-\" function for \"a\" (at line 1)"},
      {L"\"a\" * 2", L"-- No \"*\" function for \"a\" (at line 1)"},
      {L"\"a\" < 1", L"-- Unable to convert: 1 to type: String (at line 1)"},
      {L"2.5 + #()", L"-- Unable to convert: #() to type: Float (at line 1)"},
      {L"if undefined do 1", L"-- Unable to convert: undefined to type: Boolean (at line 1)"},
      {L"1 / 0", L"-- Runtime error: at line 1, Divide by zero"},
  });
}

// Scripts that would run for ever or take all memory end under a budget, whatever
// construct they use.
TEST(ScriptReference, BudgetsBoundTheNewConstructs) {
  const std::wstring steps = L"-- Runtime error: at line 1, Step budget used up: the script ran too many loop turns";
  const std::wstring memory = L"-- Runtime error: at line 1, Memory budget used up: the script made too much text";
  const std::pair<std::wstring, std::wstring> rows[] = {
      {L"while true do ()", steps},
      {L"do () while true", steps},
      {L"fn branch n = if n > 0 do (branch (n - 1); branch (n - 1)); branch 40", steps},
      {L"a_big = #(); a_big[100000] = 1", memory},
      {L"a_big = #(); a_big.count = 100000", memory},
      {L"a_big = #(); for i = 1 to 900 do append a_big i; a_big.count", L"900"},
  };
  for (const auto& [script, result] : rows) {
    const paravelle::host::script::ScriptBudget budget(1000, 1000);
    expect_results({{script, result}});
  }
  forget_reference_globals({L"branch", L"a_big"});
}
