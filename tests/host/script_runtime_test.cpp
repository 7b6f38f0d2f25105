// The runtime pieces that embedders use: globals, streams, parser, frames, collection.

#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "host/scratch_folder.h"
#include "script_test_support.h"

using paravelle::script_test::error_of;
using paravelle::script_test::eval;
using paravelle::script_test::ListenerCapture;

namespace {

using paravelle::testing::ScratchFolder;

// A native path as the host keeps it: wide, with backslashes.
std::wstring host_path(const std::string& native) {
  std::wstring wide(native.begin(), native.end());
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  return wide;
}

}  // namespace

TEST(ScriptRuntime, GlobalsTableSetPutNewRemoveGet) {
  Name* name = Name::intern(L"Runtime_Test_Global");
  EXPECT_EQ(name, Name::intern(L"runtime_test_global"));
  EXPECT_EQ(globals->get(name), nullptr);
  globals->put_new(name, new String(L"first"));
  EXPECT_EQ(eval(L"RUNTIME_TEST_GLOBAL"), L"\"first\"");
  globals->set(name, new Integer(2));
  EXPECT_EQ(eval(L"runtime_test_global + 1"), L"3");
  eval(L"runtime_test_global = #(1)");
  EXPECT_TRUE(globals->get(name)->is_kind_of(&Array_class));
  globals->remove(name);
  EXPECT_EQ(globals->get(name), nullptr);
  EXPECT_EQ(eval(L"runtime_test_global"), L"undefined");
  globals->remove(name);  // removing an absent name is harmless
  EXPECT_THROW(globals->set(new String(L"not a name"), &ok), RuntimeError);
  EXPECT_NE(globals->get(L"print"), nullptr);
}

TEST(ScriptRuntime, StringStreamIsAParserSource) {
  ScopedValueTempArray frame(3);
  init_thread_locals();
  push_alloc_frame();
  auto* source = new StringStream;
  frame[0] = source;
  source->puts(L"(");
  source->puts(L"x = 20\nx + 1");
  source->putch(L')');
  frame[1] = new Parser(thread_local_current_stdout());
  frame[2] = static_cast<Parser*>(frame[1])->compile_all(source, MAXScript::ScriptSource::Dynamic);
  Value* result = static_cast<CodeTree*>(frame[2])->eval();
  pop_alloc_frame();
  EXPECT_EQ(paravelle::host::script::printed(result), L"21");
  EXPECT_TRUE(source->at_eos());
  // Compiled code runs again from the start each time.
  EXPECT_EQ(paravelle::host::script::printed(static_cast<CodeTree*>(frame[2])->eval()), L"21");
  EXPECT_THROW(frame[3], RuntimeError);
  globals->remove(Name::intern(L"x"));
}

TEST(ScriptRuntime, ErrorsPrintWithTheirLine) {
  EXPECT_EQ(error_of(L"a = 1\nb = (\n  a +\n  )"), L"-- Syntax error: at line 4, expected an expression, got ')'");
  EXPECT_EQ(error_of(L"\n\nundefined_thing.Foo"), L"-- Unknown property: \"Foo\" in undefined; there is no variable or "
                                                  L"published interface named undefined_thing (at line 3)");
  try {
    paravelle::host::script::evaluate_text(L"(\n\n1 as integer + \"x\")");
    FAIL();
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.line(), 3);
    EXPECT_EQ(error.message(), L"Unable to convert: \"x\" to type: Integer");
  }
}

TEST(ScriptRuntime, RunTextAndRunFileReportErrorsOnTheListener) {
  ListenerCapture listener;
  EXPECT_TRUE(paravelle::host::script::run_text(L"print \"fine\""));
  EXPECT_FALSE(paravelle::host::script::run_text(L"print 1\nthrow \"stop here\"\nprint 2"));
  EXPECT_FALSE(paravelle::host::script::run_text(L"print (1"));
  EXPECT_FALSE(paravelle::host::script::run_file(L"\\no\\such\\file.ms"));
  EXPECT_EQ(listener.text(), L"\"fine\"\n1\n-- Runtime error: stop here\n"
                             L"-- Syntax error: at line 1, expected ')', got end of script\n"
                             L"-- Runtime error: Cannot open script file: \\no\\such\\file.ms\n");
}

TEST(ScriptRuntime, FileStreamReadsUtf8ScriptsThroughBackslashPaths) {
  // "Grüße €" in UTF-8, with a byte-order mark and CR LF line ends.
  const ScratchFolder folder;
  const std::wstring script = host_path(folder.write("a.ms", "\xEF\xBB\xBF"
                                                             "a = \"Gr\xC3\xBC\xC3\x9F"
                                                             "e \xE2\x82\xAC\"\r\n(a + \"!\")\r\n"));
  FileStream stream;
  ASSERT_EQ(stream.open(script.c_str(), L"r", 0xFFFFFFFF), &stream);
  Parser parser(thread_local_current_stdout());
  CodeTree* code = parser.compile_all(&stream, MAXScript::ScriptSource::File);
  ScopedValueTempArray frame(1);
  frame[0] = code;
  stream.close();
  EXPECT_STREQ(code->eval()->to_string(), L"Gr\u00FC\u00DFe \u20AC!");
  EXPECT_TRUE(paravelle::host::script::run_file(script));
  globals->remove(Name::intern(L"a"));

  // Text that is not UTF-8 is read as Windows-1252 rather than refused.
  const std::wstring latin = host_path(folder.write("latin.ms", "\"\x80 \xE9\""));
  EXPECT_STREQ(paravelle::host::script::evaluate_text(L"1")->to_string(), L"1");
  FileStream other;
  ASSERT_NE(other.open(latin.c_str(), L"r"), nullptr);
  std::wstring text;
  while (!other.at_eos()) text.push_back(other.getch());
  EXPECT_EQ(text, L"\"\u20AC \u00E9\"");

  // The mark is never text, even where a byte after it is not UTF-8.
  const std::wstring marked = host_path(folder.write("marked.ms", "\xEF\xBB\xBF\"\xE9\""));
  FileStream decoded;
  ASSERT_NE(decoded.open(marked.c_str(), L"r"), nullptr);
  text.clear();
  while (!decoded.at_eos()) text.push_back(decoded.getch());
  EXPECT_EQ(text, L"\"\u00E9\"");

  FileStream missing;
  EXPECT_EQ(missing.open(L"\\no\\such\\dir\\x.ms", L"r"), nullptr);
  EXPECT_TRUE(missing.at_eos());
  // Only regular files are read: a device never ends, and a FIFO without a writer would
  // wait for ever.
  const std::string fifo = folder.native("fifo.ms");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const ListenerCapture listener;
  for (const std::wstring& device :
       {std::wstring(L"\\dev\\zero"), host_path(fifo), host_path(folder.path().string())}) {
    FileStream stream;
    EXPECT_EQ(stream.open(device.c_str(), L"r"), nullptr) << std::string(device.begin(), device.end());
    EXPECT_FALSE(paravelle::host::script::run_file(device));
  }
}

TEST(ScriptRuntime, FileStreamWritesUtf8) {
  const ScratchFolder folder;
  const std::wstring target = host_path(folder.native("out.ms"));
  {
    FileStream out;
    ASSERT_NE(out.open(target.c_str(), L"w"), nullptr);
    out.puts(L"x = \"\u00E9\"");
    out.putch(L'\n');
    out.close();
  }
  FileStream in;
  ASSERT_NE(in.open(target.c_str(), L"r"), nullptr);
  Parser parser(thread_local_current_stdout());
  ScopedValueTempArray frame(1);
  frame[0] = parser.compile_all(&in);
  EXPECT_STREQ(static_cast<CodeTree*>(frame[0])->eval()->to_string(), L"\u00E9");
  globals->remove(Name::intern(L"x"));
}

TEST(ScriptRuntime, FramesAndAllocationFramesKeepValuesThroughCollections) {
  ScopedValueTempArray frame(1);
  frame[0] = new String(L"kept by a frame");
  push_alloc_frame();
  Value* in_alloc_frame = new String(L"kept by the allocation frame");
  paravelle::host::script::collect_garbage();
  EXPECT_STREQ(frame[0]->to_string(), L"kept by a frame");
  EXPECT_STREQ(in_alloc_frame->to_string(), L"kept by the allocation frame");
  pop_alloc_frame();

  const std::size_t before = paravelle::host::script::live_value_count();
  new String(L"nobody holds this");
  EXPECT_EQ(paravelle::host::script::live_value_count(), before + 1);
  paravelle::host::script::collect_garbage();
  EXPECT_LE(paravelle::host::script::live_value_count(), before);
  EXPECT_STREQ(frame[0]->to_string(), L"kept by a frame");

  // Values built as objects are never collected.
  StringStream on_stack(L"s");
  paravelle::host::script::collect_garbage();
  EXPECT_EQ(on_stack.text(), L"s");
}

TEST(ScriptRuntime, ManyEvaluationsDoNotGrowTheHeapWithoutBound) {
  paravelle::host::script::collect_garbage();
  const std::size_t baseline = paravelle::host::script::live_value_count();
  for (int i = 0; i < 3000; ++i) {
    ASSERT_TRUE(paravelle::host::script::run_text(L"(local a = #(\"x\" + \"y\", 1.5, #(2)); t = a; a)"));
  }
  // Collections run as evaluations start; the heap stays within the collector's bound.
  EXPECT_LT(paravelle::host::script::live_value_count(), baseline + 25000);
  // A long loop inside one evaluation is collected as it turns, and the live loop state survives.
  EXPECT_EQ(eval(L"s = 0; for i = 1 to 60000 do (t = #(i, \"x\"); s = s + t.count); s"), L"120000");
  EXPECT_LT(paravelle::host::script::live_value_count(), baseline + 25000);
  // Locals, pending operands and call arguments stay alive across the loop's collections.
  EXPECT_EQ(eval(L"(local keep = \"kept\"; for i = 1 to 30000 do t = #(i); keep)"), L"\"kept\"");
  EXPECT_EQ(eval(L"\"left\" + (for i = 1 to 30000 do t = #(i); \"right\")"), L"\"leftright\"");
  {
    ListenerCapture listener;
    EXPECT_EQ(eval(L"format \"%-%\" #(1) (for i = 1 to 30000 do t = #(i); 2)"), L"OK");
    EXPECT_EQ(listener.text(), L"#(1)-2");
  }
  paravelle::host::script::collect_garbage();
  EXPECT_LT(paravelle::host::script::live_value_count(), baseline + 10);
  globals->remove(Name::intern(L"t"));
  globals->remove(Name::intern(L"s"));
}

TEST(ScriptRuntime, PrintAndFormatFollowTheThreadsOutputStream) {
  StringStream redirected;
  CharStream* const saved = thread_local_current_stdout();
  thread_local_current_stdout() = &redirected;
  eval(L"print \"p\"; format \"[%]\" 3.0");
  thread_local_current_stdout() = saved;
  EXPECT_EQ(redirected.text(), L"\"p\"\n[3.0]");
}
