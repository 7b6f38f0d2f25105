#include "host/standalone/file_paths.h"

#include <sys/stat.h>

#include <string_view>

#include "host/files.h"
#include "host/standalone/wide_text.h"

namespace paravelle::host::files::detail {
namespace {

bool drive_prefix(const std::wstring& path) {
  if (path.size() < 2 || path[1] != L':') return false;
  const wchar_t letter = path[0];
  return (letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z');
}

bool forbidden_character(const std::wstring& path) {
  constexpr std::wstring_view kForbidden = L"<>:\"|?*";
  const std::size_t start = drive_prefix(path) ? 2 : 0;
  for (std::size_t i = start; i < path.size(); ++i) {
    if (path[i] < 32 || kForbidden.find(path[i]) != std::wstring_view::npos) return true;
  }
  return false;
}

bool stat_directory(const std::string& native) {
  struct stat status {};
  return ::stat(native.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

bool convert(const std::wstring& path, std::string& native) {
  if (path.find(L'\0') != std::wstring::npos || !host::standalone::wide_text::is_utf16(path)) return false;
  native = host::standalone::wide_text::to_utf8(path);
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return true;
}

NativeName checked_native(const std::wstring& path) {
  NativeName name;
  if (path.empty()) {
    name.error = ERROR_PATH_NOT_FOUND;
  } else if (!convert(path, name.path) || forbidden_character(path)) {
    name.error = ERROR_INVALID_NAME;
  }
  return name;
}

std::string parent_folder(const std::string& native) {
  std::size_t end = native.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  const std::size_t slash = native.find_last_of('/', end);
  if (slash == std::string::npos) return ".";
  end = native.find_last_not_of('/', slash);
  return end == std::string::npos ? "/" : native.substr(0, end + 1);
}

bool is_directory(const std::string& native) { return stat_directory(native); }

std::uint32_t network_error(const std::string& native) {
  if (native.size() < 3 || native.compare(0, 2, "//") != 0 || native[2] == '/') return 0;
  const std::size_t server_end = native.find('/', 2);
  if (!stat_directory(native.substr(0, server_end))) return ERROR_BAD_NETPATH;
  if (server_end == std::string::npos || server_end + 1 == native.size()) return 0;
  const std::size_t share_end = native.find('/', server_end + 1);
  return stat_directory(native.substr(0, share_end)) ? 0 : ERROR_BAD_NET_NAME;
}

}  // namespace paravelle::host::files::detail
