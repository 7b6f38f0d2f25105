// Function publishing: descriptors read from 8-byte slots, the registry, and calls from
// scripts with argument and result conversion.

#include <gmock/gmock.h>

#include <cstdint>
#include <vector>

#include "host/function_publishing.h"
#include "script_test_support.h"

using paravelle::script_test::error_of;
using paravelle::script_test::eval;
using paravelle::script_test::expect_results;

namespace {

// Writes an argument list the way the plug-in's descriptor builder does.
class ArgumentList {
 public:
  ArgumentList& integer(std::uint32_t value) {
    slots_.push_back(value);
    return *this;
  }
  ArgumentList& pointer(const wchar_t* text) {
    slots_.push_back(reinterpret_cast<std::uintptr_t>(text));
    return *this;
  }
  ArgumentList& function(short id, const wchar_t* name, int result,
                         std::vector<std::pair<const wchar_t*, int>> params) {
    integer(static_cast<std::uint32_t>(id)).pointer(name).integer(0).integer(result).integer(0);
    integer(static_cast<std::uint32_t>(params.size()));
    for (const auto& [param, type] : params) pointer(param).integer(0).integer(type);
    return *this;
  }
  ArgumentList& property(short getter, short setter, const wchar_t* name, int type) {
    return integer(static_cast<std::uint32_t>(static_cast<std::int32_t>(getter)))
        .integer(static_cast<std::uint32_t>(static_cast<std::int32_t>(setter)))
        .pointer(name)
        .integer(0)
        .integer(type);
  }
  const std::uint64_t* data() const { return slots_.data(); }

 private:
  std::vector<std::uint64_t> slots_;
};

enum : short { kAdd, kScale, kEcho, kIsPositive, kNothing, kFail, kFailRender, kMissing, kReadArg, kCounter, kLabel };

class TestInterface : public FPStaticInterface {
 public:
  int nothing_calls = 0;
  int counter = 7;

  // Names live in temporaries on purpose: the host must copy what it keeps.
  void load(std::uint16_t flags = FP_CORE, const wchar_t* name = L"ParavelleTest") {
    const std::wstring echo = L"Echo";
    ArgumentList list;
    list.function(kAdd, L"Add", TYPE_INT, {{L"a", TYPE_INT}, {L"b", TYPE_INT}})
        .function(kScale, L"Scale", TYPE_FLOAT, {{L"factor", TYPE_FLOAT}})
        .function(kEcho, echo.c_str(), TYPE_VALUE, {{L"text", TYPE_VALUE}})
        .function(kIsPositive, L"IsPositive", TYPE_bool, {{L"n", TYPE_INT}})
        .function(kNothing, L"Nothing", TYPE_VOID, {})
        .function(kFail, L"Fail", TYPE_VOID, {{L"message", TYPE_VALUE}})
        .function(kFailRender, L"FailRender", TYPE_VOID, {{L"message", TYPE_VALUE}})
        .function(kMissing, L"Missing", TYPE_VOID, {})
        .function(kReadArg, L"ReadArg", TYPE_VOID, {})
        .integer(properties)
        .property(kCounter, -1, L"Counter", TYPE_INT)
        .property(kLabel, -1, L"Label", TYPE_VALUE)
        .integer(p_end);
    load_descriptor(Interface_ID(0x1234, 0x5678), name, 0, nullptr, flags, list.data());
  }

 protected:
  FPStatus _dispatch_fn(FunctionID id, TimeValue, FPValue& result, FPParams* p) override {
    switch (id) {
      case kAdd: result.Load(TYPE_INT, (*p)[0].i + (*p)[1].i); break;
      case kScale: result.LoadFloat((*p)[0].f * 2); break;
      case kEcho: result.LoadValue(new String(std::wstring(L"<") + (*p)[0].v->to_string() + L">")); break;
      case kIsPositive: result.Load(TYPE_bool, (*p)[0].i > 0); break;
      case kNothing: ++nothing_calls; break;
      case kFail: throw MAXException((*p)[0].v->to_string());
      case kFailRender: throw RuntimeError((*p)[0].v->to_string());
      case kReadArg: (*p)[0]; break;
      case kCounter: result.LoadInt(counter); break;
      case kLabel: result.LoadValue(nullptr); break;
      default: return FPS_NO_SUCH_FUNCTION;
    }
    return FPS_OK;
  }
};

class ScriptFunctionPublishing : public ::testing::Test {
 protected:
  void SetUp() override { iface.load(); }
  TestInterface iface;
};

}  // namespace

TEST_F(ScriptFunctionPublishing, DescriptorIsReadBackIntoTheRegistry) {
  EXPECT_EQ(paravelle::host::fp::find_interface(L"paravelletest"), &iface);
  EXPECT_EQ(paravelle::host::fp::find_interface(Interface_ID(0x1234, 0x5678)), &iface);
  ASSERT_EQ(iface.functions.size(), 9u);
  const FPFunctionDef& add = iface.functions[0];
  EXPECT_EQ(add.ID, kAdd);
  EXPECT_EQ(add.result_type, TYPE_INT);
  ASSERT_EQ(add.params.size(), 2u);
  EXPECT_EQ(add.params[1].internal_name, L"b");
  EXPECT_EQ(add.params[1].type, TYPE_INT);
  EXPECT_EQ(iface.functions[2].internal_name, L"Echo");
  EXPECT_EQ(iface.FindFn(L"isPOSITIVE"), kIsPositive);
  EXPECT_EQ(iface.FindFn(L"Counter"), FP_NO_FUNCTION);
  ASSERT_EQ(iface.props.size(), 2u);
  EXPECT_EQ(iface.props[0].internal_name, L"Counter");
  EXPECT_EQ(iface.props[0].setter_ID, FP_NO_FUNCTION);
  EXPECT_EQ(iface.props[1].prop_type, TYPE_VALUE);
  EXPECT_EQ(iface.FindPropertyGetter(L"label"), kLabel);
}

TEST_F(ScriptFunctionPublishing, ScriptsCallFunctionsAndReadPropertiesWithConversion) {
  // A Float is truncated for an int; properties are read only.
  expect_results({{L"ParavelleTest.Add 40 2", L"42"},
                  {L"paravelletest.add 1.9 -3", L"-2"},
                  {L"ParavelleTest.Scale 3", L"6.0"},
                  {L"ParavelleTest.Echo \"abc\"", L"\"<abc>\""},
                  {L"ParavelleTest.Echo 12", L"\"<12>\""},
                  {L"ParavelleTest.IsPositive 5", L"true"},
                  {L"ParavelleTest.IsPositive 0", L"false"},
                  {L"ParavelleTest.Nothing()", L"OK"},
                  {L"f = ParavelleTest.Add; f 2 3", L"5"},
                  {L"ParavelleTest.Add", L"<InterfaceFunction:ParavelleTest.Add>"},
                  {L"ParavelleTest.Counter", L"7"},
                  {L"ParavelleTest.Label", L"undefined"},
                  {L"ParavelleTest.Counter = 3",
                   L"-- Runtime error: at line 1, Cannot set read-only property ParavelleTest.Counter"},
                  {L"ParavelleTest.Nope", L"-- Unknown property: \"Nope\" in <Interface:ParavelleTest> (at line 1)"}});
  EXPECT_EQ(iface.nothing_calls, 1);
  iface.counter = -1;
  EXPECT_EQ(eval(L"paravelleTEST.counter + 0"), L"-1");
  globals->remove(Name::intern(L"f"));
}

TEST_F(ScriptFunctionPublishing, CallErrorsNameTheFunction) {
  FPValue result;
  result.LoadInt(99);
  EXPECT_EQ(iface.Invoke(123, result), FPS_NO_SUCH_FUNCTION);
  EXPECT_EQ(result.i, 99);
  expect_results(
      {{L"\nParavelleTest.Add 1", L"-- Argument count error: ParavelleTest.Add wanted 2, got 1 (at line 2)"},
       {L"ParavelleTest.Nothing 1", L"-- Argument count error: ParavelleTest.Nothing wanted 0, got 1 (at line 1)"},
       {L"ParavelleTest.Add \"1\" 2", L"-- Unable to convert: \"1\" to type: Integer (at line 1)"},
       {L"ParavelleTest.Missing()",
        L"-- Runtime error: at line 1, ParavelleTest.Missing is not implemented by its interface (function id 7)"},
       {L"ParavelleTst.Add 1 2", L"-- Unknown property: \"Add\" in undefined; there is no variable or published "
                                 L"interface named ParavelleTst (at line 1)"},
       {L"ParavelleTest.Echo #(1)", L"-- Runtime error: Unable to convert: #(1) to type: String"},
       {L"ParavelleTest.ReadArg()",
        L"-- Runtime error: Argument index out of bounds, passed into a MaxSDK::Array::operator[]"}});
}

TEST_F(ScriptFunctionPublishing, HostAndScriptErrorsKeepTheirText) {
  EXPECT_EQ(eval(L"try (ParavelleTest.Fail \"Disk \\\"D\\\" is full\") catch (getCurrentException())"),
            L"\"-- Runtime error: Disk \\\"D\\\" is full\"");
  try {
    paravelle::host::script::evaluate_text(L"ParavelleTest.Fail \"exact text\"");
    FAIL();
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.message(), L"exact text");
  }
  try {
    paravelle::host::script::evaluate_text(L"\n(ParavelleTest.FailRender \"Frame 3 failed\")");
    FAIL();
  } catch (const RuntimeError& error) {
    EXPECT_EQ(error.message(), L"Frame 3 failed");
    EXPECT_EQ(error.line(), 0);
  }
  EXPECT_EQ(eval(L"x = 1; try (x = 2; ParavelleTest.Fail \"f\"; x = 3) catch (); x"), L"2");
  globals->remove(Name::intern(L"x"));
}

TEST_F(ScriptFunctionPublishing, ArgumentArraysAndValuesRefuseWhatTheyCannotHold) {
  FPParams params;
  FPValue value;
  value.Load(TYPE_FLOAT, 1.5);
  params.Append(value);
  EXPECT_FLOAT_EQ(params[0].f, 1.5f);
  EXPECT_THROW(params[1], MaxSDK::Util::OutOfRangeException);
  EXPECT_THROW(params[-1], MaxSDK::Util::OutOfRangeException);
  EXPECT_THROW(value.Load(99, 0), MAXException);
  value.Load(TYPE_bool, true);
  EXPECT_EQ(value.b, 1);
}

TEST(ScriptFunctionPublishingRegistry, OnlyCoreInterfacesRegisterAndDestructionUnregisters) {
  {
    TestInterface plain;
    plain.load(0, L"NotCore");
    EXPECT_EQ(plain.FindFn(L"Add"), kAdd);
    EXPECT_EQ(paravelle::host::fp::find_interface(L"NotCore"), nullptr);
    EXPECT_EQ(eval(L"NotCore"), L"undefined");
  }
  {
    TestInterface core;
    core.load(FP_CORE, L"ShortLived");
    EXPECT_EQ(eval(L"ShortLived.Add 1 1"), L"2");
    ASSERT_TRUE(paravelle::host::script::run_text(L"kept_interface = ShortLived"));
  }
  EXPECT_EQ(paravelle::host::fp::find_interface(L"ShortLived"), nullptr);
  EXPECT_EQ(error_of(L"kept_interface.Add 1 1"),
            L"-- Runtime error: at line 1, Interface ShortLived is no longer available");
  globals->remove(Name::intern(L"kept_interface"));
}

TEST(ScriptFunctionPublishingRegistry, MalformedDescriptorsAreRefusedWhole) {
  TestInterface target;
  const auto message = [&](const ArgumentList& list) -> std::wstring {
    try {
      target.load_descriptor(Interface_ID(1, 2), L"Broken", 0, nullptr, FP_CORE, list.data());
    } catch (const MAXException& error) {
      return error.message();
    }
    return L"";
  };
  EXPECT_EQ(message(ArgumentList().function(0, L"F", TYPE_INT, {{L"p", 17}}).integer(p_end)),
            L"load_descriptor(Broken): unsupported type 17 of parameter p of F");
  EXPECT_EQ(
      message(ArgumentList().function(0, L"Same", TYPE_VOID, {}).function(1, L"SAME", TYPE_VOID, {}).integer(p_end)),
      L"load_descriptor(Broken): SAME is published twice");
  EXPECT_EQ(
      message(ArgumentList().integer(0).pointer(nullptr).integer(0).integer(TYPE_VOID).integer(0).integer(0).integer(
          p_end)),
      L"load_descriptor(Broken): missing name of a function");
  EXPECT_EQ(
      message(ArgumentList().integer(70000).pointer(L"F").integer(0).integer(TYPE_VOID).integer(0).integer(0).integer(
          p_end)),
      L"load_descriptor(Broken): bad function id 70000");
  EXPECT_EQ(paravelle::host::fp::find_interface(L"Broken"), nullptr) << "a refused descriptor registers nothing";
  EXPECT_EQ(message(ArgumentList().integer(properties).integer(p_end)), L"");
  EXPECT_EQ(paravelle::host::fp::find_interface(L"Broken"), &target);
  EXPECT_TRUE(target.functions.empty());
}

TEST(ScriptFunctionPublishingRegistry, LongDescriptorsAndRenamesAreReadInFull) {
  std::vector<std::wstring> names;
  for (int i = 0; i < 200; ++i) names.push_back(L"Function" + std::to_wstring(i));
  ArgumentList list;
  for (int i = 0; i < 200; ++i) {
    list.function(static_cast<short>(i), names[static_cast<std::size_t>(i)].c_str(), TYPE_INT, {{L"n", TYPE_INT}});
  }
  list.integer(properties).property(-2, -1, L"Negative", TYPE_INT).integer(p_end);
  TestInterface target;
  target.load_descriptor(Interface_ID(9, 9), L"Long", 0, nullptr, FP_CORE, list.data());
  ASSERT_EQ(target.functions.size(), 200u);
  EXPECT_EQ(target.FindFn(L"function199"), 199);
  EXPECT_EQ(target.props.at(0).getter_ID, -2);

  // Loading again under another name moves the registration.
  target.load();
  EXPECT_EQ(paravelle::host::fp::find_interface(L"Long"), nullptr);
  EXPECT_EQ(paravelle::host::fp::find_interface(L"ParavelleTest"), &target);
}

TEST(ScriptFunctionPublishingRegistry, TheLaterInterfaceOfANameWins) {
  TestInterface first;
  first.load(FP_CORE, L"Twin");
  {
    TestInterface second;
    second.load(FP_CORE, L"TWIN");
    EXPECT_EQ(paravelle::host::fp::find_interface(L"twin"), &second);
  }
  // The second one's destruction leaves no dangling entry; the first was replaced.
  EXPECT_EQ(paravelle::host::fp::find_interface(L"twin"), nullptr);
}
