// Reading a function-publishing descriptor's argument list.

#include <cstdint>
#include <string>

#include "host/function_publishing.h"
#include "interface_registry.h"
#include "values.h"

namespace {

constexpr std::uint32_t kMaximumParameters = 64;
constexpr std::size_t kMaximumEntries = 4096;

bool is_parameter_type(std::uint32_t type) {
  return type == TYPE_FLOAT || type == TYPE_INT || type == TYPE_VALUE || type == TYPE_bool;
}

bool is_result_type(std::uint32_t type) { return is_parameter_type(type) || type == TYPE_VOID; }

// Walks the 8-byte slots; every complaint names the interface being loaded.
class DescriptorReader {
 public:
  DescriptorReader(const wchar_t* interface_name, const std::uint64_t* slots)
      : interface_(interface_name ? interface_name : L""), slot_(slots) {}

  void read(std::vector<FPFunctionDef>& functions, std::vector<FPPropDef>& props) {
    if (!slot_) fail(L"no argument list");
    bool in_properties = false;
    for (std::size_t entries = 0;; ++entries) {
      if (entries > kMaximumEntries) fail(L"no end tag after " + std::to_wstring(kMaximumEntries) + L" entries");
      const std::uint32_t first = integer();
      if (first == p_end) return;
      if (first == properties && !in_properties) {
        in_properties = true;
        continue;
      }
      if (in_properties)
        props.push_back(property(first));
      else
        functions.push_back(function(first));
    }
  }

 private:
  [[noreturn]] void fail(const std::wstring& reason) const {
    throw MAXException(L"load_descriptor(" + interface_ + L"): " + reason);
  }

  std::uint32_t integer() { return static_cast<std::uint32_t>(*slot_++ & 0xFFFFFFFFu); }

  std::wstring name(const wchar_t* what) {
    const auto* text = reinterpret_cast<const wchar_t*>(static_cast<std::uintptr_t>(*slot_++));
    if (!text || !*text) fail(std::wstring(L"missing name of a ") + what);
    return text;
  }

  FunctionID function_id(std::uint32_t raw, const wchar_t* what) {
    const auto value = static_cast<std::int32_t>(raw);
    if (value < INT16_MIN || value > INT16_MAX) {
      fail(std::wstring(L"bad ") + what + L" id " + std::to_wstring(value));
    }
    return static_cast<FunctionID>(value);
  }

  FPFunctionDef function(std::uint32_t id) {
    FPFunctionDef def;
    def.ID = function_id(id, L"function");
    def.internal_name = name(L"function");
    integer();  // description resource
    const std::uint32_t result = integer();
    if (!is_result_type(result))
      fail(L"unsupported result type " + std::to_wstring(result) + L" of " + def.internal_name);
    def.result_type = static_cast<int>(result);
    def.flags = integer();
    const std::uint32_t count = integer();
    if (count > kMaximumParameters) fail(std::to_wstring(count) + L" parameters for " + def.internal_name);
    for (std::uint32_t i = 0; i < count; ++i) {
      FPParamDef param;
      param.internal_name = name(L"parameter");
      integer();  // description resource
      const std::uint32_t type = integer();
      if (!is_parameter_type(type)) {
        fail(L"unsupported type " + std::to_wstring(type) + L" of parameter " + param.internal_name + L" of " +
             def.internal_name);
      }
      param.type = static_cast<int>(type);
      def.params.push_back(std::move(param));
    }
    return def;
  }

  FPPropDef property(std::uint32_t getter) {
    FPPropDef def;
    def.getter_ID = function_id(getter, L"getter");
    def.setter_ID = function_id(integer(), L"setter");
    def.internal_name = name(L"property");
    integer();  // description resource
    const std::uint32_t type = integer();
    if (!is_parameter_type(type))
      fail(L"unsupported type " + std::to_wstring(type) + L" of property " + def.internal_name);
    def.prop_type = static_cast<int>(type);
    return def;
  }

  std::wstring interface_;
  const std::uint64_t* slot_;
};

void check_unique_names(const wchar_t* interface_name, const std::vector<FPFunctionDef>& functions,
                        const std::vector<FPPropDef>& props) {
  std::vector<std::wstring> seen;
  const auto check = [&](const std::wstring& name) {
    std::wstring folded = paravelle::host::script::fold_case(name);
    for (const std::wstring& other : seen) {
      if (other == folded)
        throw MAXException(L"load_descriptor(" + std::wstring(interface_name) + L"): " + name + L" is published twice");
    }
    seen.push_back(std::move(folded));
  };
  for (const FPFunctionDef& f : functions) check(f.internal_name);
  for (const FPPropDef& p : props) check(p.internal_name);
}

}  // namespace

FPInterfaceDesc::~FPInterfaceDesc() { paravelle::host::fp::unregister_interface(this); }

void FPInterfaceDesc::load_descriptor(Interface_ID id, const wchar_t* name, int /*description_resource*/,
                                      ClassDesc* class_desc, std::uint16_t descriptor_flags,
                                      const std::uint64_t* argument_list) {
  if (!name || !*name) throw MAXException(L"load_descriptor: the interface has no name");
  std::vector<FPFunctionDef> read_functions;
  std::vector<FPPropDef> read_props;
  DescriptorReader(name, argument_list).read(read_functions, read_props);
  check_unique_names(name, read_functions, read_props);
  paravelle::host::fp::unregister_interface(this);
  ID = id;
  internal_name = name;
  cd = class_desc;
  flags = descriptor_flags;
  functions = std::move(read_functions);
  props = std::move(read_props);
  if (flags & FP_CORE) paravelle::host::fp::register_interface(this);
}

const FPFunctionDef* FPInterfaceDesc::GetFnDef(std::wstring_view name) const {
  const std::wstring folded = paravelle::host::script::fold_case(name);
  for (const FPFunctionDef& def : functions) {
    if (paravelle::host::script::fold_case(def.internal_name) == folded) return &def;
  }
  return nullptr;
}

const FPPropDef* FPInterfaceDesc::GetPropDef(std::wstring_view name) const {
  const std::wstring folded = paravelle::host::script::fold_case(name);
  for (const FPPropDef& def : props) {
    if (paravelle::host::script::fold_case(def.internal_name) == folded) return &def;
  }
  return nullptr;
}

FunctionID FPInterfaceDesc::FindFn(std::wstring_view name) const {
  const FPFunctionDef* def = GetFnDef(name);
  return def ? def->ID : FP_NO_FUNCTION;
}

FunctionID FPInterfaceDesc::FindPropertyGetter(std::wstring_view name) const {
  const FPPropDef* def = GetPropDef(name);
  return def ? def->getter_ID : FP_NO_FUNCTION;
}
