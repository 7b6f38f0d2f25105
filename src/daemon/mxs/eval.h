#pragma once
// Compiling and evaluating script text, with script errors turned into the plug-in's
// own runtime errors.

#include <string>

#include "host/maxscript_runtime.h"

namespace mxs {

// Compiles everything in `stream` and evaluates it on the thread's current output stream.
// A script error becomes std::runtime_error with the error's printed text (ANSI);
// other exceptions pass unchanged. A null result is `undefined`. The result is not
// rooted once this returns: callers that keep it across an evaluation put it in a frame.
// With `last_line`, the stream's lines past it are the caller's own wrapping: a syntax error
// found there means the script ended too early, and is reported on its last line.
Value* eval_stream(CharStream* stream, MAXScript::ScriptSource source, int last_line = 0);

// A script error's printed form, as the listener would show it.
std::wstring exception_text(const MAXScriptException& error);

}  // namespace mxs
