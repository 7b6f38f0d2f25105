#include "diag/log_file.h"

#include <cstdlib>

#include "host/files.h"
#include "transport/text.h"

namespace paravelle::diag {

void log_line(const std::string& text) { log_file << text << std::endl; }

std::optional<std::wstring> log_folder_from_environment() {
  for (const char* name : {"TMP", "TMPDIR", "USERPROFILE"}) {
    if (const char* value = std::getenv(name))
      return convert_multibyte_to_wide_string(value, code_page_utf8);
  }
  return std::nullopt;
}

std::wstring log_file_path(const std::wstring& folder) {
  std::wstring path = folder;
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path + L"paravelle.log";
}

void open_log_file(std::ofstream& stream) {
  const std::optional<std::wstring> folder = log_folder_from_environment();
  if (!folder) {
    stream.setstate(std::ios::failbit);
    return;
  }
  stream.open(host::files::native_path(log_file_path(*folder)), std::ios::out | std::ios::trunc);
  if (stream.is_open())
    stream.clear();
  else
    stream.setstate(std::ios::failbit);
}

}  // namespace paravelle::diag
