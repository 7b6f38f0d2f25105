#include "host/maxscript.h"
#include "host/standalone/wide_text.h"

#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

#include <utf8.h>

namespace {

// Writes wide text (UTF-16 units) to standard output as UTF-8; an unpaired surrogate
// is shown as '?' rather than lost silently or thrown at the caller.
class StdoutStream : public CharStream {
 public:
  void putch(wchar_t c) override { puts(std::wstring(1, c).c_str()); }
  void puts(const wchar_t* text) override {
    const std::string bytes = paravelle::host::standalone::wide_text::to_utf8(text ? text : L"");
    std::lock_guard<std::mutex> lock(mutex_);
    std::cout << bytes << std::flush;
  }

 private:
  std::mutex mutex_;
};

StringStream*& listener_capture() {
  static StringStream* capture = nullptr;
  return capture;
}

// The listener forwards to the capture when a test installed one, so streams that
// were handed out earlier follow the redirection.
class ListenerStream : public CharStream {
 public:
  void putch(wchar_t c) override { target().putch(c); }
  void puts(const wchar_t* text) override { target().puts(text); }

 private:
  CharStream& target() {
    if (StringStream* capture = listener_capture()) return *capture;
    return stdout_;
  }
  StdoutStream stdout_;
};

void append_number(std::wstring& out, const char* format, long long value) {
  char digits[32];
  std::snprintf(digits, sizeof digits, format, value);
  for (const char* p = digits; *p; ++p) out.push_back(static_cast<wchar_t>(*p));
}

}  // namespace

void CharStream::puts(const wchar_t* text) {
  for (const wchar_t* p = text; p && *p; ++p) putch(*p);
}

void CharStream::printf(const wchar_t* format, ...) {
  std::wstring out;
  va_list args;
  va_start(args, format);
  for (const wchar_t* p = format; p && *p; ++p) {
    if (*p != L'%' || p[1] == L'\0') {
      out.push_back(*p);
      continue;
    }
    switch (*++p) {
      case L's': {
        const wchar_t* text = va_arg(args, const wchar_t*);
        out += text ? text : L"(null)";
        break;
      }
      case L'd':
      case L'i': append_number(out, "%lld", va_arg(args, int)); break;
      case L'u': append_number(out, "%llu", va_arg(args, unsigned)); break;
      case L'x': append_number(out, "%llx", va_arg(args, unsigned)); break;
      case L'X': append_number(out, "%llX", va_arg(args, unsigned)); break;
      case L'c': out.push_back(static_cast<wchar_t>(va_arg(args, int))); break;
      case L'%': out.push_back(L'%'); break;
      default:
        out.push_back(L'%');
        out.push_back(*p);
        break;
    }
  }
  va_end(args);
  puts(out.c_str());
}

void StringStream::puts(const wchar_t* text) {
  if (text) buffer_ += text;
}

CharStream* the_listener() {
  static ListenerStream listener;
  return &listener;
}

void capture_listener(StringStream* capture) { listener_capture() = capture; }

CharStream*& thread_local_current_stdout() {
  thread_local CharStream* current = nullptr;
  if (!current) current = the_listener();
  return current;
}
