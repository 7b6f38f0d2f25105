#pragma once
// Whether a path names an existing file (not a folder), telling "absent" apart from
// "cannot tell".

#include <cstdint>
#include <string>

namespace paravelle::render {

// True for an existing file that is not a directory; false when the file, its folder,
// its network path or a valid name is missing. Any other failure to read the attributes
// (no access, a broken link chain, ...) raises FileError with the host's error number: guessing "absent"
// there could make a caller overwrite or skip a file it cannot see.
bool file_exists(const std::wstring& path);

// Whether a last-error number of the host's file layer says the thing is not there (the
// file, its folder, its network path, or a valid name), rather than that it cannot be seen.
bool means_absent(std::uint32_t error);

}  // namespace paravelle::render
