#pragma once
// The plug-in's log: one plain-text file per host process, every entry flushed at once
// so the file is complete up to the last line even if the host dies right after it.

#include <fstream>
#include <optional>
#include <string>

#include "diag/log_lock.h"

namespace paravelle::diag {

// The process-wide log stream (defined with the library's other static objects).
// Writers insert into it and end each entry with std::endl.
extern std::ofstream log_file;

// Writes one entry: the text, a line end, a flush.
void log_line(const std::string& text);

// The folder the log goes to: TMP, else TMPDIR, else USERPROFILE; the first that is
// defined counts even when empty. PATH is never taken: it is a list, not a folder.
std::optional<std::wstring> log_folder_from_environment();

// The log's path in a folder, as a backslash path: "<folder>\paravelle.log", or the bare
// name for an empty folder.
std::wstring log_file_path(const std::wstring& folder);

// The log's native path in the environment's folder. A value in UTF-8 is a host path like
// any other; a value that is not valid UTF-8 still names a folder, by its bytes as they
// are. Nothing when none of the variables is set.
std::optional<std::string> log_native_path_from_environment();

// The log's native path: in the environment's folder, else in the platform's temporary folder,
// which is then said once on standard error (none of the variables is set on many Linux machines,
// and a node without a log is one nobody can diagnose).
std::string log_native_path();

// Opens the log (log_native_path) for appending, emptied first unless another
// running node holds it (log_lock.h). A failure leaves the stream in its failed state,
// which makes every later entry a silent no-op, and says so once on standard error. The
// returned lock must live as long as the stream.
[[nodiscard]] LogLock open_log_file(std::ofstream& stream);

}  // namespace paravelle::diag
