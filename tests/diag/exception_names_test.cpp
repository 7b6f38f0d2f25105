#include "diag/exception_names.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace paravelle::diag {
namespace {

TEST(ExceptionNames, TableHasTheFifteenTrappedCodesAndTheirTexts) {
  const struct {
    std::uint32_t code;
    const char* name;
  } table[] = {
      {0xC0000005, "Access Violation"},       {0xC000008C, "Array Bounds Exceeded"},
      {0x80000002, "Datatype Misalignment"},  {0xC000008D, "Float Denormal Operand"},
      {0xC000008E, "Float Divide By Zero"},   {0xC000008F, "Float Inexact Result"},
      {0xC0000090, "Float Invalid Operation"}, {0xC0000091, "Float Overflow"},
      {0xC0000092, "Float Stack Check"},      {0xC000001D, "Illegal Instruction"},
      {0xC0000006, "In Page Error"},          {0xC0000094, "Integer Divide By Zero"},
      {0xC0000095, "Integer Overflow"},       {0xC0000096, "Privileged Instruction"},
      {0xC00000FD, "Stack Overflow"},
  };
  for (const auto& entry : table) {
    EXPECT_EQ(std::string(exception_name(entry.code)), entry.name) << std::hex << entry.code;
    EXPECT_TRUE(is_trapped_code(entry.code)) << std::hex << entry.code;
  }
}

TEST(ExceptionNames, OtherCodesAreUnknownAndNotTrapped) {
  // Float underflow, the thrown C++ exception, breakpoint, guard page, zero.
  for (std::uint32_t code : {0xC0000093u, 0xE06D7363u, 0x80000003u, 0x80000001u, 0u}) {
    EXPECT_STREQ(exception_name(code), "Unknown SEH Exception Code") << std::hex << code;
    EXPECT_FALSE(is_trapped_code(code)) << std::hex << code;
  }
}

}  // namespace
}  // namespace paravelle::diag
