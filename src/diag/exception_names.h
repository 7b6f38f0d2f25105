#pragma once
// The exception codes a trap knows, with the names that go into trap texts. The codes
// are the Windows structured-exception codes on every platform: the farm and the crash
// reports speak of "Access Violation" and C0000005 whether a node runs on Windows or
// Linux (the Linux trap maps each signal onto one of these codes).

#include <cstdint>

namespace paravelle::diag {

namespace seh_code {
inline constexpr std::uint32_t kAccessViolation = 0xC0000005;
inline constexpr std::uint32_t kArrayBoundsExceeded = 0xC000008C;
inline constexpr std::uint32_t kDatatypeMisalignment = 0x80000002;
inline constexpr std::uint32_t kFltDenormalOperand = 0xC000008D;
inline constexpr std::uint32_t kFltDivideByZero = 0xC000008E;
inline constexpr std::uint32_t kFltInexactResult = 0xC000008F;
inline constexpr std::uint32_t kFltInvalidOperation = 0xC0000090;
inline constexpr std::uint32_t kFltOverflow = 0xC0000091;
inline constexpr std::uint32_t kFltStackCheck = 0xC0000092;
inline constexpr std::uint32_t kIllegalInstruction = 0xC000001D;
inline constexpr std::uint32_t kInPageError = 0xC0000006;
inline constexpr std::uint32_t kIntDivideByZero = 0xC0000094;
inline constexpr std::uint32_t kIntOverflow = 0xC0000095;
inline constexpr std::uint32_t kPrivInstruction = 0xC0000096;
inline constexpr std::uint32_t kStackOverflow = 0xC00000FD;

// Not handled by a trap: they continue to outer handlers.
inline constexpr std::uint32_t kFltUnderflow = 0xC0000093;
// What the original platform raises for a thrown C++ exception ("msc" in ASCII).
inline constexpr std::uint32_t kCppException = 0xE06D7363;
}  // namespace seh_code

// The name of a code as trap texts show it; "Unknown SEH Exception Code" for any code
// outside the table (the float underflow code among them).
const char* exception_name(std::uint32_t code);

// True for the fifteen codes of the table: the ones a trap handles. Every other code
// continues to outer handlers.
bool is_trapped_code(std::uint32_t code);

}  // namespace paravelle::diag
