#pragma once
// Wide backslash paths as the plug-in keeps them, turned into native paths, with the
// checks that make a bad name fail the way it fails on Windows.

#include <cstdint>
#include <string>

namespace paravelle::host::files::detail {

// A native path, or the Windows error number that the name alone already earns.
struct NativeName {
  std::string path;
  std::uint32_t error = 0;
};

// Converts and checks a name for a file operation: empty → path not found; embedded NUL,
// invalid UTF-16, control characters or <>:"|?* outside a drive prefix → invalid name.
NativeName checked_native(const std::wstring& path);

// UTF-8 of UTF-16 code units with every '\' turned into '/'; false when the units are
// not valid UTF-16 or hold a NUL, which no native name can carry.
bool convert(const std::wstring& path, std::string& native);

// The folder holding a native path (trailing separators ignored); "." when it has none.
std::string parent_folder(const std::string& native);

bool is_directory(const std::string& native);

// For a //server/share/... path: bad network path (53) when the server is not there, bad
// network name (67) when the share is not; 0 for any other path or when both exist.
std::uint32_t network_error(const std::string& native);

}  // namespace paravelle::host::files::detail
