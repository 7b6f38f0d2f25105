// How script errors print themselves.

#include <string>

#include "host/maxscript.h"

namespace {

void put_line(CharStream* stream, int line) {
  stream->puts(L"at line ");
  stream->puts(std::to_wstring(line).c_str());
  stream->puts(L", ");
}

}  // namespace

void RuntimeError::sprin1(CharStream* stream) const {
  stream->puts(L"-- Runtime error: ");
  if (line_ > 0) put_line(stream, line_);
  stream->puts(message_.c_str());
}

void SyntaxError::sprin1(CharStream* stream) const {
  stream->puts(L"-- Syntax error: ");
  put_line(stream, line_);
  stream->puts(reason_.c_str());
}
