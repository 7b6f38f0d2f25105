#pragma once
// The exception codes a trap knows, with the names that go into trap texts. The codes
// are the Windows structured-exception codes on every platform: the farm and the crash
// reports speak of "Access Violation" and C0000005 whether a node runs on Windows or
// Linux (the Linux trap maps each signal onto one of these codes).

#include <cstdint>

namespace paravelle::diag {

namespace seh_code {
inline constexpr std::uint32_t access_violation = 0xC0000005;
inline constexpr std::uint32_t array_bounds_exceeded = 0xC000008C;
inline constexpr std::uint32_t datatype_misalignment = 0x80000002;
inline constexpr std::uint32_t flt_denormal_operand = 0xC000008D;
inline constexpr std::uint32_t flt_divide_by_zero = 0xC000008E;
inline constexpr std::uint32_t flt_inexact_result = 0xC000008F;
inline constexpr std::uint32_t flt_invalid_operation = 0xC0000090;
inline constexpr std::uint32_t flt_overflow = 0xC0000091;
inline constexpr std::uint32_t flt_stack_check = 0xC0000092;
inline constexpr std::uint32_t illegal_instruction = 0xC000001D;
inline constexpr std::uint32_t in_page_error = 0xC0000006;
inline constexpr std::uint32_t int_divide_by_zero = 0xC0000094;
inline constexpr std::uint32_t int_overflow = 0xC0000095;
inline constexpr std::uint32_t priv_instruction = 0xC0000096;
inline constexpr std::uint32_t stack_overflow = 0xC00000FD;

// Not handled by a trap: they continue to outer handlers.
inline constexpr std::uint32_t flt_underflow = 0xC0000093;
// What the original platform raises for a thrown C++ exception ("msc" in ASCII).
inline constexpr std::uint32_t cpp_exception = 0xE06D7363;
}  // namespace seh_code

// The name of a code as trap texts show it; "Unknown SEH Exception Code" for any code
// outside the table (the float underflow code among them).
const char* exception_name(std::uint32_t code);

// True for the fifteen codes of the table: the ones a trap handles. Every other code
// continues to outer handlers.
bool is_trapped_code(std::uint32_t code);

}  // namespace paravelle::diag
