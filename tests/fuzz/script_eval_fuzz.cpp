// Script texts, parsed and evaluated by the standalone host's interpreter within a budget
// of loop turns and of text made, so that every input ends. Whatever the text, it gives a
// value or a script error, and leaves no nesting count, caught error or redirected output
// behind. Globals persist from one input to the next, as they do between the scripts a
// node runs.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "host/maxscript_runtime.h"
#include "host/standalone/script/builtins.h"
#include "host/standalone/script/nesting.h"
#include "host/standalone/wide_text.h"

namespace {

constexpr std::uint64_t kLoopTurns = 20000;
constexpr std::uint64_t kTextCharacters = 4u << 20;

// UTF-8 when the bytes are UTF-8, else one character per byte: a script file that is not
// UTF-8 is read as a single-byte code page too.
std::wstring script_text(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  try {
    return paravelle::host::standalone::wide_text::from_utf8(bytes);
  } catch (const std::exception&) {
    std::wstring text;
    for (const unsigned char byte : bytes) text.push_back(static_cast<wchar_t>(byte));
    return text;
  }
}

// Every script error names its kind first, as the listener shows it.
bool names_its_kind(const std::wstring& printed) {
  for (const wchar_t* kind :
       {L"-- Syntax error: ", L"-- Runtime error: ", L"-- Type error: ", L"-- Argument count error: ",
        L"-- Unknown property: ", L"-- Unable to convert: ", L"-- No \""}) {
    if (printed.starts_with(kind)) return true;
  }
  return false;
}

bool nothing_left_nested() {
  const paravelle::host::script::Depths depths = paravelle::host::script::current_depths();
  for (const std::size_t count : depths.counts)
    if (count != 0) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  StringStream listener;  // what scripts print would flood the fuzzer's output
  capture_listener(&listener);
  CharStream* const output = thread_local_current_stdout();
  const std::wstring text = script_text(data, size);
  {
    const paravelle::host::script::ScriptBudget budget(kLoopTurns, kTextCharacters);
    try {
      Value* const result = paravelle::host::script::evaluate_text(text);
      FUZZ_CHECK(result != nullptr);
      paravelle::host::script::printed(result);
    } catch (const MAXScriptException& error) {
      const std::wstring printed = paravelle::host::script::printed(error);
      FUZZ_CHECK(names_its_kind(printed));
    }
  }
  FUZZ_CHECK(nothing_left_nested());
  FUZZ_CHECK(paravelle::host::script::caught_exception_count() == 0);
  FUZZ_CHECK(thread_local_current_stdout() == output);
  capture_listener(nullptr);
  return 0;
}
