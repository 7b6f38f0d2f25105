#pragma once
// The crash report's facts on Windows: the exception record and context, the Toolhelp
// module list, the module file's last-write time, and the IsBadReadPtr/IsBadCodePtr guards.

#include <cstddef>

#include "diag/crash_report.h"

struct _EXCEPTION_POINTERS;

namespace paravelle::diag::windows {

// Writes the report of the exception being dispatched into buffer (terminated) and
// returns its length. Runs inside an exception filter, possibly with a nearly exhausted
// stack (a stack overflow), so its working memory is per thread rather than on the stack.
std::size_t write_crash_report_for(const _EXCEPTION_POINTERS* pointers, char* buffer, std::size_t capacity);

// The facts of the exception being dispatched, copied out of its record and context.
FaultRecord fault_record_of(const _EXCEPTION_POINTERS* pointers);

// The report of a fault known by its facts: one copied out while it was dispatched, or a
// C++ exception that left a trap.
std::size_t write_crash_report_of(const FaultRecord& fault, char* buffer, std::size_t capacity);

}  // namespace paravelle::diag::windows
