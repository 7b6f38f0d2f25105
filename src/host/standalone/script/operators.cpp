// Operators on values. Integers are 32-bit and wrap on overflow like the original's;
// an Integer meeting a Float gives a Float.

#include "operators.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cwchar>

#include "errors.h"
#include "nesting.h"
#include "values.h"

namespace paravelle::host::script {
namespace {

const wchar_t* symbol(BinaryOperator op) {
  switch (op) {
    case BinaryOperator::Add: return L"+";
    case BinaryOperator::Subtract: return L"-";
    case BinaryOperator::Multiply: return L"*";
    case BinaryOperator::Divide: return L"/";
    case BinaryOperator::Power: return L"^";
    case BinaryOperator::Equal: return L"==";
    case BinaryOperator::NotEqual: return L"!=";
    case BinaryOperator::Less: return L"<";
    case BinaryOperator::LessEqual: return L"<=";
    case BinaryOperator::Greater: return L">";
    case BinaryOperator::GreaterEqual: return L">=";
  }
  return L"?";
}

bool is_integer(Value* v) { return v->is_kind_of(&Integer_class); }
bool is_number(Value* v) { return is_integer(v) || v->is_kind_of(&Float_class); }
bool is_string(Value* v) { return v->is_kind_of(&String_class); }
int integer_of(Value* v) { return static_cast<Integer*>(v)->value(); }
double number_of(Value* v) { return is_integer(v) ? integer_of(v) : static_cast<Float*>(v)->value(); }
const std::wstring& text_of(Value* v) { return static_cast<String*>(v)->text(); }

int wrap(std::int64_t value) { return static_cast<int>(static_cast<std::uint32_t>(value)); }

// The left operand decides: a number takes only numbers, a string only strings (for `+`
// and comparisons); a value of another kind has no such operation.
[[noreturn]] void no_function(BinaryOperator op, Value* left, Value* right, int line) {
  if (is_integer(left)) throw_conversion_error(right, L"Integer", line);
  if (is_number(left)) throw_conversion_error(right, L"Float", line);
  const bool string_operation = op != BinaryOperator::Subtract && op != BinaryOperator::Multiply &&
                                op != BinaryOperator::Divide && op != BinaryOperator::Power;
  if (is_string(left) && string_operation) throw_conversion_error(right, L"String", line);
  throw_no_function(symbol(op), left, line);
}

// Whole powers wrap like the other integer operations; a negative power of an integer is
// the truncated quotient 1 / a^n, as integer division gives.
Value* integer_power(int base, int exponent, int line) {
  if (exponent < 0) {
    if (base == 0) throw RuntimeError(L"Divide by zero", line);
    if (base == 1 || base == -1) return new Integer(base == -1 && exponent % 2 != 0 ? -1 : 1);
    return new Integer(0);
  }
  std::uint32_t result = 1, factor = static_cast<std::uint32_t>(base);
  for (auto n = static_cast<std::uint32_t>(exponent); n; n >>= 1) {
    if (n & 1) result *= factor;
    factor *= factor;
  }
  return new Integer(static_cast<int>(result));
}

Value* integer_arithmetic(BinaryOperator op, int a, int b, int line) {
  switch (op) {
    case BinaryOperator::Add: return new Integer(wrap(std::int64_t{a} + b));
    case BinaryOperator::Subtract: return new Integer(wrap(std::int64_t{a} - b));
    case BinaryOperator::Multiply: return new Integer(wrap(std::int64_t{a} * b));
    case BinaryOperator::Power: return integer_power(a, b, line);
    default:
      if (b == 0) throw RuntimeError(L"Divide by zero", line);
      return new Integer(wrap(std::int64_t{a} / b));
  }
}

Value* float_arithmetic(BinaryOperator op, double a, double b, int line) {
  switch (op) {
    case BinaryOperator::Add: return new Float(a + b);
    case BinaryOperator::Subtract: return new Float(a - b);
    case BinaryOperator::Multiply: return new Float(a * b);
    case BinaryOperator::Power: return new Float(std::pow(a, b));
    default:
      if (b == 0) throw RuntimeError(L"Divide by zero", line);
      return new Float(a / b);
  }
}

// -1, 0 or 1; only numbers and strings are ordered.
int order(BinaryOperator op, Value* left, Value* right, int line) {
  if (is_number(left) && is_number(right)) {
    const double a = number_of(left), b = number_of(right);
    return a < b ? -1 : (a > b ? 1 : 0);
  }
  if (is_string(left) && is_string(right)) {
    const int c = text_of(left).compare(text_of(right));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  no_function(op, left, right, line);
}

// "12", " -3 ", "2.5", "1e3": a whole number literal, else nothing.
bool parse_number(const std::wstring& text, double& number, bool& integral) {
  const wchar_t* begin = text.c_str();
  wchar_t* end = nullptr;
  number = std::wcstod(begin, &end);
  if (end == begin) return false;
  while (*end == L' ' || *end == L'\t') ++end;
  if (*end != L'\0' || std::isnan(number) || std::isinf(number)) return false;
  integral = text.find_first_of(L".eE") == std::wstring::npos;
  return true;
}

Value* to_integer(Value* value, int line) {
  double number = 0;
  bool integral = false;
  if (is_integer(value)) return value;
  if (value->is_kind_of(&Float_class)) {
    number = number_of(value);
  } else if (value == &true_value || value == &false_value) {
    return new Integer(value == &true_value ? 1 : 0);
  } else if (is_string(value)) {
    // The original answers undefined for text that is not a number.
    if (!parse_number(text_of(value), number, integral)) return &undefined;
  } else {
    throw_conversion_error(value, L"Integer", line);
  }
  const double whole = std::trunc(number);
  if (!(whole >= INT_MIN && whole <= INT_MAX)) throw_conversion_error(value, L"Integer", line);
  return new Integer(static_cast<int>(whole));
}

Value* to_float(Value* value, int line) {
  double number = 0;
  bool integral = false;
  if (value->is_kind_of(&Float_class)) return value;
  if (is_integer(value)) return new Float(integer_of(value));
  if (value == &true_value || value == &false_value) return new Float(value == &true_value ? 1.0 : 0.0);
  if (!is_string(value)) throw_conversion_error(value, L"Float", line);
  if (!parse_number(text_of(value), number, integral)) return &undefined;
  return new Float(number);
}

// A number stays as it is; a string becomes an Integer or a Float by how it is written.
Value* to_number(Value* value, int line) {
  if (is_number(value)) return value;
  if (!is_string(value)) return to_integer(value, line);
  double number = 0;
  bool integral = false;
  if (!parse_number(text_of(value), number, integral)) return &undefined;
  if (integral && number >= INT_MIN && number <= INT_MAX) return new Integer(static_cast<int>(number));
  return new Float(number);
}

// "true" and "false" in any case; other text is not a boolean.
Value* to_boolean(Value* value, int line) {
  if (value->is_kind_of(&Boolean_class)) return value;
  if (is_string(value)) {
    const std::wstring text = fold_case(text_of(value));
    if (text == L"true") return &true_value;
    if (text == L"false") return &false_value;
  }
  throw_conversion_error(value, L"BooleanClass", line);
}

}  // namespace

bool values_equal(Value* left, Value* right) {
  if (left == right) return true;
  if (is_number(left) && is_number(right)) return number_of(left) == number_of(right);
  if (is_string(left) && is_string(right)) return text_of(left) == text_of(right);
  return false;
}

bool truth_of(Value* value, int line) {
  if (value == &true_value) return true;
  if (value == &false_value) return false;
  if (value->is_kind_of(&Boolean_class)) return value->to_bool();
  throw_conversion_error(value, L"Boolean", line);
}

Value* apply_binary(BinaryOperator op, Value* left, Value* right, int line) {
  switch (op) {
    case BinaryOperator::Equal: return bool_result(values_equal(left, right));
    case BinaryOperator::NotEqual: return bool_result(!values_equal(left, right));
    case BinaryOperator::Less: return bool_result(order(op, left, right, line) < 0);
    case BinaryOperator::LessEqual: return bool_result(order(op, left, right, line) <= 0);
    case BinaryOperator::Greater: return bool_result(order(op, left, right, line) > 0);
    case BinaryOperator::GreaterEqual: return bool_result(order(op, left, right, line) >= 0);
    default: break;
  }
  if (op == BinaryOperator::Add && is_string(left) && is_string(right)) {
    const std::size_t length = text_of(left).size() + text_of(right).size();
    check_string_length(length, line);
    count_text(length, line);
    return new String(text_of(left) + text_of(right));
  }
  if (!is_number(left) || !is_number(right)) no_function(op, left, right, line);
  if (is_integer(left) && is_integer(right)) return integer_arithmetic(op, integer_of(left), integer_of(right), line);
  return float_arithmetic(op, number_of(left), number_of(right), line);
}

Value* negate(Value* operand, int line) {
  if (is_integer(operand)) return new Integer(wrap(-std::int64_t{integer_of(operand)}));
  if (operand->is_kind_of(&Float_class)) return new Float(-number_of(operand));
  throw_no_function(L"-", operand, line);
}

Value* convert_as(Value* value, const std::wstring& target, int line) {
  const std::wstring type = fold_case(target);
  if (type == L"string") return new String(display_form(value));
  if (type == L"integer") return to_integer(value, line);
  if (type == L"float") return to_float(value, line);
  if (type == L"number") return to_number(value, line);
  if (type == L"booleanclass") return to_boolean(value, line);
  throw_conversion_error(value, target.c_str(), line);
}

}  // namespace paravelle::host::script
