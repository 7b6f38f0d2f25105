// a[i] on arrays and strings, 1-based, and a[i] = v on arrays.

#include <cmath>

#include "errors.h"
#include "evaluator.h"
#include "nesting.h"
#include "operators.h"
#include "values.h"

namespace paravelle::host::script {
namespace {

// An index as a whole number (a float is truncated); other values are conversion errors.
long long index_number(Value* index, int line) {
  if (index->is_kind_of(&Integer_class)) return static_cast<Integer*>(index)->value();
  if (index->is_kind_of(&Float_class)) {
    const double whole = std::trunc(static_cast<Float*>(index)->value());
    if (whole >= -1e18 && whole <= 1e18) return static_cast<long long>(whole);
  }
  throw_conversion_error(index, L"Integer", line);
}

long long array_position(Value* index, int line) {
  const long long position = index_number(index, line);
  if (position < 1) throw RuntimeError(L"array index must be positive number, got: " + print_form(index), line);
  return position;
}

// An array answers undefined past its end; a string has no characters there.
Value* element_of(Value* object, Value* index, int line) {
  if (object->is_kind_of(&Array_class)) {
    const auto* array = static_cast<Array*>(object);
    const long long position = array_position(index, line);
    if (position > static_cast<long long>(array->size())) return &undefined;
    Value* element = array->at(static_cast<std::size_t>(position - 1));
    return element ? element : &undefined;
  }
  if (object->is_kind_of(&String_class)) {
    const std::wstring& text = static_cast<String*>(object)->text();
    const long long position = index_number(index, line);
    if (position < 1 || position > static_cast<long long>(text.size()))
      throw RuntimeError(L"String index out of range: " + print_form(index), line);
    return new String(text.substr(static_cast<std::size_t>(position - 1), 1));
  }
  throw_no_function(L"get", object, line);
}

// Writing past the end grows the array with undefined up to the new element.
void put_element(Value* object, Value* index, Value* value, int line) {
  if (!object->is_kind_of(&Array_class)) throw_no_function(L"put", object, line);
  auto* array = static_cast<Array*>(object);
  const long long position = array_position(index, line);
  check_array_length(static_cast<std::size_t>(position), line);
  const auto slot = static_cast<std::size_t>(position - 1);
  if (slot >= array->size()) count_text(slot + 1 - array->size(), line);
  array->set_at(slot, value);
}

}  // namespace

Value* Index::eval(Evaluator& e) const {
  const Evaluated target(*object, e);
  const Evaluated position(*index, e);
  return element_of(target.get(), position.get(), line);
}

Value* IndexAssignment::eval(Evaluator& e) const {
  const Evaluated target(*object, e);
  const Evaluated position(*index, e);
  Value* result = value->eval(e);
  Rooted keep_result(result);
  if (compound) {
    Value* current = element_of(target.get(), position.get(), line);
    Rooted keep_current(current);
    result = apply_binary(op, current, result, line);
  }
  Rooted keep_combined(result);
  put_element(target.get(), position.get(), result, line);
  return result;
}

}  // namespace paravelle::host::script
