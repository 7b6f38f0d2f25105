#pragma once
// Function publishing: how a plug-in offers C++ functions to scripts.
//
// A plug-in derives an interface from FPStaticInterface, overrides _dispatch_fn, and
// loads a descriptor that lists its functions and read-only properties. A descriptor
// with the FP_CORE flag registers the interface under its name; scripts then call
// `Name.Function arg1 arg2` and read `Name.Property` (names case-insensitive), and the
// runtime calls Invoke with the function's id and the converted arguments:
//
//   parameter TYPE_INT    <- an Integer (a Float is truncated toward zero)
//   parameter TYPE_FLOAT  <- a Float or an Integer
//   parameter TYPE_bool   <- true or false
//   parameter TYPE_VALUE  <- the script value itself (Value*); a string parameter is
//                            published this way and the callee asks value->to_string()
//                            (see Value::to_string for what non-strings give)
//   result TYPE_INT -> Integer, TYPE_FLOAT -> Float, TYPE_bool -> true/false,
//   TYPE_VALUE -> the returned Value* (null -> undefined), TYPE_VOID -> OK
//
// Failures seen by scripts: a wrong argument count, an argument of the wrong kind, a
// MAXException leaving Invoke (its message becomes a RuntimeError with that exact text,
// which `try ... catch` sees), and any MAXScriptException raised by the callee (which
// propagates as itself).

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/exceptions.h"
#include "host/types.h"

class Value;
class ClassDesc;
class FPInterfaceDesc;

using FunctionID = short;
using FPStatus = int;

constexpr FPStatus FPS_OK = 1;
constexpr FPStatus FPS_NO_SUCH_FUNCTION = -1;
constexpr FunctionID FP_NO_FUNCTION = -1;

// Parameter and result type codes.
enum ParamType2 : int {
  TYPE_FLOAT = 0,
  TYPE_INT = 1,
  TYPE_VOID = 46,
  TYPE_VALUE = 64,
  TYPE_bool = 66,
};

// Descriptor flag: register the interface so that scripts find it by name.
constexpr std::uint16_t FP_CORE = 4;

// Tags of the descriptor's argument list.
enum : std::uint32_t {
  p_end = 0xC0000400,
  properties = 0xC0000401,
};

// Interface ids under which an interface answers GetInterface with itself.
constexpr Interface_ID FPINTERFACE_ID(0, 2);
constexpr Interface_ID FPINTERFACEDESC_ID(0, 4);

// One argument or result of a published function.
class FPValue {
 public:
  int type = TYPE_VOID;
  union {
    float f;
    int i;
    BOOL b;
    Value* v;
  };

  FPValue() : v(nullptr) {}

  // Loads a value of `type` from a variable argument list. The argument is read as
  // TYPE_INT: int, TYPE_FLOAT: double (a float promoted), TYPE_bool: int (a bool
  // promoted), TYPE_VALUE: Value*, TYPE_VOID: nothing. With `ptr` set, TYPE_INT,
  // TYPE_FLOAT and TYPE_bool read a pointer to int, float or bool instead; a Value* is
  // read as itself either way. Any other type throws MAXException.
  void Loadva(int type, va_list arguments, bool ptr = false);
  // The same with the arguments given directly: Load(TYPE_INT, 42).
  void Load(int type, ...);

  void LoadInt(int value) {
    type = TYPE_INT;
    i = value;
  }
  void LoadFloat(float value) {
    type = TYPE_FLOAT;
    f = value;
  }
  void LoadBool(bool value) {
    type = TYPE_bool;
    b = value ? 1 : 0;
  }
  void LoadValue(Value* value) {
    type = TYPE_VALUE;
    v = value;
  }
};

// The arguments of a call, in parameter order.
class FPParams {
 public:
  FPParams() = default;
  explicit FPParams(std::vector<FPValue> values) : params_(std::move(values)) {}

  // Throws MaxSDK::Util::OutOfRangeException for an index that is negative or not below
  // Count().
  FPValue& operator[](int index);
  const FPValue& operator[](int index) const;
  int Count() const { return static_cast<int>(params_.size()); }
  void Append(const FPValue& value) { params_.push_back(value); }

 private:
  std::vector<FPValue> params_;
};

class BaseInterface {
 public:
  virtual ~BaseInterface() = default;
  virtual BaseInterface* GetInterface(Interface_ID) { return nullptr; }
  virtual Interface_ID GetID() { return Interface_ID(); }
};

// Something that can be called by function id.
class FPInterface : public BaseInterface {
 public:
  FPStatus Invoke(FunctionID id, TimeValue time, FPValue& result, FPParams* params = nullptr) {
    return _dispatch_fn(id, time, result, params);
  }
  FPStatus Invoke(FunctionID id, FPValue& result, FPParams* params = nullptr) { return Invoke(id, 0, result, params); }
  // For calls whose result is not wanted.
  FPStatus Invoke(FunctionID id, TimeValue time = 0, FPParams* params = nullptr) {
    FPValue ignored;
    return Invoke(id, time, ignored, params);
  }

  BaseInterface* GetInterface(Interface_ID id) override {
    return id == FPINTERFACE_ID ? this : BaseInterface::GetInterface(id);
  }

 protected:
  // Runs function `id`. Returns FPS_OK, or FPS_NO_SUCH_FUNCTION (leaving `result` as it
  // was) for an id the interface does not have. Failures are exceptions.
  virtual FPStatus _dispatch_fn(FunctionID id, TimeValue time, FPValue& result, FPParams* params) = 0;
};

// A published function as the descriptor lists it.
struct FPParamDef {
  std::wstring internal_name;
  int type = TYPE_VOID;
};

struct FPFunctionDef {
  FunctionID ID = FP_NO_FUNCTION;
  std::wstring internal_name;
  int result_type = TYPE_VOID;
  std::uint32_t flags = 0;
  std::vector<FPParamDef> params;
};

// A read-only (setter_ID == FP_NO_FUNCTION) or read-write property.
struct FPPropDef {
  FunctionID getter_ID = FP_NO_FUNCTION;
  FunctionID setter_ID = FP_NO_FUNCTION;
  std::wstring internal_name;
  int prop_type = TYPE_VOID;
};

// An interface together with its description.
class FPInterfaceDesc : public FPInterface {
 public:
  FPInterfaceDesc() = default;
  // Leaves the registry, so scripts can never reach a destroyed interface.
  ~FPInterfaceDesc() override;
  FPInterfaceDesc(const FPInterfaceDesc&) = delete;
  FPInterfaceDesc& operator=(const FPInterfaceDesc&) = delete;

  // Reads the argument list: 8-byte slots, integers in the low 32 bits, pointers as 64
  // bits. Function entries: id; name (const wchar_t*); 0; result type; flags; parameter
  // count; per parameter: name, 0, type. Then optionally `properties` followed by
  // property entries: getter id; setter id (0xFFFFFFFF = none); name; 0; type. Then
  // `p_end`. Names are copied. With FP_CORE in `flags` the interface is registered under
  // `name`, replacing an earlier interface of that name. A list that does not follow this
  // layout (unknown type code, absurd counts, null names, duplicate names) throws
  // MAXException and registers nothing.
  void load_descriptor(Interface_ID id, const wchar_t* name, int description_resource, ClassDesc* class_desc,
                       std::uint16_t flags, const std::uint64_t* argument_list);

  Interface_ID GetID() override { return ID; }
  BaseInterface* GetInterface(Interface_ID id) override {
    return id == FPINTERFACEDESC_ID ? this : FPInterface::GetInterface(id);
  }
  FPInterfaceDesc* GetDesc() { return this; }

  // Lookups by name, case-insensitive; FP_NO_FUNCTION or null when absent.
  FunctionID FindFn(std::wstring_view name) const;
  FunctionID FindPropertyGetter(std::wstring_view name) const;
  const FPFunctionDef* GetFnDef(std::wstring_view name) const;
  const FPPropDef* GetPropDef(std::wstring_view name) const;

  Interface_ID ID;
  std::wstring internal_name;
  ClassDesc* cd = nullptr;
  std::uint16_t flags = 0;
  std::vector<FPFunctionDef> functions;
  std::vector<FPPropDef> props;
};

// A static (singleton) interface, such as a plug-in's script interface.
class FPStaticInterface : public FPInterfaceDesc {};

namespace paravelle::host::fp {

// The registered interfaces (those loaded with FP_CORE), by name (case-insensitive) or
// by id; null when absent.
FPInterfaceDesc* find_interface(std::wstring_view name);
FPInterfaceDesc* find_interface(Interface_ID id);

}  // namespace paravelle::host::fp
