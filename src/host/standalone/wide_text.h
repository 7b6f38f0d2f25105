#pragma once
// Every conversion between UTF-8 and wide text (UTF-16 code units, one per wchar_t) of the
// standalone host and the programs built on it: scene files, path configurations, native
// file names, script files, log entries, command lines. The plug-in keeps its own
// conversions, as it would beside a host that is not this one.

#include <string>

namespace paravelle::host::standalone::wide_text {

// Throws std::runtime_error on invalid UTF-8.
std::wstring from_utf8(const std::string& bytes);
// For texts that must reach a reader whatever they hold (error messages, library texts):
// each invalid sequence becomes U+FFFD and everything else is kept.
std::wstring from_utf8_replacing(const std::string& bytes);
// An unpaired surrogate, or a unit that is not UTF-16 (above 0xFFFF), becomes '?', so a
// message is never lost to a bad character; every other character is kept.
std::string to_utf8(const std::wstring& wide);

bool is_utf8(const std::string& bytes);
// Every unit 0xFFFF or below, every surrogate in a high-low pair.
bool is_utf16(const std::wstring& wide);

// A text file's bytes as text: UTF-16LE after its byte-order mark; UTF-8 (a leading mark
// dropped) when the bytes are valid UTF-8; else Windows-1252, so an old file still reads.
std::wstring decode_text_file(const std::string& bytes);

}  // namespace paravelle::host::standalone::wide_text
