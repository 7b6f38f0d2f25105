#include "diag/exception_names.h"

#include <iterator>

namespace paravelle::diag {
namespace {

struct named_code {
  std::uint32_t code;
  const char* name;
};

constexpr named_code kNames[] = {
    {seh_code::access_violation, "Access Violation"},
    {seh_code::array_bounds_exceeded, "Array Bounds Exceeded"},
    {seh_code::datatype_misalignment, "Datatype Misalignment"},
    {seh_code::flt_denormal_operand, "Float Denormal Operand"},
    {seh_code::flt_divide_by_zero, "Float Divide By Zero"},
    {seh_code::flt_inexact_result, "Float Inexact Result"},
    {seh_code::flt_invalid_operation, "Float Invalid Operation"},
    {seh_code::flt_overflow, "Float Overflow"},
    {seh_code::flt_stack_check, "Float Stack Check"},
    {seh_code::illegal_instruction, "Illegal Instruction"},
    {seh_code::in_page_error, "In Page Error"},
    {seh_code::int_divide_by_zero, "Integer Divide By Zero"},
    {seh_code::int_overflow, "Integer Overflow"},
    {seh_code::priv_instruction, "Privileged Instruction"},
    {seh_code::stack_overflow, "Stack Overflow"},
};

const named_code* find(std::uint32_t code) {
  for (const named_code& entry : kNames) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

}  // namespace

const char* exception_name(std::uint32_t code) {
  const named_code* entry = find(code);
  return entry != nullptr ? entry->name : "Unknown SEH Exception Code";
}

bool is_trapped_code(std::uint32_t code) { return find(code) != nullptr; }

}  // namespace paravelle::diag
