#pragma once
// The script runtime: values, value frames, the globals table, the parser and evaluation.
// The language it runs is described in docs/script-language.md.
//
// A typical embedding (what the plug-in's script helpers do):
//
//   ScopedValueTempArray frame(2);          // slots are collection roots
//   init_thread_locals();
//   push_alloc_frame();                     // values made from here on stay alive...
//   frame[0] = new Parser(thread_local_current_stdout());
//   frame[1] = static_cast<Parser*>(frame[0])->compile_all(&source, MAXScript::ScriptSource::Dynamic);
//   Value* result = static_cast<CodeTree*>(frame[1])->eval();
//   pop_alloc_frame();                      // ...until here
//
// Script errors leave compile_all and eval as MAXScriptException (SyntaxError,
// RuntimeError); see maxscript.h.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/maxscript.h"

extern ValueMetaClass String_class;
extern ValueMetaClass Integer_class;
extern ValueMetaClass Float_class;
extern ValueMetaClass Boolean_class;
extern ValueMetaClass Ok_class;
extern ValueMetaClass Undefined_class;
extern ValueMetaClass Array_class;
extern ValueMetaClass Name_class;
extern ValueMetaClass Primitive_class;
extern ValueMetaClass Parser_class;
extern ValueMetaClass CodeTree_class;

// ---- scalar values ---------------------------------------------------------------

class String : public Value {
 public:
  explicit String(std::wstring text) : Value(&String_class), text_(std::move(text)) {}
  explicit String(const wchar_t* text) : String(std::wstring(text ? text : L"")) {}
  const std::wstring& text() const { return text_; }
  const wchar_t* to_string() override { return text_.c_str(); }
  void sprin1(CharStream* stream) override;  // "text" with \" \\ \n \t escaped
  void sprint(CharStream* stream) override;  // the bare text

 private:
  std::wstring text_;
};

// A 32-bit integer; arithmetic wraps as the original's does.
class Integer : public Value {
 public:
  explicit Integer(int value) : Value(&Integer_class), value_(value) {}
  int value() const { return value_; }
  const wchar_t* to_string() override;
  void sprin1(CharStream* stream) override;

 private:
  int value_;
  std::wstring text_;
};

// A floating-point number, printed with six significant digits and always with a
// decimal point or exponent (1.0, 2.5, 0.333333, 1e+20).
class Float : public Value {
 public:
  explicit Float(double value) : Value(&Float_class), value_(value) {}
  double value() const { return value_; }
  const wchar_t* to_string() override;
  void sprin1(CharStream* stream) override;

 private:
  double value_;
  std::wstring text_;
};

class Boolean : public Value {
 public:
  explicit Boolean(bool value) : Value(&Boolean_class), value_(value) {}
  const wchar_t* to_string() override { return value_ ? L"true" : L"false"; }
  void sprin1(CharStream* stream) override;
  bool to_bool() override { return value_; }

 private:
  bool value_;
};

class Ok : public Value {
 public:
  Ok() : Value(&Ok_class) {}
  const wchar_t* to_string() override { return L"OK"; }
  void sprin1(CharStream* stream) override;
};

class Undefined : public Value {
 public:
  Undefined() : Value(&Undefined_class) {}
  const wchar_t* to_string() override { return L"undefined"; }
  void sprin1(CharStream* stream) override;
};

// The permanent singletons. Compare by address: `v == &ok`.
extern Boolean true_value;
extern Boolean false_value;
extern Ok ok;
extern Undefined undefined;

inline Value* bool_result(bool b) { return b ? &true_value : &false_value; }

// ---- compound values -------------------------------------------------------------

// A growable array of values, printed #(1, "a", 2.5) (the first 20 elements and then
// "...", unless a script set options.printAllElements).
class Array : public Value {
 public:
  explicit Array(std::size_t initial_capacity = 0);
  std::size_t size() const { return items_.size(); }
  Value* at(std::size_t index) const { return items_.at(index); }
  void append(Value* value) { items_.push_back(value); }
  // Replaces the element at `index` (0-based); an index past the end first grows the
  // array with undefined.
  void set_at(std::size_t index, Value* value);
  // Cuts the array to `count` elements, or grows it with undefined.
  void resize(std::size_t count);
  const std::vector<Value*>& items() const { return items_; }
  void sprin1(CharStream* stream) override;
  void gc_trace() override;

 private:
  std::vector<Value*> items_;
};

// An interned, case-insensitive name: Name::intern(L"Foo") == Name::intern(L"FOO").
// The first spelling is kept. Names are permanent (never collected).
class Name : public Value {
 public:
  static Name* intern(std::wstring_view text);
  const std::wstring& text() const { return text_; }
  const wchar_t* to_string() override { return text_.c_str(); }
  void sprin1(CharStream* stream) override;  // #name

 private:
  explicit Name(std::wstring text) : Value(&Name_class), text_(std::move(text)) {}
  std::wstring text_;
};

// A function written in C++ and callable from scripts (print, format, ...).
class Primitive : public Value {
 public:
  using Function = Value* (*)(const std::vector<Value*>& arguments);
  Primitive(const wchar_t* name, Function function) : Value(&Primitive_class), name_(name), function_(function) {}
  const wchar_t* name() const { return name_; }
  Value* apply(const std::vector<Value*>& arguments) const { return function_(arguments); }
  void sprin1(CharStream* stream) override;

 private:
  const wchar_t* name_;
  Function function_;
};

// ---- value frames and the collector ----------------------------------------------

// A fixed set of value slots that protects what it holds from collection while it
// exists. Slots start null.
class ScopedValueTempArray {
 public:
  explicit ScopedValueTempArray(std::size_t count);
  ~ScopedValueTempArray();
  ScopedValueTempArray(const ScopedValueTempArray&) = delete;
  ScopedValueTempArray& operator=(const ScopedValueTempArray&) = delete;

  // Throws RuntimeError for an index not below size().
  Value*& operator[](std::size_t index);
  Value** data() { return slots_.get(); }
  std::size_t size() const { return count_; }

 private:
  friend struct paravelle::host::script::HeapAccess;
  std::size_t count_;
  std::unique_ptr<Value*[]> slots_;
};

// Prepares the calling thread's runtime state (its current output stream is the listener
// until changed). Cheap; safe to call repeatedly.
void init_thread_locals();

// An allocation frame keeps every value created on this thread between the push and the
// matching pop alive, whoever holds it. Frames nest; pops must match pushes.
void push_alloc_frame();
void pop_alloc_frame();

namespace paravelle::host::script {

// Frees every value that no root reaches. Runs on its own when an evaluation starts and
// enough values were created since the last collection; call it directly only when no
// C++ code holds unrooted values.
void collect_garbage();

// Values on the collected heap right now (permanent values are not counted).
std::size_t live_value_count();

// The calling thread's runtime records at one moment: rooted temporaries, scopes, value
// frames, allocation frames, nesting depths, caught errors and the current output stream.
// A machine fault caught by a trap abandons the C++ frames between the fault and the trap
// without running their destructors; their records would stay behind pointing into a dead
// stack, and the next collection would read it. Mark before the trapped call, and unwind to
// the mark after a fault. (Value frames are meant to live on the stack: one that the trapped
// call left on the heap is forgotten too, and no longer protects its slots.)
class ThreadRuntimeMark {
 private:
  friend struct HeapAccess;
  std::size_t rooted_ = 0;
  std::size_t providers_ = 0;
  std::size_t allocated_ = 0;
  std::size_t alloc_frames_ = 0;
  std::size_t value_frames_ = 0;
  std::size_t caught_errors_ = 0;
  std::size_t depths_[3] = {0, 0, 0};  // one per kind of nesting the runtime counts
  CharStream* output_ = nullptr;
};

ThreadRuntimeMark mark_thread_runtime();
void unwind_thread_runtime(const ThreadRuntimeMark& mark);

}  // namespace paravelle::host::script

// ---- globals ---------------------------------------------------------------------

// The table of global variables. Keys are Names (so case-insensitive); its values are
// collection roots. The built-in functions (print, format, getCurrentException) are in it
// from the start.
class GlobalTable {
 public:
  GlobalTable();
  Value* get(Value* name) const;            // null when absent
  void set(Value* name, Value* value);      // creates or replaces
  void put_new(Value* name, Value* value);  // creates; an existing entry is replaced too
  void remove(Value* name);                 // absent names are ignored
  bool contains(Value* name) const { return get(name) != nullptr; }

  // Convenience with a plain name.
  Value* get(std::wstring_view name) const { return get(Name::intern(name)); }
  void set(std::wstring_view name, Value* value) { set(Name::intern(name), value); }

 private:
  friend struct paravelle::host::script::HeapAccess;
  mutable std::mutex mutex_;
  std::unordered_map<Name*, Value*> table_;
};

extern GlobalTable* const globals;

// ---- parsing and evaluation ------------------------------------------------------

namespace MAXScript {
// Where a script comes from. Accepted for the host's signature; the parser treats all
// sources alike.
enum class ScriptSource : std::uint32_t { Dynamic = 0, Embedded = 1, File = 2, NotSpecified = 3 };
}  // namespace MAXScript

namespace paravelle::host::script {
struct Program;
}

// Compiled script code. eval() runs it once more each time it is called and returns the
// value of its last expression (OK for a script without expressions). Script errors
// leave eval as MAXScriptException.
class CodeTree : public Value {
 public:
  explicit CodeTree(std::shared_ptr<const paravelle::host::script::Program> program);
  Value* eval();
  void sprin1(CharStream* stream) override;

 private:
  std::shared_ptr<const paravelle::host::script::Program> program_;
};

// The compiler. `output` receives compiler messages (none at present).
class Parser : public Value {
 public:
  explicit Parser(CharStream* output);
  // Reads `source` to its end and compiles everything in it. Throws SyntaxError.
  CodeTree* compile_all(CharStream* source, MAXScript::ScriptSource kind = MAXScript::ScriptSource::Dynamic);
  void sprin1(CharStream* stream) override;
  void gc_trace() override;

 private:
  CharStream* output_;
};

namespace paravelle::host::script {

// Compiles and evaluates a script text (or a script file, decoded as FileStream does).
// A script error is printed on the listener and gives false; the scene loader and the
// node use these. Exceptions that are not script errors pass through.
bool run_text(const std::wstring& text);
bool run_file(const std::wstring& path);

// Compiles and evaluates a script text and returns its value; script errors are thrown.
Value* evaluate_text(const std::wstring& text);

// The printed form of a value (sprin1) and of a script error, as text.
std::wstring printed(Value* value);
std::wstring printed(const MAXScriptException& error);

}  // namespace paravelle::host::script
