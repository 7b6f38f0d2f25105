// The runtime's values: class tags, printed forms and text conversions.

#include "values.h"

#include <cmath>
#include <cstdio>
#include <cwctype>
#include <mutex>
#include <unordered_map>

#include "builtins.h"
#include "errors.h"
#include "nesting.h"

ValueMetaClass String_class{L"String"};
ValueMetaClass Integer_class{L"Integer"};
ValueMetaClass Float_class{L"Float"};
ValueMetaClass Boolean_class{L"BooleanClass"};
ValueMetaClass Ok_class{L"OkClass"};
ValueMetaClass Undefined_class{L"UndefinedClass"};
ValueMetaClass Array_class{L"Array"};
ValueMetaClass Name_class{L"Name"};
ValueMetaClass Primitive_class{L"Primitive"};
ValueMetaClass Parser_class{L"Parser"};
ValueMetaClass CodeTree_class{L"CodeTree"};
ValueMetaClass StringStream_class{L"StringStream"};
ValueMetaClass FileStream_class{L"FileStream"};

Boolean true_value(true);
Boolean false_value(false);
Ok ok;
Undefined undefined;

namespace paravelle::host::script {

void check_string_length(std::size_t length, int line) {
  if (length <= kMaximumStringLength) return;
  throw RuntimeError(
      L"String too long: a string may hold at most " + std::to_wstring(kMaximumStringLength) + L" characters", line);
}

void check_array_length(std::size_t length, int line) {
  if (length <= kMaximumArrayLength) return;
  throw RuntimeError(
      L"Array too long: an array may hold at most " + std::to_wstring(kMaximumArrayLength) + L" elements", line);
}

namespace {

// A string stream that stops at the longest text a script may make: an array that holds
// itself twice over at every level prints 2^depth elements.
class BoundedStringStream : public StringStream {
 public:
  void putch(wchar_t c) override {
    grow_by(1);
    StringStream::putch(c);
  }
  void puts(const wchar_t* text) override {
    grow_by(std::char_traits<wchar_t>::length(text ? text : L""));
    StringStream::puts(text);
  }

 private:
  void grow_by(std::size_t characters) {
    check_string_length(text().size() + characters);
    count_text(characters);
  }
};

}  // namespace

std::wstring print_form(Value* value) {
  BoundedStringStream stream;
  value->sprin1(&stream);
  return stream.text();
}

std::wstring display_form(Value* value) {
  BoundedStringStream stream;
  value->sprint(&stream);
  return stream.text();
}

void throw_conversion_error(Value* value, const wchar_t* type, int line) {
  throw LanguageError(L"", L"Unable to convert: " + print_form(value) + L" to type: " + type, line);
}

std::wstring format_float(double value) {
  if (std::isnan(value)) return L"-1.#IND";
  if (std::isinf(value)) return value > 0 ? L"1.#INF" : L"-1.#INF";
  char digits[64];
  std::snprintf(digits, sizeof digits, "%.6g", value);
  std::wstring text(digits, digits + std::char_traits<char>::length(digits));
  if (text.find_first_of(L".e") == std::wstring::npos) text += L".0";
  return text;
}

std::wstring fold_case(std::wstring_view text) {
  std::wstring folded(text);
  for (wchar_t& c : folded) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return folded;
}

}  // namespace paravelle::host::script

using paravelle::host::script::print_form;

namespace {

[[noreturn]] void throw_plain_conversion_error(Value* value, const wchar_t* type) {
  throw RuntimeError(L"Unable to convert: " + print_form(value) + L" to type: " + type);
}

}  // namespace

const wchar_t* Value::to_string() { throw_plain_conversion_error(this, L"String"); }

void Value::sprin1(CharStream* stream) {
  stream->puts(L"<");
  stream->puts(tag->name);
  stream->puts(L">");
}

bool Value::to_bool() { throw_plain_conversion_error(this, L"BooleanClass"); }

void String::sprin1(CharStream* stream) {
  stream->putch(L'"');
  for (wchar_t c : text_) {
    switch (c) {
      case L'"': stream->puts(L"\\\""); break;
      case L'\\': stream->puts(L"\\\\"); break;
      case L'\n': stream->puts(L"\\n"); break;
      case L'\t': stream->puts(L"\\t"); break;
      case L'\r': stream->puts(L"\\r"); break;
      default: stream->putch(c);
    }
  }
  stream->putch(L'"');
}

void String::sprint(CharStream* stream) { stream->puts(text_.c_str()); }

const wchar_t* Integer::to_string() {
  if (text_.empty()) text_ = std::to_wstring(value_);
  return text_.c_str();
}

void Integer::sprin1(CharStream* stream) { stream->puts(to_string()); }

const wchar_t* Float::to_string() {
  if (text_.empty()) text_ = paravelle::host::script::format_float(value_);
  return text_.c_str();
}

void Float::sprin1(CharStream* stream) { stream->puts(to_string()); }

void Boolean::sprin1(CharStream* stream) { stream->puts(to_string()); }

void Ok::sprin1(CharStream* stream) { stream->puts(L"OK"); }

void Undefined::sprin1(CharStream* stream) { stream->puts(L"undefined"); }

Array::Array(std::size_t initial_capacity) : Value(&Array_class) { items_.reserve(initial_capacity); }

void Array::sprin1(CharStream* stream) {
  // Arrays can hold arrays to any depth (and each other, in a cycle); printing recurses.
  constexpr std::size_t maximum_depth = 1000;
  const paravelle::host::script::DepthGuard nested(paravelle::host::script::DepthKind::printing, maximum_depth,
                                                   L"array nested too deeply to print");
  stream->puts(L"#(");
  const bool all = paravelle::host::script::print_all_elements();
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (i) stream->puts(L", ");
    if (i == paravelle::host::script::kPrintedElements && !all) {
      stream->puts(L"...");
      break;
    }
    // An array that holds itself prints the inner occurrence as "#(...)".
    if (items_[i] == this)
      stream->puts(L"#(...)");
    else if (items_[i])
      items_[i]->sprin1(stream);
    else
      stream->puts(L"undefined");
  }
  stream->puts(L")");
}

void Array::set_at(std::size_t index, Value* value) {
  if (index >= items_.size()) items_.resize(index + 1, &undefined);
  items_[index] = value;
}

void Array::resize(std::size_t count) { items_.resize(count, &undefined); }

void Array::gc_trace() {
  for (Value* item : items_) gc_mark(item);
}

Name* Name::intern(std::wstring_view text) {
  static std::mutex mutex;
  static auto* table = new std::unordered_map<std::wstring, Name*>;
  std::wstring key = paravelle::host::script::fold_case(text);
  std::lock_guard lock(mutex);
  auto found = table->find(key);
  if (found != table->end()) return found->second;
  // Names are permanent: a member of the table, never on the collected heap.
  auto* storage = static_cast<Name*>(::operator new(sizeof(Name)));
  Name* name = ::new (storage) Name(std::wstring(text));
  table->emplace(std::move(key), name);
  return name;
}

void Name::sprin1(CharStream* stream) {
  stream->putch(L'#');
  stream->puts(text_.c_str());
}

void Primitive::sprin1(CharStream* stream) {
  stream->puts(name_);
  stream->puts(L"()");
}

void CharStream::sprin1(CharStream* stream) {
  stream->puts(L"<");
  stream->puts(tag->name);
  stream->puts(L">");
}
