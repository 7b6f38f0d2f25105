// The publishing wrapper as the host sees it: the descriptor it loads, the ids it
// assigns, and how calls, results and failures cross between scripts and members.

#include "script/fpwrapper/fpwrapper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/maxscript_runtime.h"
#include "host/standalone/standalone_interface.h"

namespace paravelle::max3d::fpwrapper {
namespace {

constexpr Interface_ID probe_id(0x1F2E3D4C, 0x5B6A7988);

class Probe : public FFStaticInterface<Probe, FP_CORE> {
 public:
  // What a test registers, in the builder's hands.
  using Registration = std::function<void(FFCreateDescriptor<Probe, FP_CORE>&)>;

  explicit Probe(const Registration& registration, Interface_ID id = probe_id, const wchar_t* name = L"FPProbe") {
    FFCreateDescriptor c(this, id, name, nullptr);
    registration(c);
  }

  bool Join(const std::wstring& a, const std::wstring& b) {
    joined = a + L"|" + b;
    return !joined.empty();
  }
  bool Positive(float f) { return f > 0; }
  void Say(const std::wstring& text) { said = text; }
  int Length(const std::wstring& text) { return static_cast<int>(text.size()); }
  int Count() { return 7; }
  Value* Label() { return &label; }
  Value* Element(int index, const std::wstring& key) { return new String(key + std::to_wstring(index)); }
  void Fail(const std::wstring& kind) {
    if (kind == L"standard") throw std::invalid_argument("Key K\xE9y doesn't exist");
    if (kind == L"host") throw MAXException(L"host says no", 42);
    throw RuntimeError(L"script says no");
  }

  std::wstring joined;
  std::wstring said = L"(nothing)";
  String label{L"the label"};
};

void register_table(FFCreateDescriptor<Probe, FP_CORE>& c) {
  c.function(&Probe::Join, L"Join", L"first", L"second");
  c.getter(&Probe::Count, L"Count");
  c.function(&Probe::Say, L"Say", L"text");
  c.function(&Probe::Element, L"Element", L"index", L"key", L"Param3", L"Param4", L"Param5", L"Param6",
             L"Param7", L"Param8", 40);
  c.function(&Probe::Length, L"Length", L"text");
  c.getter(&Probe::Label, L"Label");
  c.function(&Probe::Positive, L"Positive", L"value");
  c.function(&Probe::Fail, L"Fail", L"kind");
}

std::wstring value_of(const std::wstring& script) {
  return host::script::printed(host::script::evaluate_text(script));
}

std::wstring error_text(const std::wstring& script) {
  try {
    host::script::evaluate_text(script);
  } catch (const RuntimeError& error) {
    return error.message();
  }
  return L"(no error)";
}

TEST(FunctionPublishingWrapper, AssignsIdsInRegistrationOrderAndWritesTheDescriptorTheHostReads) {
  Probe probe(register_table);
  FPInterfaceDesc* published = host::fp::find_interface(L"FPProbe");
  ASSERT_EQ(published, &probe);
  EXPECT_EQ(published->GetID(), probe_id);

  // Ascending ids; getters are not functions; an explicit id does not move the counter.
  struct Expected {
    FunctionID id;
    const wchar_t* name;
    int result;
    std::vector<std::pair<std::wstring, int>> params;
  };
  const std::vector<Expected> expected = {
      {0, L"Join", TYPE_bool, {{L"first", TYPE_VALUE}, {L"second", TYPE_VALUE}}},
      {2, L"Say", TYPE_VOID, {{L"text", TYPE_VALUE}}},
      {3, L"Length", TYPE_INT, {{L"text", TYPE_VALUE}}},
      {5, L"Positive", TYPE_bool, {{L"value", TYPE_FLOAT}}},
      {6, L"Fail", TYPE_VOID, {{L"kind", TYPE_VALUE}}},
      {40, L"Element", TYPE_VALUE, {{L"index", TYPE_INT}, {L"key", TYPE_VALUE}}},
  };
  ASSERT_EQ(probe.functions.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const FPFunctionDef& def = probe.functions[i];
    EXPECT_EQ(def.ID, expected[i].id) << i;
    EXPECT_EQ(def.internal_name, expected[i].name);
    EXPECT_EQ(def.result_type, expected[i].result) << def.internal_name;
    ASSERT_EQ(def.params.size(), expected[i].params.size()) << def.internal_name;
    for (std::size_t p = 0; p < def.params.size(); ++p) {
      EXPECT_EQ(def.params[p].internal_name, expected[i].params[p].first);
      EXPECT_EQ(def.params[p].type, expected[i].params[p].second);
    }
  }
  ASSERT_EQ(probe.props.size(), 2u);
  EXPECT_EQ(probe.props[0].getter_ID, 1);
  EXPECT_EQ(probe.props[0].setter_ID, FP_NO_FUNCTION);
  EXPECT_EQ(probe.props[0].internal_name, L"Count");
  EXPECT_EQ(probe.props[0].prop_type, TYPE_INT);
  EXPECT_EQ(probe.props[1].getter_ID, 4);
  EXPECT_EQ(probe.props[1].setter_ID, FP_NO_FUNCTION);
  EXPECT_EQ(probe.props[1].prop_type, TYPE_VALUE);

  // Properties read, but cannot be called or written.
  EXPECT_EQ(value_of(L"FPProbe.Count"), L"7");
  EXPECT_EQ(error_text(L"FPProbe.Count()"), L"Call needs function or class, got: 7");
  EXPECT_EQ(error_text(L"FPProbe.Label = \"x\""), L"Cannot set read-only property FPProbe.Label");
}

TEST(FunctionPublishingWrapper, CallsMembersWithConvertedArgumentsAndStoresTheirResults) {
  Probe probe(register_table);
  EXPECT_EQ(value_of(L"FPProbe.Join \"a\" 12"), L"true");
  EXPECT_EQ(probe.joined, L"a|12");  // a non-string argument gives its own text
  EXPECT_EQ(value_of(L"FPProbe.Length \"h\u00e9llo\""), L"5");
  EXPECT_EQ(value_of(L"FPProbe.Element -3 \"k\""), L"\"k-3\"");
  EXPECT_EQ(value_of(L"FPProbe.Positive 0.5"), L"true");
  EXPECT_EQ(value_of(L"FPProbe.Positive -2"), L"false");
  EXPECT_EQ(value_of(L"FPProbe.Say \"hi\""), L"OK");
  EXPECT_EQ(probe.said, L"hi");
  EXPECT_EQ(value_of(L"FPProbe.Label"), L"\"the label\"");

  // A value without a text of its own, and no value at all, give an empty string.
  struct Textless : Value {
    Textless() : Value(&String_class) {}
    const wchar_t* to_string() override { return nullptr; }
  } textless;
  for (Value* argument : {static_cast<Value*>(&textless), static_cast<Value*>(nullptr)}) {
    FPValue text;
    text.LoadValue(argument);
    FPParams params({text});
    FPValue result;
    result.LoadInt(99);
    ASSERT_EQ(probe.Invoke(probe.FindFn(L"Length"), result, &params), FPS_OK);
    EXPECT_EQ(result.type, TYPE_INT);
    EXPECT_EQ(result.i, 0);
  }

  // A void function leaves the result as it was.
  FPValue hello;
  hello.LoadValue(new String(L"x"));
  FPParams one({hello});
  FPValue untouched;
  untouched.LoadFloat(2.5f);
  ASSERT_EQ(probe.Invoke(probe.FindFn(L"Say"), untouched, &one), FPS_OK);
  EXPECT_EQ(untouched.type, TYPE_FLOAT);
  EXPECT_EQ(untouched.f, 2.5f);
}

TEST(FunctionPublishingWrapper, AnUnknownIdIsNoSuchFunctionAndLeavesTheResultAlone) {
  Probe probe(register_table);
  FPValue result;
  result.LoadInt(77);
  FPParams none;
  EXPECT_EQ(probe.Invoke(1000, result, &none), FPS_NO_SUCH_FUNCTION);
  EXPECT_EQ(probe.Invoke(-1, result, &none), FPS_NO_SUCH_FUNCTION);
  EXPECT_EQ(result.type, TYPE_INT);
  EXPECT_EQ(result.i, 77);
}

TEST(FunctionPublishingWrapper, StandardExceptionsBecomeHostExceptionsAndOthersPassUnchanged) {
  Probe probe(register_table);
  const auto fail = [&](const wchar_t* kind) {
    FPValue argument;
    argument.LoadValue(new String(kind));
    FPParams params({argument});
    probe.Invoke(probe.FindFn(L"Fail"), 0, &params);
  };
  try {
    fail(L"standard");
    ADD_FAILURE() << "no exception";
  } catch (const MAXException& error) {
    EXPECT_EQ(error.message(), L"Key K\u00e9y doesn't exist");  // widened from the ANSI code page
    EXPECT_EQ(error.code(), 0);
  }
  try {
    fail(L"host");
    ADD_FAILURE() << "no exception";
  } catch (const MAXException& error) {
    EXPECT_EQ(error.message(), L"host says no");
    EXPECT_EQ(error.code(), 42);
  }
  EXPECT_THROW(fail(L"script"), RuntimeError);

  // Scripts see all three as errors with exactly the text, and can catch them.
  EXPECT_EQ(error_text(L"FPProbe.Fail \"standard\""), L"Key K\u00e9y doesn't exist");
  EXPECT_EQ(value_of(L"try (FPProbe.Fail \"script\"; 1) catch (getCurrentException())"),
            L"\"-- Runtime error: script says no\"");
}

TEST(FunctionPublishingWrapper, AMissingArgumentIsTheHostArraysOutOfRangeError) {
  Probe probe(register_table);
  FPValue first;
  first.LoadValue(new String(L"a"));
  FPParams only_one({first});
  const FunctionID join = probe.FindFn(L"Join");
  for (FPParams* params : {&only_one, static_cast<FPParams*>(nullptr)}) {
    try {
      probe.Invoke(join, 0, params);
      ADD_FAILURE() << "no exception";
    } catch (const MaxSDK::Util::OutOfRangeException& error) {
      EXPECT_EQ(error.message(), L"Argument index out of bounds, passed into a MaxSDK::Array::operator[]");
    }
  }
  EXPECT_EQ(probe.joined, L"");
}

TEST(FunctionPublishingWrapper, ManyFunctionsGrowTheListWithoutLosingAnEntry) {
  Probe probe([](FFCreateDescriptor<Probe, FP_CORE>& c) {
    for (int i = 0; i < 90; ++i) {
      const std::wstring n = std::to_wstring(i);
      c.function(&Probe::Join, L"Join" + n, L"a" + n, L"b" + n);
    }
    c.getter(&Probe::Count, L"Count");
  });
  ASSERT_EQ(probe.functions.size(), 90u);  // 90 entries of 12 slots: over 8000 bytes
  for (int i = 0; i < 90; ++i) {
    const std::wstring n = std::to_wstring(i);
    const FPFunctionDef& def = probe.functions[static_cast<std::size_t>(i)];
    EXPECT_EQ(def.ID, i);
    EXPECT_EQ(def.internal_name, L"Join" + n);
    ASSERT_EQ(def.params.size(), 2u);
    EXPECT_EQ(def.params[1].internal_name, L"b" + n);
  }
  ASSERT_EQ(probe.props.size(), 1u);
  EXPECT_EQ(probe.props[0].getter_ID, 90);
}

TEST(FunctionPublishingWrapper, ALaterRegistrationUnderTheSameIdReplacesTheEarlierOne) {
  Probe probe([](FFCreateDescriptor<Probe, FP_CORE>& c) {
    c.function(&Probe::Say, L"Old", L"text", L"Param2", L"Param3", L"Param4", L"Param5", L"Param6", L"Param7",
               L"Param8", 3);
    c.function(&Probe::Length, L"New", L"text", L"Param2", L"Param3", L"Param4", L"Param5", L"Param6", L"Param7",
               L"Param8", 3);
  });
  EXPECT_EQ(probe.FindFn(L"Old"), FP_NO_FUNCTION);
  EXPECT_EQ(probe.FindFn(L"New"), 3);
  EXPECT_EQ(value_of(L"FPProbe.New \"abc\""), L"3");
}

TEST(FunctionPublishingWrapper, TheDefaultInterfaceIdStopsConstructionWithALoggedError) {
  auto& host = host::standalone::standalone_interface();
  host.clear_log_records();
  const std::string text =
      "FFCreateDescriptor() - The interface ID for the function publishing descriptor \"Forgotten\" was set to the "
      "default value, its value must be set to a randomly selected constant value.";
  try {
    Probe probe(register_table, Interface_ID(), L"Forgotten");
    ADD_FAILURE() << "constructed";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(error.what(), text);
  }
  const auto records = host.log_records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].type, SYSLOG_ERROR);
  EXPECT_EQ(records[0].title, L"FF Function Publishing Wrapper");
  EXPECT_EQ(records[0].text, std::wstring(text.begin(), text.end()));
  EXPECT_EQ(host::fp::find_interface(L"Forgotten"), nullptr);

  // Only both parts at their default count as unset.
  EXPECT_NO_THROW(Probe(register_table, Interface_ID(0xFFFFFFFF, 1), L"HalfSet"));
}

TEST(FunctionPublishingWrapper, ADescriptorTheHostRefusesFailsTheConstructorInsteadOfTheProcess) {
  const auto duplicate = [](FFCreateDescriptor<Probe, FP_CORE>& c) {
    c.function(&Probe::Say, L"Twice", L"text");
    c.function(&Probe::Length, L"TWICE", L"text");
  };
  EXPECT_THROW(Probe(duplicate, probe_id, L"Refused"), MAXException);
  EXPECT_EQ(host::fp::find_interface(L"Refused"), nullptr);
}

}  // namespace
}  // namespace paravelle::max3d::fpwrapper
