#pragma once
// Arithmetic, comparison and `as` conversion of values.

#include <string>

#include "ast.h"

namespace paravelle::host::script {

Value* apply_binary(BinaryOperator op, Value* left, Value* right, int line);
Value* negate(Value* operand, int line);
bool values_equal(Value* left, Value* right);
// `value as <target>`: string, integer, float (case-insensitive).
Value* convert_as(Value* value, const std::wstring& target, int line);
// A Boolean's truth; anything else is a conversion error at `line`.
bool truth_of(Value* value, int line);

}  // namespace paravelle::host::script
