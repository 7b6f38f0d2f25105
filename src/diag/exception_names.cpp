#include "diag/exception_names.h"

#include <iterator>

namespace paravelle::diag {
namespace {

struct named_code {
  std::uint32_t code;
  const char* name;
};

constexpr named_code kNames[] = {
    {seh_code::kAccessViolation, "Access Violation"},
    {seh_code::kArrayBoundsExceeded, "Array Bounds Exceeded"},
    {seh_code::kDatatypeMisalignment, "Datatype Misalignment"},
    {seh_code::kFltDenormalOperand, "Float Denormal Operand"},
    {seh_code::kFltDivideByZero, "Float Divide By Zero"},
    {seh_code::kFltInexactResult, "Float Inexact Result"},
    {seh_code::kFltInvalidOperation, "Float Invalid Operation"},
    {seh_code::kFltOverflow, "Float Overflow"},
    {seh_code::kFltStackCheck, "Float Stack Check"},
    {seh_code::kIllegalInstruction, "Illegal Instruction"},
    {seh_code::kInPageError, "In Page Error"},
    {seh_code::kIntDivideByZero, "Integer Divide By Zero"},
    {seh_code::kIntOverflow, "Integer Overflow"},
    {seh_code::kPrivInstruction, "Privileged Instruction"},
    {seh_code::kStackOverflow, "Stack Overflow"},
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
