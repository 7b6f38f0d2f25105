#pragma once
// Rendered bitmaps into files where the farm expects them: the frame's names, missing
// folders, the host's bitmap output (the format follows the extension), region renders
// with their padding cut off, the JPEG copy, and local rendering through the temp
// folder. Log lines go to the log and the farm. Failures are std::runtime_error; those of
// the host's file layer are FileError, which keeps the host's error number.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>

#include "host/bitmap.h"
#include "job/job_state.h"
#include "transport/simple_socket.h"

namespace paravelle::render {

// A file operation the host refused. The text is what the farm is told; the host's error
// number (a Windows error number on every platform) stays with it as data.
class FileError : public std::runtime_error {
 public:
  FileError(const std::string& text, std::error_code code) : std::runtime_error(text), code_(code) {}
  const std::error_code& code() const noexcept { return code_; }

 private:
  std::error_code code_;
};

// The host file layer's error numbers; message() is the host's text for the number.
const std::error_category& host_file_category();

// '/' to '\', doubled backslashes collapsed, a leading network pair kept.
std::wstring NormalizePath(const std::wstring& path);
// The name with the frame number (4 digits at least) between its stem and extension.
std::wstring FrameOutputName(const std::wstring& name, std::int32_t number);

// Creates the folder of the description's file when it is missing.
void CreateOutputPath(const BitmapInfo& info, win32::simple_socket& connection);
// Creates a folder and its missing parents; results are not looked at.
void CreateDirectories(const std::wstring& path);
// True when the path names an existing folder; false when nothing (or a file) has that
// name; FileError when the host cannot tell (no access, a broken path).
bool directory_exists(const std::wstring& path);

// Writes the bitmap under the description's name and records in writtenOutputFiles the
// file that was written (with its companion "A_" file when there is one).
void WriteOutputFile(job::JobState& state, Bitmap* bitmap, BitmapInfo& info, win32::simple_socket& connection);
// The region without its padding, then as WriteOutputFile. A size that does not fit the
// host's 16-bit image sides is refused.
void WriteRegionOutput(job::JobState& state, Bitmap* bitmap, BitmapInfo& info, win32::simple_socket& connection);
// A JPEG copy in jpegOutputPath (glued to the file name as given); not recorded.
void WriteJpegOutput(job::JobState& state, Bitmap* bitmap, const BitmapInfo& info, win32::simple_socket& connection);

// Copies a locally rendered file to its destination: ten attempts with growing waits
// (through the host's sleep), alternate names from the sixth attempt when useAltOutput.
// The copy lands under a temporary name in the destination folder and is renamed into
// place, so nobody sees a partial file under the final name. Returns the name actually
// written (the destination or an alternate); FileError "Failed to save <destination>:
// <last system message>" when every attempt failed.
std::wstring SaveWithRetry(const job::JobState& state, const std::wstring& source, const std::wstring& destination,
                           win32::simple_socket& connection);

// Whether a path names an existing file, telling "absent" apart from "cannot tell": true
// for an existing file that is not a directory; false when the file, its folder, its
// network path or a valid name is missing. Any other failure to read the attributes (no
// access, a broken link chain, ...) raises FileError with the host's error number:
// guessing "absent" there could make a caller overwrite or skip a file it cannot see.
bool file_exists(const std::wstring& path);

// Whether a last-error number of the host's file layer says the thing is not there (the
// file, its folder, its network path, or a valid name), rather than that it cannot be seen.
bool means_absent(std::uint32_t error);

}  // namespace paravelle::render
