// The standalone host's folder for data shared by all its users: what the common
// application-data folder is on Windows. Chosen by, in order: $PARAVELLE_DATA_DIR,
// $XDG_DATA_HOME/paravelle, $HOME/.local/share/paravelle (the home folder from the user
// database when HOME is unset). Empty variables count as unset, and a relative
// XDG_DATA_HOME is ignored as the XDG rules ask.

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "host/files.h"
#include "host/standalone/file_errors.h"
#include "host/standalone/wide_text.h"

namespace paravelle::host::files {
namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string home_folder() {
  if (std::string home = environment("HOME"); !home.empty()) return home;
  const passwd* user = ::getpwuid(::getuid());
  return user && user->pw_dir ? user->pw_dir : "";
}

std::string data_folder() {
  if (std::string folder = environment("PARAVELLE_DATA_DIR"); !folder.empty()) return folder;
  if (std::string xdg = environment("XDG_DATA_HOME"); !xdg.empty() && xdg.front() == '/') {
    return xdg + "/paravelle";
  }
  const std::string home = home_folder();
  return home.empty() ? "" : home + "/.local/share/paravelle";
}

std::wstring backslash_path(const std::string& native) {
  std::wstring wide = host::standalone::wide_text::from_utf8(native);
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  while (wide.size() > 1 && wide.back() == L'\\') wide.pop_back();
  return wide;
}

}  // namespace

// Empty with the last error set when there is no folder to give, as a failed folder
// query leaves the caller an empty text.
std::wstring common_app_data_folder() {
  const std::string folder = data_folder();
  if (folder.empty()) {
    detail::fail(ERROR_PATH_NOT_FOUND);
    return {};
  }
  if (!host::standalone::wide_text::is_utf8(folder)) {
    detail::fail(ERROR_INVALID_NAME);
    return {};
  }
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error || !std::filesystem::is_directory(folder, error)) {
    detail::fail(error ? detail::from_errno(error.value()) : ERROR_PATH_NOT_FOUND);
    return {};
  }
  return backslash_path(folder);
}

}  // namespace paravelle::host::files
