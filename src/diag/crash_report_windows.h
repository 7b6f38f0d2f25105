#pragma once
// The crash report's facts on Windows: the exception record and context, the Toolhelp
// module list, the module file's last-write time, and the IsBadReadPtr/IsBadCodePtr guards.

#include <cstddef>

struct _EXCEPTION_POINTERS;

namespace paravelle::diag::windows {

// Writes the report of the exception being dispatched into buffer (terminated) and
// returns its length. Runs inside an exception filter, possibly with a nearly exhausted
// stack (a stack overflow), so its working memory is per thread rather than on the stack.
std::size_t write_crash_report_for(const _EXCEPTION_POINTERS* pointers, char* buffer,
                                   std::size_t capacity);

}  // namespace paravelle::diag::windows
