#pragma once
// The plug-in's log: one plain-text file per host process, every entry flushed at once
// so the file is complete up to the last line even if the host dies right after it.

#include <fstream>
#include <optional>
#include <string>

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

// Opens (truncating) the log in the environment's folder. A failure leaves the stream
// in its failed state, which makes every later entry a silent no-op.
void open_log_file(std::ofstream& stream);

}  // namespace paravelle::diag
