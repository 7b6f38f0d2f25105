// The publishing wrapper as the host sees it: the argument list it writes, the descriptor
// the host loads from it, the ids it assigns, and how calls, results and failures cross
// between scripts and members.

#include "script/fpwrapper/fpwrapper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>

#include "host/standalone/standalone_interface.h"
#include "script/fpwrapper/argument_list.h"
#include "script_run.h"

namespace paravelle::max3d::fpwrapper {
namespace {

using paravelle::testing::functions_of;
using paravelle::testing::properties_of;
using ::testing::AllOf;
using ::testing::Property;
using ::testing::Throws;
using ::testing::ThrowsMessage;

constexpr Interface_ID probe_id(0x1F2E3D4C, 0x5B6A7988);

class Probe : public FFStaticInterface<Probe, FP_CORE> {
 public:
  using Registration = std::function<void(FFCreateDescriptor<Probe, FP_CORE>&)>;

  explicit Probe(const Registration& registration, Interface_ID id = probe_id, const wchar_t* name = L"FPProbe") {
    FFCreateDescriptor c(this, id, name, nullptr);
    registration(c);
  }

  bool Join(const std::wstring& a, const std::wstring& b) { return !(joined = a + L"|" + b).empty(); }
  void Say(const std::wstring& text) { said = text; }
  int Length(const std::wstring& text) { return static_cast<int>(text.size()); }
  int Count() { return 7; }
  Value* Label() { return &label; }
  Value* Element(int index, const std::wstring& key) { return new String(key + std::to_wstring(index)); }
  void Fail(const std::wstring& kind) {
    if (kind == L"standard") throw std::invalid_argument("Key K\xE9y doesn't exist");
    throw MAXException(L"host says no", 42);
  }

  std::wstring joined, said;
  String label{L"the label"};
};

void register_table(FFCreateDescriptor<Probe, FP_CORE>& c) {
  c.function(&Probe::Join, L"Join", L"first", L"second");
  c.getter(&Probe::Count, L"Count");
  c.function(&Probe::Say, L"Say", L"text");
  c.function(&Probe::Element, L"Element", L"index", L"key", L"Param3", L"Param4", L"Param5", L"Param6", L"Param7",
             L"Param8", 40);
  c.function(&Probe::Length, L"Length", L"text");
  c.getter(&Probe::Label, L"Label");
  c.function(&Probe::Fail, L"Fail", L"kind");
}

std::wstring value_of(const std::wstring& script) { return testing::run_script(script).value; }
std::wstring error_of(const std::wstring& script) { return testing::run_script(script).error; }

// Invokes `name` with string arguments (or no argument list at all) on a result holding 77.
FPValue invoke(Probe& probe, const wchar_t* name, std::vector<Value*> arguments, bool with_list = true) {
  std::vector<FPValue> values(arguments.size());
  for (std::size_t i = 0; i < arguments.size(); ++i) values[i].LoadValue(arguments[i]);
  FPParams params(values);
  FPValue result;
  result.LoadInt(77);
  EXPECT_EQ(probe.Invoke(probe.FindFn(name), result, with_list ? &params : nullptr), FPS_OK);
  return result;
}

TEST(ArgumentList, IntegersFillTheLowHalfOfZeroedSlotsPointersTheWholeSlotAndItGrowsByHalf) {
  ArgumentList list;
  list.append_integer(0xFFFFFFFEu);
  list.append_pointer(&list);
  EXPECT_EQ(list.slots()[0], 0x00000000FFFFFFFEull);
  EXPECT_EQ(list.slots()[1], reinterpret_cast<std::uintptr_t>(&list));
  // 125 slots leave 24 of 1024 bytes, enough for one more slot of either kind but not two.
  for (std::uint32_t i = 2; i < 125; ++i) list.append_integer(i);
  ArgumentList integers = list;
  list.append_pointer(nullptr);
  integers.append_integer(0);
  EXPECT_EQ(std::pair(list.capacity(), integers.capacity()), std::pair(std::size_t{1024}, std::size_t{1024}));
  list.append_pointer(nullptr);
  integers.append_integer(0);
  EXPECT_EQ(std::pair(list.capacity(), integers.capacity()), std::pair(std::size_t{1536}, std::size_t{1536}));
  EXPECT_EQ(integers.size(), 127u * 8);
}

TEST(FunctionPublishingWrapper, AssignsIdsInRegistrationOrderAndWritesTheDescriptorTheHostReads) {
  Probe probe(register_table);
  ASSERT_EQ(host::fp::find_interface(L"FPProbe"), &probe);
  EXPECT_EQ(probe.GetID(), probe_id);
  // Ascending ids; getters are not functions; an explicit id does not move the counter.
  using testing::FunctionEntry;
  EXPECT_EQ(functions_of(probe),
            (std::vector<FunctionEntry>{{0, L"Join", TYPE_bool, {{L"first", TYPE_VALUE}, {L"second", TYPE_VALUE}}},
                                        {2, L"Say", TYPE_VOID, {{L"text", TYPE_VALUE}}},
                                        {3, L"Length", TYPE_INT, {{L"text", TYPE_VALUE}}},
                                        {5, L"Fail", TYPE_VOID, {{L"kind", TYPE_VALUE}}},
                                        {40, L"Element", TYPE_VALUE, {{L"index", TYPE_INT}, {L"key", TYPE_VALUE}}}}));
  EXPECT_EQ(properties_of(probe), (std::vector<testing::PropertyEntry>{{1, FP_NO_FUNCTION, L"Count", TYPE_INT},
                                                                       {4, FP_NO_FUNCTION, L"Label", TYPE_VALUE}}));
  // Properties read, but cannot be written.
  EXPECT_EQ(value_of(L"FPProbe.Count"), L"7");
  EXPECT_EQ(error_of(L"FPProbe.Label = \"x\""), L"Cannot set read-only property FPProbe.Label");
}

TEST(FunctionPublishingWrapper, CallsMembersWithConvertedArgumentsAndStoresTheirResults) {
  Probe probe(register_table);
  EXPECT_EQ(value_of(L"FPProbe.Join \"a\" 12"), L"true");
  EXPECT_EQ(probe.joined, L"a|12");  // a non-string argument gives its own text
  EXPECT_EQ(value_of(L"#(FPProbe.Length \"h\u00e9llo\", FPProbe.Element -3 \"k\", FPProbe.Say \"hi\", "
                     L"FPProbe.Label)"),
            L"#(5, \"k-3\", OK, \"the label\")");
  EXPECT_EQ(probe.said, L"hi");

  // A value without a text of its own, and no value at all, give an empty string.
  struct Textless : Value {
    Textless() : Value(&String_class) {}
    const wchar_t* to_string() override { return nullptr; }
  } textless;
  for (Value* argument : {static_cast<Value*>(&textless), static_cast<Value*>(nullptr)}) {
    const FPValue length = invoke(probe, L"Length", {argument});
    EXPECT_EQ(length.type, TYPE_INT);
    EXPECT_EQ(length.i, 0);
  }
  // A void function leaves the result as it was; unknown ids and missing arguments call nothing.
  const FPValue untouched = invoke(probe, L"Say", {new String(L"x")});
  EXPECT_EQ(untouched.type, TYPE_INT);
  EXPECT_EQ(untouched.i, 77);
  FPValue result;
  for (FunctionID id : {1000, -1}) EXPECT_EQ(probe.Invoke(id, result), FPS_NO_SUCH_FUNCTION) << id;
  probe.joined.clear();
  for (bool with_list : {true, false})
    EXPECT_THAT([&] { invoke(probe, L"Join", {new String(L"a")}, with_list); },
                Throws<MaxSDK::Util::OutOfRangeException>());
  EXPECT_EQ(probe.joined, L"");
}

TEST(FunctionPublishingWrapper, StandardExceptionsBecomeHostExceptionsAndHostExceptionsPassUnchanged) {
  Probe probe(register_table);
  const auto fail = [&](const wchar_t* kind) { return [&probe, kind] { invoke(probe, L"Fail", {new String(kind)}); }; };
  const auto host_error = [](const wchar_t* text, int code) {
    return Throws<MAXException>(AllOf(Property(&MAXException::message, text), Property(&MAXException::code, code)));
  };
  EXPECT_THAT(fail(L"standard"), host_error(L"Key K\u00e9y doesn't exist", 0));  // widened from the ANSI code page
  EXPECT_THAT(fail(L"host"), host_error(L"host says no", 42));
  // Scripts see it as an error with exactly the text (a script error passing unchanged: FailRender).
  EXPECT_EQ(error_of(L"FPProbe.Fail \"standard\""), L"Key K\u00e9y doesn't exist");
}

TEST(FunctionPublishingWrapper, TheDefaultInterfaceIdStopsConstructionWithALoggedError) {
  auto& host = host::standalone::standalone_interface();
  host.clear_log_records();
  const std::string text =
      "FFCreateDescriptor() - The interface ID for the function publishing descriptor \"Forgotten\" was set to the "
      "default value, its value must be set to a randomly selected constant value.";
  EXPECT_THAT([] { Probe(register_table, Interface_ID(), L"Forgotten"); }, ThrowsMessage<std::runtime_error>(text));
  const auto records = host.log_records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(std::tie(records[0].type, records[0].title, records[0].text),
            std::tuple(SYSLOG_ERROR, L"FF Function Publishing Wrapper", std::wstring(text.begin(), text.end())));
  EXPECT_EQ(host::fp::find_interface(L"Forgotten"), nullptr);
  // Only both parts at their default count as unset.
  EXPECT_NO_THROW(Probe(register_table, Interface_ID(0xFFFFFFFF, 1), L"HalfSet"));
}

TEST(FunctionPublishingWrapper, ALaterIdReplacesAnEarlierOneButTheHostRefusesDuplicateNames) {
  Probe probe([](FFCreateDescriptor<Probe, FP_CORE>& c) {
    for (const wchar_t* name : {L"Old", L"New"})
      c.function(&Probe::Length, name, L"text", L"Param2", L"Param3", L"Param4", L"Param5", L"Param6", L"Param7",
                 L"Param8", 3);
  });
  EXPECT_EQ(probe.FindFn(L"Old"), FP_NO_FUNCTION);
  EXPECT_EQ(value_of(L"FPProbe.New \"abc\""), L"3");
  // The refusal fails the constructor instead of the process.
  const auto duplicate = [](FFCreateDescriptor<Probe, FP_CORE>& c) {
    c.function(&Probe::Say, L"Twice", L"text");
    c.function(&Probe::Length, L"TWICE", L"text");
  };
  EXPECT_THROW(Probe(duplicate, probe_id, L"Refused"), MAXException);
  EXPECT_EQ(host::fp::find_interface(L"Refused"), nullptr);
}

}  // namespace
}  // namespace paravelle::max3d::fpwrapper
