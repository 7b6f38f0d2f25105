#include "diag/log_file.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <utf8.h>

#include "host/files.h"
#include "transport/text.h"

namespace paravelle::diag {
namespace {

// The one place a node without a log can tell anyone; C's stream works even while the
// library's static objects are still being made.
void say_on_stderr(const std::string& what) {
  std::fprintf(stderr, "paravelle: %s; the node runs without a log\n", what.c_str());
}

}  // namespace

void log_line(const std::string& text) { log_file << text << std::endl; }

std::optional<std::wstring> log_folder_from_environment() {
  for (const char* name : {"TMP", "TMPDIR", "USERPROFILE"}) {
    if (const char* value = std::getenv(name)) return convert_multibyte_to_wide_string(value, kCodePageUtf8);
  }
  return std::nullopt;
}

std::wstring log_file_path(const std::wstring& folder) {
  std::wstring path = folder;
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path + L"paravelle.log";
}

std::optional<std::string> log_native_path_from_environment() {
  for (const char* name : {"TMP", "TMPDIR", "USERPROFILE"}) {
    const char* value = std::getenv(name);
    if (!value) continue;
    const std::string bytes(value);
    if (utf8::is_valid(bytes.begin(), bytes.end()))
      return host::files::native_path(log_file_path(convert_multibyte_to_wide_string(value, kCodePageUtf8)));
    return bytes + (bytes.empty() || bytes.back() == '/' ? "" : "/") + "paravelle.log";
  }
  return std::nullopt;
}

std::string log_native_path() {
  if (std::optional<std::string> path = log_native_path_from_environment()) return *path;
  // Common on Linux, where none of the three need be set: the platform's temporary folder serves.
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::temp_directory_path(error);
  const std::string path = ((error ? std::filesystem::path("/tmp") : folder) / "paravelle.log").string();
  std::fprintf(stderr, "paravelle: none of TMP, TMPDIR and USERPROFILE is set; the log goes to %s\n", path.c_str());
  return path;
}

LogLock open_log_file(std::ofstream& stream) {
  const std::string path = log_native_path();
  std::error_code error;
  LogLock lock = LogLock::claim(path, error);
  if (lock.held()) stream.open(path, std::ios::out | std::ios::app);
  if (stream.is_open()) {
    stream.clear();
    return lock;
  }
  stream.setstate(std::ios::failbit);
  say_on_stderr("cannot open the log file " + path + ": " + (error ? error.message() : "the stream refused it"));
  return {};
}

}  // namespace paravelle::diag
