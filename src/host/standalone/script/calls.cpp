// What a call or a property read means for each kind of value.

#include "calls.h"

#include "builtins.h"
#include "errors.h"
#include "interface_values.h"
#include "nesting.h"
#include "values.h"

namespace paravelle::host::script {

Value* interface_named(Name* name) {
  FPInterfaceDesc* found = host::fp::find_interface(name->text());
  return found ? new InterfaceValue(found->internal_name) : nullptr;
}

bool is_interface_function(Value* value) { return value->is_kind_of(&InterfaceFunction_class); }

Value* call_function(Value* callee, const std::vector<Value*>& arguments, int line) {
  if (callee->is_kind_of(&Primitive_class)) {
    try {
      return static_cast<Primitive*>(callee)->apply(arguments);
    } catch (const RuntimeError& error) {
      if (error.line() > 0) throw;
      rethrow_at_line(error, line);
    }
  }
  if (callee->is_kind_of(&InterfaceFunction_class))
    return static_cast<InterfaceFunction*>(callee)->call(arguments, line);
  throw_type_error(L"Call needs function or class, got: " + print_form(callee), line);
}

namespace {

[[noreturn]] void unknown_property(Value* object, Name* property, const std::wstring& object_name, int line) {
  std::wstring message = L"Unknown property: \"" + property->text() + L"\" in " + print_form(object);
  if (object == &undefined && !object_name.empty()) {
    message += L"; there is no variable or published interface named " + object_name;
  }
  throw LanguageError(L"", message, line);
}

// array.count = n cuts the array or grows it with undefined.
void resize_array(Array& array, Value* count, int line) {
  if (!count->is_kind_of(&Integer_class)) throw_conversion_error(count, L"Integer", line);
  const int wanted = static_cast<Integer*>(count)->value();
  if (wanted < 0) throw RuntimeError(L"array count must not be negative, got: " + print_form(count), line);
  check_array_length(static_cast<std::size_t>(wanted), line);
  if (static_cast<std::size_t>(wanted) > array.size())
    count_text(static_cast<std::size_t>(wanted) - array.size(), line);
  array.resize(static_cast<std::size_t>(wanted));
}

}  // namespace

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
  if (name == L"printallelements" && object == options_value()) return bool_result(print_all_elements());
  unknown_property(object, property, object_name, line);
}

void write_property(Value* object, Name* property, Value* value, int line) {
  if (object->is_kind_of(&Interface_class)) {
    write_interface_property(*static_cast<InterfaceValue*>(object), property, value, line);
    return;
  }
  const std::wstring name = fold_case(property->text());
  if (name == L"count" && object->is_kind_of(&Array_class)) {
    resize_array(*static_cast<Array*>(object), value, line);
    return;
  }
  if (name == L"printallelements" && object == options_value()) {
    if (!value->is_kind_of(&Boolean_class)) throw_conversion_error(value, L"BooleanClass", line);
    set_print_all_elements(value == &true_value);
    return;
  }
  unknown_property(object, property, L"", line);
}

}  // namespace paravelle::host::script
