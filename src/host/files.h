#pragma once
// The host's file layer. Paths are wide backslash texts as the plug-in keeps them;
// the layer turns them into native paths. Failures carry Windows-style error numbers
// so the plug-in tests them the same way on every platform.

#include <cstdint>
#include <string>

namespace paravelle::host::files {

// Windows-style error numbers the plug-in tells apart.
constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
constexpr std::uint32_t ERROR_BAD_NETPATH = 53;
constexpr std::uint32_t ERROR_BAD_NET_NAME = 67;
constexpr std::uint32_t ERROR_ALREADY_EXISTS = 183;
constexpr std::uint32_t ERROR_INVALID_NAME = 123;

constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
// Not a file of data: a device, a pipe or a socket.
constexpr std::uint32_t FILE_ATTRIBUTE_DEVICE = 0x40;

// The native path of a wide backslash path (UTF-8, '/' separators).
std::string native_path(const std::wstring& path);

// Each returns true on success; on failure the calling thread's last error is set.
bool copy_file(const std::wstring& source, const std::wstring& destination, bool overwrite);
bool delete_file(const std::wstring& path);
// Gives a file a new name in one step, replacing a file (never a folder) that has it, as
// MoveFileEx with MOVEFILE_REPLACE_EXISTING does; both names on one volume.
bool move_file(const std::wstring& source, const std::wstring& destination);
bool create_directory(const std::wstring& path);
bool file_attributes(const std::wstring& path, std::uint32_t& attributes);

// The calling thread's last error number, and the system's text for a number.
std::uint32_t last_error();
void set_last_error(std::uint32_t error);
std::wstring error_text(std::uint32_t error);

// The folder for data shared by all users of the host (created if missing).
std::wstring common_app_data_folder();

}  // namespace paravelle::host::files
