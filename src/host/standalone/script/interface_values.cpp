// Calls from scripts into published interfaces: argument conversion by parameter type,
// the call through Invoke, and the result as a script value.

#include "interface_values.h"

#include <climits>
#include <cmath>

#include "errors.h"
#include "heap.h"
#include "values.h"

namespace paravelle::host::script {

ValueMetaClass Interface_class{L"Interface"};
ValueMetaClass InterfaceFunction_class{L"InterfaceFunction"};

namespace {

const wchar_t* type_name(int type) {
  switch (type) {
    case TYPE_INT: return L"Integer";
    case TYPE_FLOAT: return L"Float";
    case TYPE_bool: return L"BooleanClass";
    default: return L"Value";
  }
}

FPValue to_parameter(Value* argument, int type, int line) {
  FPValue parameter;
  parameter.type = type;
  const bool integer = argument->is_kind_of(&Integer_class);
  const bool floating = argument->is_kind_of(&Float_class);
  if (type == TYPE_VALUE) {
    parameter.v = argument;
  } else if (type == TYPE_INT && integer) {
    parameter.i = static_cast<Integer*>(argument)->value();
  } else if (type == TYPE_INT && floating) {
    const double whole = std::trunc(static_cast<Float*>(argument)->value());
    if (!(whole >= INT_MIN && whole <= INT_MAX)) throw_conversion_error(argument, L"Integer", line);
    parameter.i = static_cast<int>(whole);
  } else if (type == TYPE_FLOAT && (integer || floating)) {
    parameter.f =
        static_cast<float>(integer ? static_cast<Integer*>(argument)->value() : static_cast<Float*>(argument)->value());
  } else if (type == TYPE_bool && argument->is_kind_of(&Boolean_class)) {
    parameter.b = argument->to_bool() ? 1 : 0;
  } else {
    throw_conversion_error(argument, type_name(type), line);
  }
  return parameter;
}

Value* from_result(const FPValue& result, int type) {
  switch (type) {
    case TYPE_INT: return new Integer(result.i);
    case TYPE_FLOAT: return new Float(result.f);
    case TYPE_bool: return bool_result(result.b != 0);
    case TYPE_VALUE: return result.v ? result.v : &undefined;
    default: return &ok;
  }
}

// A MAXException is the host's way of failing a published call; scripts see it as a
// runtime error carrying exactly its text.
Value* invoke(FPInterfaceDesc& target, FunctionID id, int result_type, FPParams& params, const std::wstring& what,
              int line) {
  FPValue result;
  FPStatus status;
  try {
    status = target.Invoke(id, 0, result, &params);
  } catch (const MAXException& error) {
    throw RuntimeError(error.message());
  }
  if (status != FPS_OK) {
    throw RuntimeError(what + L" is not implemented by its interface (function id " + std::to_wstring(id) + L")", line);
  }
  return from_result(result, result_type);
}

}  // namespace

void InterfaceValue::sprin1(CharStream* stream) {
  stream->puts(L"<Interface:");
  stream->puts(name_.c_str());
  stream->puts(L">");
}

FPInterfaceDesc& InterfaceValue::resolve(int line) const {
  FPInterfaceDesc* found = host::fp::find_interface(name_);
  if (!found) throw RuntimeError(L"Interface " + name_ + L" is no longer available", line);
  return *found;
}

void InterfaceFunction::sprin1(CharStream* stream) {
  stream->puts(L"<InterfaceFunction:");
  stream->puts(interface_.c_str());
  stream->puts(L".");
  stream->puts(function_.c_str());
  stream->puts(L">");
}

Value* InterfaceFunction::call(const std::vector<Value*>& arguments, int line) const {
  const std::wstring what = interface_ + L"." + function_;
  FPInterfaceDesc* target = host::fp::find_interface(interface_);
  const FPFunctionDef* def = target ? target->GetFnDef(function_) : nullptr;
  if (!def) throw RuntimeError(what + L" is no longer available", line);
  if (arguments.size() != def->params.size())
    throw_argument_count_error(what, def->params.size(), arguments.size(), line);
  FPParams params;
  for (std::size_t i = 0; i < arguments.size(); ++i)
    params.Append(to_parameter(arguments[i], def->params[i].type, line));
  return invoke(*target, def->ID, def->result_type, params, what, line);
}

Value* read_interface_property(InterfaceValue& object, Name* property, int line) {
  FPInterfaceDesc& target = object.resolve(line);
  if (const FPFunctionDef* def = target.GetFnDef(property->text())) {
    return new InterfaceFunction(target.internal_name, def->internal_name);
  }
  const FPPropDef* prop = target.GetPropDef(property->text());
  if (!prop)
    throw LanguageError(L"", L"Unknown property: \"" + property->text() + L"\" in " + print_form(&object), line);
  FPParams none;
  return invoke(target, prop->getter_ID, prop->prop_type, none, target.internal_name + L"." + prop->internal_name,
                line);
}

void write_interface_property(InterfaceValue& object, Name* property, Value* value, int line) {
  FPInterfaceDesc& target = object.resolve(line);
  const FPPropDef* prop = target.GetPropDef(property->text());
  if (!prop)
    throw LanguageError(L"", L"Unknown property: \"" + property->text() + L"\" in " + print_form(&object), line);
  const std::wstring what = target.internal_name + L"." + prop->internal_name;
  if (prop->setter_ID == FP_NO_FUNCTION) throw RuntimeError(L"Cannot set read-only property " + what, line);
  FPParams params;
  params.Append(to_parameter(value, prop->prop_type, line));
  invoke(target, prop->setter_ID, TYPE_VOID, params, what, line);
}

}  // namespace paravelle::host::script
