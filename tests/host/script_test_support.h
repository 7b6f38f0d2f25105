#pragma once
// Shared helpers of the script runtime's tests.

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "host/maxscript_runtime.h"

namespace paravelle::script_test {

// The printed form of a script's value.
inline std::wstring eval(const std::wstring& text) { return host::script::printed(host::script::evaluate_text(text)); }

// The printed form of the error a script raises ("" when it raises none).
inline std::wstring error_of(const std::wstring& text) {
  try {
    host::script::evaluate_text(text);
  } catch (const MAXScriptException& error) {
    return host::script::printed(error);
  }
  return L"";
}

// Each script against what it gives: the printed value, or the printed error when the
// expected text starts with "-- ".
inline void expect_results(std::initializer_list<std::pair<std::wstring, std::wstring>> cases) {
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(expected.starts_with(L"-- ") ? error_of(text) : eval(text), expected) << text;
  }
}

// Captures the listener for the lifetime of the object.
class ListenerCapture {
 public:
  ListenerCapture() { capture_listener(&stream_); }
  ~ListenerCapture() { capture_listener(nullptr); }
  const std::wstring& text() const { return stream_.text(); }

 private:
  StringStream stream_;
};

}  // namespace paravelle::script_test
