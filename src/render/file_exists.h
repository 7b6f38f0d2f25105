#pragma once
// Whether a path names an existing file (not a folder), telling "absent" apart from
// "cannot tell".

#include <string>

namespace paravelle::render {

// True for an existing file that is not a directory; false when the file, its folder,
// its network path or a valid name is missing. Any other failure to read the attributes
// (no access, a broken link chain, ...) raises std::runtime_error: guessing "absent"
// there could make a caller overwrite or skip a file it cannot see.
bool file_exists(const std::wstring& path);

}  // namespace paravelle::render
