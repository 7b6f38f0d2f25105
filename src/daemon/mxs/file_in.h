#pragma once
// Running a script file.

#include <string>

#include "host/maxscript_runtime.h"

namespace mxs {

// Evaluates the script file at `path` and returns its value (unrooted, as eval_stream's).
// A missing or unreadable file and a script error are std::runtime_error.
Value* file_in(const std::wstring& path);

}  // namespace mxs
