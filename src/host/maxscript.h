#pragma once
// The script runtime's streams and its exception, as far as the daemon needs them.
// The interpreter itself (values, parser, globals) is declared in maxscript_runtime.h.

#include <string>

// A character sink of the script runtime: the listener, string streams, file streams.
class CharStream {
 public:
  virtual ~CharStream() = default;
  virtual void putch(wchar_t c) = 0;
  virtual void puts(const wchar_t* text);
  // printf-style output; understands %s (wide text), %d, %i, %u, %x, %X, %c and %%.
  void printf(const wchar_t* format, ...);
  virtual void close() {}
};

// An in-memory stream: what is written can be read back as one wide text.
class StringStream : public CharStream {
 public:
  StringStream() = default;
  explicit StringStream(std::wstring initial) : buffer_(std::move(initial)) {}
  void putch(wchar_t c) override { buffer_.push_back(c); }
  void puts(const wchar_t* text) override;
  const std::wstring& to_string() const { return buffer_; }
  const wchar_t* buffer() const { return buffer_.c_str(); }
  // Reading side, used when a string stream is the parser's source.
  bool at_eos() const { return read_position_ >= buffer_.size(); }
  wchar_t getch() { return at_eos() ? L'\0' : buffer_[read_position_++]; }

 private:
  std::wstring buffer_;
  std::size_t read_position_ = 0;
};

// The listener: the window where scripts print. The standalone host writes it to
// standard output as UTF-8; tests can capture it.
CharStream* the_listener();

// Redirects the listener into a string stream (null restores standard output).
void capture_listener(StringStream* capture);

// The calling thread's current script output stream (the listener unless a script
// redirected it).
CharStream*& thread_local_current_stdout();

// A script error. It prints itself as the runtime would show it to the user.
class MAXScriptException {
 public:
  virtual ~MAXScriptException() = default;
  virtual void sprin1(CharStream* stream) const = 0;
};

// A runtime error raised by a script or a function it called; prints its message.
class RuntimeError : public MAXScriptException {
 public:
  explicit RuntimeError(std::wstring message) : message_(std::move(message)) {}
  const std::wstring& message() const { return message_; }
  void sprin1(CharStream* stream) const override;

 private:
  std::wstring message_;
};
