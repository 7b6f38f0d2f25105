#include "host/standalone/file_errors.h"

#include <cerrno>
#include <string_view>

#include "host/files.h"

namespace paravelle::host::files {
namespace {

thread_local std::uint32_t thread_last_error = 0;

struct ErrorText {
  std::uint32_t number;
  std::wstring_view text;
};

// The system's own wording, so farm logs read as they do on Windows machines.
constexpr ErrorText kErrorTexts[] = {
    {0, L"The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, L"The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, L"The system cannot find the path specified."},
    {detail::ERROR_TOO_MANY_OPEN_FILES, L"The system cannot open the file."},
    {ERROR_ACCESS_DENIED, L"Access is denied."},
    {detail::ERROR_NOT_ENOUGH_MEMORY, L"Not enough memory resources are available to process this command."},
    {detail::ERROR_NOT_SAME_DEVICE, L"The system cannot move the file to a different disk drive."},
    {detail::ERROR_SHARING_VIOLATION,
     L"The process cannot access the file because it is being used by another process."},
    {ERROR_BAD_NETPATH, L"The network path was not found."},
    {ERROR_BAD_NET_NAME, L"The network name cannot be found."},
    {detail::ERROR_FILE_EXISTS, L"The file exists."},
    {detail::ERROR_DISK_FULL, L"There is not enough space on the disk."},
    {ERROR_INVALID_NAME, L"The filename, directory name, or volume label syntax is incorrect."},
    {detail::ERROR_DIR_NOT_EMPTY, L"The directory is not empty."},
    {detail::ERROR_FILE_TOO_LARGE, L"The file size exceeds the limit allowed and cannot be saved."},
    {ERROR_ALREADY_EXISTS, L"Cannot create a file when that file already exists."},
    {detail::ERROR_IO_DEVICE, L"The request could not be performed because of an I/O device error."},
    {detail::ERROR_CANT_RESOLVE_FILENAME, L"The name of the file cannot be resolved by the system."},
};

}  // namespace

std::uint32_t last_error() { return thread_last_error; }

void set_last_error(std::uint32_t error) { thread_last_error = error; }

// Like the system's message table, each text ends with CR LF; a number without a text
// gives the empty text, as a failed message lookup does.
std::wstring error_text(std::uint32_t error) {
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.number == error) return std::wstring(entry.text) + L"\r\n";
  }
  return {};
}

namespace detail {

std::uint32_t from_errno(int error) {
  switch (error) {
    case 0: return 0;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
    case EINVAL:
    case EILSEQ: return ERROR_INVALID_NAME;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case EBUSY:
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    default: return ERROR_IO_DEVICE;
  }
}

bool fail(std::uint32_t error) {
  thread_last_error = error;
  return false;
}

}  // namespace detail
}  // namespace paravelle::host::files
