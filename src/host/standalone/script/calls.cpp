// What a call or a property read means for each kind of value.

#include "calls.h"

#include "interface_values.h"
#include "values.h"

namespace paravelle::host::script {

Value* interface_named(Name* name) {
  FPInterfaceDesc* found = host::fp::find_interface(name->text());
  return found ? new InterfaceValue(found->internal_name) : nullptr;
}

Value* call_function(Value* callee, const std::vector<Value*>& arguments, int line) {
  if (callee->is_kind_of(&Primitive_class)) {
    try {
      return static_cast<Primitive*>(callee)->apply(arguments);
    } catch (const RuntimeError& error) {
      if (error.line() > 0) throw;
      throw RuntimeError(error.message(), line);
    }
  }
  if (callee->is_kind_of(&InterfaceFunction_class))
    return static_cast<InterfaceFunction*>(callee)->call(arguments, line);
  throw RuntimeError(L"Call needs function or class, got: " + print_form(callee), line);
}

Value* read_property(Value* object, Name* property, const std::wstring& object_name, int line) {
  if (object->is_kind_of(&Interface_class)) {
    return read_interface_property(*static_cast<InterfaceValue*>(object), property, line);
  }
  const std::wstring name = fold_case(property->text());
  if (name == L"count" && object->is_kind_of(&String_class)) {
    return new Integer(static_cast<int>(static_cast<String*>(object)->text().size()));
  }
  if (name == L"count" && object->is_kind_of(&Array_class)) {
    return new Integer(static_cast<int>(static_cast<Array*>(object)->size()));
  }
  std::wstring message = L"Unknown property: \"" + property->text() + L"\" in " + print_form(object);
  if (object == &undefined && !object_name.empty()) {
    message += L"; there is no variable or published interface named " + object_name;
  }
  throw RuntimeError(message, line);
}

void write_property(Value* object, Name* property, Value* value, int line) {
  if (object->is_kind_of(&Interface_class)) {
    write_interface_property(*static_cast<InterfaceValue*>(object), property, value, line);
    return;
  }
  throw RuntimeError(L"Unknown property: \"" + property->text() + L"\" in " + print_form(object), line);
}

}  // namespace paravelle::host::script
