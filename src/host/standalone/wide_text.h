#pragma once
// UTF-8 <-> wide text (UTF-16 code units, one per wchar_t) for the standalone host's
// own files: scene files, path configurations, log entries.

#include <string>

namespace host::standalone::wide_text {

// Throws std::runtime_error on invalid UTF-8.
std::wstring from_utf8(const std::string& bytes);
// For texts that must reach a reader whatever they hold (error messages, library texts):
// each invalid sequence becomes U+FFFD and everything else is kept.
std::wstring from_utf8_replacing(const std::string& bytes);
// An unpaired surrogate becomes '?', so a message is never lost to a bad character; every
// other character is kept.
std::string to_utf8(const std::wstring& wide);

}  // namespace host::standalone::wide_text
