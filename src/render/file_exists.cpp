#include "render/file_exists.h"

#include <cstdint>
#include <stdexcept>

#include "host/files.h"
#include "render/output_files.h"
#include "transport/text.h"

namespace paravelle::render {

bool means_absent(std::uint32_t error) {
  switch (error) {
    case host::files::ERROR_FILE_NOT_FOUND:
    case host::files::ERROR_PATH_NOT_FOUND:
    case host::files::ERROR_BAD_NETPATH:
    case host::files::ERROR_BAD_NET_NAME:
    case host::files::ERROR_INVALID_NAME:
      return true;
    default:
      return false;
  }
}

bool file_exists(const std::wstring& path) {
  std::uint32_t attributes = 0;
  if (host::files::file_attributes(path, attributes))
    return (attributes & host::files::FILE_ATTRIBUTE_DIRECTORY) == 0;
  const std::uint32_t error = host::files::last_error();
  if (means_absent(error)) return false;
  throw FileError("file_exists: Could not get the file attributes of \"" + to_string(path) + "\"",
                  {static_cast<int>(error), host_file_category()});
}

}  // namespace paravelle::render
