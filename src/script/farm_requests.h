#pragma once
// Script functions that ask the farm for something: one request, one answer. An answer
// "SUCCESS: <value>" gives the value as a script string (an empty value gives ""); any
// other answer gives `undefined` (0 for the count). A transport failure stops the script
// with a RuntimeError "Error in <function>: <transport error>"; after an answer whose
// header announces too much, the connection is closed first (the stream is out of step).
//
// Keys and indexes travel as ANSI text, so a key can only carry what the ANSI code page
// holds; a path-mapped file name travels as wide text and keeps every character.

#include <string>

#include "job/job_state.h"
#include "transport/simple_socket.h"

class Value;

namespace paravelle::script {

// These five answer locally while the daemon is not running: `undefined`, or 0.
Value* GetSubmitInfoEntry(win32::simple_socket& connection, const std::wstring& key);
// The value must be a decimal int32 with at most a leading sign; anything else stops the
// script with "Error in GetSubmitInfoEntryElementCount: " and what the farm answered.
int GetSubmitInfoEntryElementCount(win32::simple_socket& connection, const std::wstring& key);
Value* GetSubmitInfoEntryElement(win32::simple_socket& connection, int index, const std::wstring& key);
Value* GetJobInfoEntry(win32::simple_socket& connection, const std::wstring& key);
Value* GetAuxFilename(win32::simple_socket& connection, int index);

// Always asks the farm, so without a running daemon it raises the not-connected error.
Value* GetPathMappedFilename(win32::simple_socket& connection, const std::wstring& inputFilename);

// The index-th output file written for the current frame, or `undefined`. Local only.
Value* GetOutputFilename(const job::JobState& state, int index);

}  // namespace paravelle::script
