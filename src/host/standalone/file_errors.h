#pragma once
// Windows error numbers for the host's file layer: errno translated, the calling
// thread's last error, and the system's wording of each number.

#include <cstdint>
#include <string>

namespace paravelle::host::files::detail {

// Numbers beyond those the plug-in tells apart, used where errno has a closer match.
constexpr std::uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr std::uint32_t ERROR_NOT_SAME_DEVICE = 17;
constexpr std::uint32_t ERROR_SHARING_VIOLATION = 32;
constexpr std::uint32_t ERROR_FILE_EXISTS = 80;
constexpr std::uint32_t ERROR_DISK_FULL = 112;
constexpr std::uint32_t ERROR_DIR_NOT_EMPTY = 145;
constexpr std::uint32_t ERROR_FILE_TOO_LARGE = 223;
constexpr std::uint32_t ERROR_IO_DEVICE = 1117;
constexpr std::uint32_t ERROR_CANT_RESOLVE_FILENAME = 1921;

// The Windows number closest to an errno value. ENOENT is answered by the caller, which
// knows whether the file or its folder is missing.
std::uint32_t from_errno(int error);

// Sets the calling thread's last error and returns false, for `return fail(n);`.
bool fail(std::uint32_t error);

}  // namespace paravelle::host::files::detail
