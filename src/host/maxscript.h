#pragma once
// The script runtime's base value, its character streams and its exceptions.
// The concrete values, frames, globals and the parser are declared in maxscript_runtime.h,
// which includes this header.
//
// Threading: the runtime belongs to the host's main thread, as the original's does.
// Values may be created on any thread (allocation is locked), but evaluation and
// collection assume that no other thread evaluates at the same time.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

class CharStream;

namespace paravelle::host::script {
struct HeapAccess;
}

// A class tag: one static object per class of script value. Every value of a class
// points at the same tag, so `v->tag == &String_class` and `v->is_kind_of(&String_class)`
// both test the class. The name is what scripts see ("String", "Integer", ...).
struct ValueMetaClass {
  const wchar_t* name;
};

extern ValueMetaClass StringStream_class;
extern ValueMetaClass FileStream_class;

// A script value.
//
// Memory: values live on the runtime's collected heap. Every value created with `new`
// is owned by the collector (never delete it yourself once a script could have seen it);
// a collection frees the values that nothing reaches from the roots: the globals table,
// the slots of live ScopedValueTempArrays, values created while an allocation frame is
// pushed (until it is popped), and whatever the running scripts hold. Collections happen
// only when an evaluation starts, so a value that C++ code holds across an evaluation must
// sit in one of those roots. Values constructed as objects (on the stack, as members or
// statics) are never collected.
class Value {
 public:
  explicit Value(const ValueMetaClass* tag);
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;
  virtual ~Value();

  const ValueMetaClass* const tag;
  bool is_kind_of(const ValueMetaClass* c) const { return tag == c; }

  // The value's own text: a string's characters, the digits of a number, "true", "OK",
  // "undefined". Compound values (arrays, streams, functions, interfaces, code) have none
  // and throw RuntimeError "Unable to convert: <printed value> to type: String".
  // The pointer stays valid while the value lives and is not changed.
  virtual const wchar_t* to_string();

  // The printed form as `print` shows it: strings quoted and escaped ("a\"b"), 2.5, OK.
  virtual void sprin1(CharStream* stream);
  // The display form as `format` and `as string` show it: like sprin1, but a string is
  // its bare text.
  virtual void sprint(CharStream* stream) { sprin1(stream); }

  // Truth of a Boolean; any other value throws "Unable to convert: <v> to type: Boolean".
  virtual bool to_bool();
  bool truth() { return to_bool(); }

  // Every value already lives on the heap (or is permanent); returns the value itself.
  Value* get_heap_ptr() { return this; }

  // Collector hook: a value holding other values calls gc_mark on each of them.
  virtual void gc_trace() {}

  static void* operator new(std::size_t size);
  static void operator delete(void* block);

 private:
  friend struct paravelle::host::script::HeapAccess;
  Value* gc_prev_ = nullptr;
  Value* gc_next_ = nullptr;
  bool gc_marked_ = false;
  bool collectable_ = false;
};

// Marks a value reachable during a collection (called from gc_trace overrides).
void gc_mark(Value* value);

// A character sink (and, for some streams, a source) of the script runtime: the listener,
// string streams, file streams.
class CharStream : public Value {
 public:
  explicit CharStream(const ValueMetaClass* tag = &StringStream_class) : Value(tag) {}
  virtual void putch(wchar_t c) = 0;
  virtual void puts(const wchar_t* text);
  // printf-style output; understands %s (wide text), %d, %i, %u, %x, %X, %c and %%.
  void printf(const wchar_t* format, ...);
  virtual void close() {}

  // Reading side, used when the stream is a parser's source. A stream that cannot be
  // read is always at its end.
  virtual bool at_eos() { return true; }
  virtual wchar_t getch() { return L'\0'; }

  void sprin1(CharStream* stream) override;
};

// An in-memory stream: what is written can be read back as one wide text, and a parser
// can read it from the start.
class StringStream : public CharStream {
 public:
  StringStream() : CharStream(&StringStream_class) {}
  explicit StringStream(std::wstring initial) : CharStream(&StringStream_class), buffer_(std::move(initial)) {}
  void putch(wchar_t c) override { buffer_.push_back(c); }
  void puts(const wchar_t* text) override;
  // Everything written so far. (On a non-const stream, to_string() is the value's text
  // conversion, which gives the same characters as a pointer.)
  const std::wstring& text() const { return buffer_; }
  const std::wstring& to_string() const { return buffer_; }
  const wchar_t* to_string() override { return buffer_.c_str(); }
  const wchar_t* buffer() const { return buffer_.c_str(); }
  bool at_eos() override { return read_position_ >= buffer_.size(); }
  wchar_t getch() override { return at_eos() ? L'\0' : buffer_[read_position_++]; }

 private:
  std::wstring buffer_;
  std::size_t read_position_ = 0;
};

// A file as a stream. `open` takes the host's wide backslash path (it becomes a UTF-8
// path with '/' separators) and a mode: "r" reads, "w" truncates and writes, "a" appends.
// Reading decodes the whole file at open: a UTF-8 or UTF-16LE byte-order mark is obeyed
// (and is never part of the text); otherwise the bytes are UTF-8 when they are valid UTF-8
// and Windows-1252 when not. Only a regular file is read: a device or a pipe opens nothing. The
// code page argument is accepted for the host's signature; 0xFFFFFFFF is the default.
// Written text is stored as UTF-8. `open` returns the stream, or null when the file cannot
// be opened.
class FileStream : public CharStream {
 public:
  FileStream() : CharStream(&FileStream_class) {}
  ~FileStream() override;
  FileStream* open(const wchar_t* path, const wchar_t* mode, unsigned int code_page = 0xFFFFFFFF);
  void close() override;
  bool is_open() const { return file_ != nullptr || reading_; }
  const std::wstring& path() const { return path_; }

  void putch(wchar_t c) override;
  void puts(const wchar_t* text) override;
  bool at_eos() override { return !reading_ || read_position_ >= text_.size(); }
  wchar_t getch() override { return at_eos() ? L'\0' : text_[read_position_++]; }
  void sprin1(CharStream* stream) override;

 private:
  std::wstring path_;
  std::FILE* file_ = nullptr;  // writing
  bool reading_ = false;
  std::wstring text_;  // reading: the decoded file
  std::size_t read_position_ = 0;
};

// The listener: the window where scripts print. The standalone host writes it to
// standard output as UTF-8; tests can capture it.
CharStream* the_listener();

// Redirects the listener into a string stream (null restores standard output).
void capture_listener(StringStream* capture);

// The calling thread's current script output stream (the listener unless a script
// redirected it). `print` and `format` write here.
CharStream*& thread_local_current_stdout();

// A script error. It prints itself as the runtime shows it to the user.
class MAXScriptException {
 public:
  virtual ~MAXScriptException() = default;
  virtual void sprin1(CharStream* stream) const = 0;
};

// A runtime error raised by a script (`throw "text"`), by the runtime, or by a function a
// script called. message() is exactly the text it was raised with. It prints as
// "-- Runtime error: " + message; an error the interpreter raised itself also knows the
// script line and prints "-- Runtime error: at line N, " + message.
class RuntimeError : public MAXScriptException {
 public:
  explicit RuntimeError(std::wstring message, int line = 0) : message_(std::move(message)), line_(line) {}
  const std::wstring& message() const { return message_; }
  int line() const { return line_; }
  void sprin1(CharStream* stream) const override;

 private:
  std::wstring message_;
  int line_;
};

// A script that cannot be compiled. Prints "-- Syntax error: at line N, " + reason.
class SyntaxError : public MAXScriptException {
 public:
  SyntaxError(std::wstring reason, int line) : reason_(std::move(reason)), line_(line) {}
  const std::wstring& reason() const { return reason_; }
  int line() const { return line_; }
  void sprin1(CharStream* stream) const override;

 private:
  std::wstring reason_;
  int line_;
};
