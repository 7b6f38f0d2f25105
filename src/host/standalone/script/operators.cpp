// Operators on values. Integers are 32-bit and wrap on overflow like the original's;
// an Integer meeting a Float gives a Float.

#include "operators.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cwchar>

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
    case BinaryOperator::Equal: return L"==";
    case BinaryOperator::NotEqual: return L"!=";
    case BinaryOperator::Less: return L"<";
    case BinaryOperator::LessEqual: return L"<=";
    case BinaryOperator::Greater: return L">";
    case BinaryOperator::GreaterEqual: return L">=";
  }
  return L"?";
}

[[noreturn]] void no_function(BinaryOperator op, Value* left, Value* right, int line) {
  throw RuntimeError(
      std::wstring(L"No \"") + symbol(op) + L"\" function for " + print_form(left) + L" and " + print_form(right),
      line);
}

bool is_integer(Value* v) { return v->is_kind_of(&Integer_class); }
bool is_number(Value* v) { return is_integer(v) || v->is_kind_of(&Float_class); }
bool is_string(Value* v) { return v->is_kind_of(&String_class); }
int integer_of(Value* v) { return static_cast<Integer*>(v)->value(); }
double number_of(Value* v) { return is_integer(v) ? integer_of(v) : static_cast<Float*>(v)->value(); }
const std::wstring& text_of(Value* v) { return static_cast<String*>(v)->text(); }

int wrap(std::int64_t value) { return static_cast<int>(static_cast<std::uint32_t>(value)); }

Value* integer_arithmetic(BinaryOperator op, int a, int b, int line) {
  switch (op) {
    case BinaryOperator::Add: return new Integer(wrap(std::int64_t{a} + b));
    case BinaryOperator::Subtract: return new Integer(wrap(std::int64_t{a} - b));
    case BinaryOperator::Multiply: return new Integer(wrap(std::int64_t{a} * b));
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
  throw_conversion_error(value, L"BooleanClass", line);
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
  throw RuntimeError(L"No \"-\" function for " + print_form(operand), line);
}

Value* convert_as(Value* value, const std::wstring& target, int line) {
  const std::wstring type = fold_case(target);
  if (type == L"string") return new String(display_form(value));
  if (type == L"integer") return to_integer(value, line);
  if (type == L"float") return to_float(value, line);
  throw_conversion_error(value, target.c_str(), line);
}

}  // namespace paravelle::host::script
