// The script runtime as embedders use it: globals, streams and files, frames and collection,
// wide text in each encoding, and functions published by interfaces and called from scripts.

#include <sys/stat.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "host/function_publishing.h"
#include "host/standalone/wide_text.h"
#include "host_fixture.h"

namespace paravelle::host_test {
namespace {

namespace script = paravelle::host::script;
namespace wide_text = paravelle::host::standalone::wide_text;

// A native path as the host keeps it: wide, with backslashes.
std::wstring host_path(const std::string& native) {
  std::wstring wide(native.begin(), native.end());
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  return wide;
}

std::wstring read_all(const std::string& native) {
  FileStream stream;
  if (!stream.open(host_path(native).c_str(), L"r")) return L"<cannot open>";
  std::wstring text;
  while (!stream.at_eos()) text.push_back(stream.getch());
  return text;
}

TEST(ScriptRuntime, GlobalsIgnoreCaseAndRefuseWhatIsNoName) {
  Name* name = Name::intern(L"Runtime_Test_Global");
  EXPECT_EQ(name, Name::intern(L"runtime_test_global"));
  globals->put_new(name, new String(L"first"));
  EXPECT_EQ(eval(L"RUNTIME_TEST_GLOBAL"), L"\"first\"");
  globals->set(name, new Integer(2));
  EXPECT_EQ(eval(L"runtime_test_global + 1"), L"3");
  globals->remove(name);
  EXPECT_EQ(eval(L"runtime_test_global"), L"undefined");
  globals->remove(name);  // removing an absent name is harmless
  EXPECT_THROW(globals->set(new String(L"not a name"), &ok), RuntimeError);
}

TEST(ScriptRuntime, ErrorsKeepTheirLineAndRunTextAndRunFileReportThemOnTheListener) {
  try {
    script::evaluate_text(L"(\n\n1 as integer + \"x\")");
    FAIL();
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.line(), 3);
    EXPECT_EQ(error.message(), L"No \"+\" function for 1 and \"x\"");
  }
  ListenerCapture listener;
  EXPECT_TRUE(script::run_text(L"print \"fine\""));
  EXPECT_FALSE(script::run_text(L"print 1\nthrow \"stop here\"\nprint 2"));
  EXPECT_FALSE(script::run_text(L"print (1"));
  EXPECT_FALSE(script::run_file(L"\\no\\such\\file.ms"));
  EXPECT_EQ(listener.text(), L"\"fine\"\n1\n-- Runtime error: stop here\n"
                             L"-- Syntax error: at line 1, expected ')', got end of script\n"
                             L"-- Runtime error: Cannot open script file: \\no\\such\\file.ms\n");
  StringStream redirected;
  CharStream* const saved = thread_local_current_stdout();
  thread_local_current_stdout() = &redirected;
  eval(L"print \"p\"; format \"[%]\" 3.0");
  thread_local_current_stdout() = saved;
  EXPECT_EQ(redirected.text(), L"\"p\"\n[3.0]") << "print follows the thread's output stream";
}

TEST(ScriptRuntime, FilesAreReadInTheirEncodingThroughBackslashPathsAndOnlyWhenRegular) {
  const Folder folder;
  // "Grüße €" in UTF-8, with a byte-order mark and CR LF line ends.
  const std::string script = folder.write("a.ms", "\xEF\xBB\xBF" "a = \"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\"\r\n(a + \"!\")\r\n");
  FileStream stream;
  ASSERT_EQ(stream.open(host_path(script).c_str(), L"r", 0xFFFFFFFF), &stream);
  Parser parser(thread_local_current_stdout());
  ScopedValueTempArray frame(1);
  frame[0] = parser.compile_all(&stream, MAXScript::ScriptSource::File);
  stream.close();
  EXPECT_STREQ(static_cast<CodeTree*>(frame[0])->eval()->to_string(), L"Gr\u00FC\u00DFe \u20AC!");
  EXPECT_STREQ(static_cast<CodeTree*>(frame[0])->eval()->to_string(), L"Gr\u00FC\u00DFe \u20AC!") << "runs again";
  EXPECT_TRUE(script::run_file(host_path(script)));
  globals->remove(Name::intern(L"a"));
  // Not UTF-8: Windows-1252; the mark is never text.
  EXPECT_EQ(read_all(folder.write("latin.ms", "\"\x80 \xE9\"")), L"\"\u20AC \u00E9\"");
  EXPECT_EQ(read_all(folder.write("marked.ms", "\xEF\xBB\xBF\"\xE9\"")), L"\"\u00E9\"");
  {
    FileStream out;
    ASSERT_NE(out.open(host_path(folder.native("out.ms")).c_str(), L"w"), nullptr);
    out.puts(L"x = \"\u00E9\"");
    out.putch(L'\n');
  }
  EXPECT_EQ(folder.read("out.ms"), "x = \"\xC3\xA9\"\n");
  // Only regular files: a device never ends, a FIFO without a writer would wait for ever.
  ASSERT_EQ(::mkfifo(folder.native("fifo.ms").c_str(), 0600), 0);
  const ListenerCapture listener;
  for (const std::string& device : {std::string("/dev/zero"), folder.native("fifo.ms"), folder.path(), folder.native("no/x.ms")}) {
    FileStream refused;
    EXPECT_EQ(refused.open(host_path(device).c_str(), L"r"), nullptr) << device;
    EXPECT_TRUE(refused.at_eos());
    EXPECT_FALSE(script::run_file(host_path(device)));
  }
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
  // A long loop is collected as it turns; locals, pending operands and arguments survive.
  EXPECT_EQ(eval(L"s = 0; for i = 1 to 60000 do (t = #(i, \"x\"); s = s + t.count); s"), L"120000");
  EXPECT_LT(script::live_value_count(), baseline + 25000);
  EXPECT_EQ(eval(L"(local keep = \"kept\"; for i = 1 to 30000 do t = #(i); keep)"), L"\"kept\"");
  EXPECT_EQ(eval(L"\"left\" + (for i = 1 to 30000 do t = #(i); \"right\")"), L"\"leftright\"");
  {
    ListenerCapture listener;
    EXPECT_EQ(eval(L"format \"%-%\" #(1) (for i = 1 to 30000 do t = #(i); 2)"), L"OK");
    EXPECT_EQ(listener.text(), L"#(1)-2");
  }
  script::collect_garbage();
  EXPECT_LT(script::live_value_count(), baseline + 10);
  for (const wchar_t* name : {L"t", L"s"}) globals->remove(Name::intern(name));
}

TEST(WideText, Utf8AndUtf16AndTextFilesLoseOnlyWhatIsBad) {
  const auto units = [](std::initializer_list<unsigned> list) {
    std::wstring text;
    for (const unsigned unit : list) text.push_back(static_cast<wchar_t>(unit));
    return text;
  };
  for (const auto& [utf8, wide] : {std::pair{std::string("caf\xC3\xA9"), units({'c', 'a', 'f', 0xE9})},
                                   {"\xF0\x9F\x98\x80", units({0xD83D, 0xDE00})}, {"", L""}}) {
    EXPECT_EQ(wide_text::from_utf8(utf8), wide);
    EXPECT_EQ(wide_text::to_utf8(wide), utf8);
    EXPECT_TRUE(wide_text::is_utf8(utf8) && wide_text::is_utf16(wide));
  }
  for (const auto& [bytes, replaced] : {std::pair{std::string("a\xFF" "b"), units({'a', 0xFFFD, 'b'})},
                                        {"\xC3\xA9\xC3", units({0xE9, 0xFFFD})}, {"\xED\xA0\x80\xC3\xA9", units({0xFFFD, 0xE9})}}) {
    EXPECT_THROW(wide_text::from_utf8(bytes), std::runtime_error);
    EXPECT_EQ(wide_text::from_utf8_replacing(bytes), replaced);
    EXPECT_FALSE(wide_text::is_utf8(bytes));
  }
  for (const auto& [wide, utf8] : {std::pair{units({0xE9, 0xD800, 'b'}), std::string("\xC3\xA9?b")},
                                   {units({0xDE00, 0xE9}), "?\xC3\xA9"}, {units({0xD83D}), "?"}, {units({'a', 0x1F600}), "a?"}}) {
    EXPECT_EQ(wide_text::to_utf8(wide), utf8);
    EXPECT_FALSE(wide_text::is_utf16(wide));
  }
  for (const auto& [bytes, text] : {std::pair{std::string("\x80 caf\xE9"), units({0x20AC, ' ', 'c', 'a', 'f', 0xE9})},
                                    {"\xEF\xBB\xBF" "a\xC3\xA9", units({'a', 0xE9})}, {"\xEF\xBB\xBF\xE9", units({0xE9})},
                                    {std::string("\xFF\xFE" "a\0\xAC\x20", 6), units({'a', 0x20AC})},
                                    {std::string("\xFF\xFE" "a\0b", 5), units({'a'})}})
    EXPECT_EQ(wide_text::decode_text_file(bytes), text);
}

// An argument list written the way the plug-in's descriptor builder writes it.
class ArgumentList {
 public:
  ArgumentList& integer(std::uint32_t value) { return slots_.push_back(value), *this; }
  ArgumentList& pointer(const wchar_t* text) { return slots_.push_back(reinterpret_cast<std::uintptr_t>(text)), *this; }
  ArgumentList& function(short id, const wchar_t* name, int result, std::vector<std::pair<const wchar_t*, int>> params) {
    integer(static_cast<std::uint32_t>(id)).pointer(name).integer(0).integer(result).integer(0);
    integer(static_cast<std::uint32_t>(params.size()));
    for (const auto& [param, type] : params) pointer(param).integer(0).integer(type);
    return *this;
  }
  const std::uint64_t* data() const { return slots_.data(); }

 private:
  std::vector<std::uint64_t> slots_;
};

enum : short { kAdd, kEcho, kIsPositive, kNothing, kFail, kFailRender, kMissing, kReadArg, kCounter };

class TestInterface : public FPStaticInterface {
 public:
  int nothing_calls = 0;
  // Names live in temporaries on purpose: the host must copy what it keeps.
  void load(std::uint16_t flags = FP_CORE, const wchar_t* name = L"ParavelleTest") {
    const std::wstring echo = L"Echo";
    ArgumentList list;
    list.function(kAdd, L"Add", TYPE_INT, {{L"a", TYPE_INT}, {L"b", TYPE_INT}})
        .function(kEcho, echo.c_str(), TYPE_VALUE, {{L"text", TYPE_VALUE}})
        .function(kIsPositive, L"IsPositive", TYPE_bool, {{L"n", TYPE_FLOAT}})
        .function(kNothing, L"Nothing", TYPE_VOID, {})
        .function(kFail, L"Fail", TYPE_VOID, {{L"message", TYPE_VALUE}})
        .function(kFailRender, L"FailRender", TYPE_VOID, {{L"message", TYPE_VALUE}})
        .function(kMissing, L"Missing", TYPE_VOID, {})
        .function(kReadArg, L"ReadArg", TYPE_VOID, {})
        .integer(properties)
        .integer(kCounter).integer(static_cast<std::uint32_t>(-1)).pointer(L"Counter").integer(0).integer(TYPE_INT)
        .integer(p_end);
    load_descriptor(Interface_ID(0x1234, 0x5678), name, 0, nullptr, flags, list.data());
  }

 protected:
  FPStatus _dispatch_fn(FunctionID id, TimeValue, FPValue& result, FPParams* p) override {
    switch (id) {
      case kAdd: result.Load(TYPE_INT, (*p)[0].i + (*p)[1].i); break;
      case kEcho: result.LoadValue(new String(std::wstring(L"<") + (*p)[0].v->to_string() + L">")); break;
      case kIsPositive: result.Load(TYPE_bool, (*p)[0].f > 0); break;
      case kNothing: ++nothing_calls; break;
      case kFail: throw MAXException((*p)[0].v->to_string());
      case kFailRender: throw RuntimeError((*p)[0].v->to_string());
      case kReadArg: (*p)[0]; break;
      case kCounter: result.LoadInt(7); break;
      default: return FPS_NO_SUCH_FUNCTION;
    }
    return FPS_OK;
  }
};

TEST(ScriptFunctionPublishing, ScriptsCallPublishedFunctionsWithConversionAndErrorsNameTheFunction) {
  TestInterface iface;
  iface.load();
  EXPECT_EQ(host::fp::find_interface(L"paravelletest"), &iface);
  EXPECT_EQ(host::fp::find_interface(Interface_ID(0x1234, 0x5678)), &iface);
  EXPECT_EQ(iface.functions.at(1).internal_name, L"Echo");
  EXPECT_EQ(iface.FindFn(L"isPOSITIVE"), kIsPositive);
  EXPECT_EQ(iface.FindFn(L"Counter"), FP_NO_FUNCTION);
  EXPECT_EQ(iface.FindPropertyGetter(L"counter"), kCounter);
  const std::wstring error = L"-- Runtime error: at line 1, ";
  expect_results({{L"ParavelleTest.Add 40 2", L"42"},
                  {L"paravelletest.add 1.9 -3", L"-2"},  // a Float is truncated for an int
                  {L"ParavelleTest.Echo 12", L"\"<12>\""},
                  {L"ParavelleTest.IsPositive 0.5", L"true"},
                  {L"ParavelleTest.IsPositive 0", L"false"},
                  {L"ParavelleTest.Nothing()", L"OK"},
                  {L"f = ParavelleTest.Add; f 2 3", L"5"},
                  {L"ParavelleTest.Add", L"<InterfaceFunction:ParavelleTest.Add>"},
                  {L"ParavelleTest.Counter", L"7"},
                  {L"ParavelleTest.Counter = 3", error + L"Cannot set read-only property ParavelleTest.Counter"},
                  {L"ParavelleTest.Nope", error + L"Unknown property: \"Nope\" in <Interface:ParavelleTest>"},
                  {L"\nParavelleTest.Add 1", L"-- Runtime error: at line 2, Argument count error: ParavelleTest.Add wanted 2, got 1"},
                  {L"ParavelleTest.Nothing 1", error + L"Argument count error: ParavelleTest.Nothing wanted 0, got 1"},
                  {L"ParavelleTest.Add \"1\" 2", error + L"Unable to convert: \"1\" to type: Integer"},
                  {L"ParavelleTest.Missing()", error + L"ParavelleTest.Missing is not implemented by its interface (function id 6)"},
                  {L"ParavelleTst.Add 1 2", error + L"Unknown property: \"Add\" in undefined; there is no variable or published "
                                                   L"interface named ParavelleTst"},
                  {L"ParavelleTest.Echo #(1)", L"-- Runtime error: Unable to convert: #(1) to type: String"},
                  {L"ParavelleTest.ReadArg()", L"-- Runtime error: Argument index out of bounds, passed into a MaxSDK::Array::operator[]"},
                  {L"try (ParavelleTest.Fail \"Disk \\\"D\\\" is full\") catch (getCurrentException())",
                   L"\"-- Runtime error: Disk \\\"D\\\" is full\""},
                  {L"x = 1; try (x = 2; ParavelleTest.Fail \"f\"; x = 3) catch (); x", L"2"}});
  EXPECT_EQ(iface.nothing_calls, 1);
  try {
    script::evaluate_text(L"\n(ParavelleTest.FailRender \"Frame 3 failed\")");
    FAIL();
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.message(), L"Frame 3 failed");
    EXPECT_EQ(error.line(), 0) << "a script error passes unchanged";
  }
  FPValue result;
  result.LoadInt(99);
  EXPECT_EQ(iface.Invoke(123, result), FPS_NO_SUCH_FUNCTION);
  EXPECT_EQ(result.i, 99);
  FPParams params;
  EXPECT_THROW(params[0], MaxSDK::Util::OutOfRangeException);
  EXPECT_THROW(result.Load(99, 0), MAXException);
  for (const wchar_t* name : {L"f", L"x"}) globals->remove(Name::intern(name));
}

TEST(ScriptFunctionPublishing, TheRegistryHoldsCoreInterfacesWhileTheyLiveAndRefusesMalformedDescriptorsWhole) {
  {
    TestInterface plain, core, twin;
    plain.load(0, L"NotCore");
    EXPECT_EQ(plain.FindFn(L"Add"), kAdd);
    EXPECT_EQ(host::fp::find_interface(L"NotCore"), nullptr);
    core.load(FP_CORE, L"ShortLived");
    ASSERT_TRUE(script::run_text(L"kept_interface = ShortLived"));
    twin.load(FP_CORE, L"SHORTLIVED");
    EXPECT_EQ(host::fp::find_interface(L"shortlived"), &twin) << "the later interface of a name wins";
    twin.load(FP_CORE, L"Moved");
    EXPECT_EQ(host::fp::find_interface(L"Moved"), &twin) << "loading again under another name moves it";
  }
  EXPECT_EQ(host::fp::find_interface(L"ShortLived"), nullptr);
  EXPECT_EQ(host::fp::find_interface(L"Moved"), nullptr);
  EXPECT_EQ(error_of(L"kept_interface.Add 1 1"), L"-- Runtime error: at line 1, Interface ShortLived is no longer available");
  globals->remove(Name::intern(L"kept_interface"));

  TestInterface target;
  const auto message = [&](const ArgumentList& list) -> std::wstring {
    try {
      target.load_descriptor(Interface_ID(1, 2), L"Broken", 0, nullptr, FP_CORE, list.data());
    } catch (const MAXException& error) {
      return error.message();
    }
    return L"";
  };
  const auto nameless = [](std::uint32_t id, const wchar_t* name) {
    return ArgumentList().integer(id).pointer(name).integer(0).integer(TYPE_VOID).integer(0).integer(0).integer(p_end);
  };
  EXPECT_EQ(message(ArgumentList().function(0, L"F", TYPE_INT, {{L"p", 17}}).integer(p_end)),
            L"load_descriptor(Broken): unsupported type 17 of parameter p of F");
  EXPECT_EQ(message(ArgumentList().function(0, L"Same", TYPE_VOID, {}).function(1, L"SAME", TYPE_VOID, {}).integer(p_end)),
            L"load_descriptor(Broken): SAME is published twice");
  EXPECT_EQ(message(nameless(0, nullptr)), L"load_descriptor(Broken): missing name of a function");
  EXPECT_EQ(message(nameless(70000, L"F")), L"load_descriptor(Broken): bad function id 70000");
  EXPECT_EQ(host::fp::find_interface(L"Broken"), nullptr) << "a refused descriptor registers nothing";
  // Long descriptors are read in full.
  std::vector<std::wstring> names;
  for (int i = 0; i < 200; ++i) names.push_back(L"Function" + std::to_wstring(i));
  ArgumentList list;
  for (int i = 0; i < 200; ++i) list.function(static_cast<short>(i), names[std::size_t(i)].c_str(), TYPE_INT, {{L"n", TYPE_INT}});
  EXPECT_EQ(message(list.integer(p_end)), L"");
  EXPECT_EQ(target.FindFn(L"function199"), 199);
  EXPECT_EQ(host::fp::find_interface(L"Broken"), &target);
}

}  // namespace
}  // namespace paravelle::host_test
