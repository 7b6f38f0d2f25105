#include "render/progress_callback.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cwctype>

#include "diag/log_file.h"
#include "host/platform.h"
#include "job/farm_connection.h"
#include "transport/messages.h"
#include "transport/number_format.h"

namespace paravelle::render {

std::atomic<std::uint32_t> lastProgressTick{0};

namespace {

// A renderer that is still connecting to its render servers reports counters that mean
// nothing yet.
constexpr wchar_t kRayServerTitle[] = L"Initializing Ray Server";

// Reports closer together than this (on the wrapping tick counter) are dropped.
constexpr std::int64_t kReportIntervalMs = 1000;

// Routine titles of the one renderer that floods its status line while it prepares a frame.
constexpr const wchar_t* routine_titles[] = {L"loading bitmaps ", L"updating object ", L"updating instances ",
                                             L"updating transformation matrices ", L"compiling geometry "};

std::wstring lower_case(const std::wstring& text) {
  std::wstring lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](wchar_t c) { return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))); });
  return lower;
}

bool contains(const std::wstring& text, const wchar_t* part) { return text.find(part) != std::wstring::npos; }

// Line ends at the end go; a line feed inside becomes a blank, a carriage return goes.
std::wstring cleaned_title(const wchar_t* title) {
  std::wstring text = title ? title : L"";
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
  std::wstring cleaned;
  cleaned.reserve(text.size());
  for (const wchar_t c : text) {
    if (c == L'\n')
      cleaned += L' ';
    else if (c != L'\r')
      cleaned += c;
  }
  return cleaned;
}

// "%.1f" in the classic locale, whatever locale the host runs in.
std::wstring one_decimal(float value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
  return std::wstring(buffer, result.ptr);
}

// True when the report may go out now; then the tick of this report is the last one.
// Two threads may both pass at the same moment: the limit is a rate, not a lock.
bool passes_rate_limit() {
  const std::uint32_t now = host::tick_count();
  const auto since = static_cast<std::int32_t>(now - lastProgressTick.load(std::memory_order_relaxed));
  if (std::abs(std::int64_t{since}) < kReportIntervalMs) return false;
  lastProgressTick.store(now, std::memory_order_relaxed);
  return true;
}

}  // namespace

bool IsRenderingTitle(const std::wstring& title) {
  const std::wstring lower = lower_case(title);
  return contains(lower, L"rendering image") || contains(lower, L"rendering pass") ||
         contains(lower, L"quality reached:") || contains(lower, L"%  rendering") || lower == L"rendering..." ||
         lower == L"rendering";
}

ParavelleRenderCallback::ParavelleRenderCallback(win32::simple_socket& connection, std::wstring passLabel)
    : connection(&connection), passLabel(std::move(passLabel)) {}

void ParavelleRenderCallback::SetTitle(const wchar_t* title) {
  const std::lock_guard<std::mutex> guard(lock);
  const std::wstring cleaned = cleaned_title(title);
  bool logged = !IsRenderingTitle(cleaned);
  if (logged && rendererFlag) {
    const std::wstring lower = lower_case(cleaned);
    logged = std::none_of(std::begin(routine_titles), std::end(routine_titles),
                          [&](const wchar_t* routine) { return contains(lower, routine); });
  }
  if (logged) {
    // A status line that cannot reach the farm is not worth disturbing the render for.
    try {
      job::send_to_farm(*connection, L"FUNCTION: STDOUT: " + cleaned);
    } catch (...) {
    }
  }
  lastTitle = cleaned;
}

int ParavelleRenderCallback::Progress(int done, int total) {
  {
    // The title is the renderer's other threads' to change, so it is read under the lock.
    const std::lock_guard<std::mutex> guard(lock);
    if (lastTitle == kRayServerTitle) return RENDPROG_CONTINUE;
  }
  if (total == 0 || !passes_rate_limit()) return RENDPROG_CONTINUE;
  // The host's user interface stays alive during long renders; on a renderer thread this
  // pumps that thread's own queue only.
  host::drain_messages();
  const int d = std::min(done, total);

  const std::lock_guard<std::mutex> guard(lock);
  try {
    const float percentage = static_cast<float>(d) * 100.0f / static_cast<float>(total);
    bool shown = false;
    if (percentage > 0) {
      job::send_to_farm(*connection,
                        L"FUNCTION: SETTITLE " + passLabel + lastTitle + L" - " + one_decimal(percentage) + L"%");
      shown = IsRenderingTitle(lastTitle);
    }
    if (shown) {
      const float value = percentage * passScale + passBase;
      send_message(*connection, L"FUNCTION: PROGRESS " + format_wide_number(value));
    } else {
      send_message(*connection, "FUNCTION: PROGRESS -1");
    }
  } catch (const win32::simple_socket_error& error) {
    diag::log_line(std::string("caught simple socket excetion when handling progress: ") + error.what());
  }
  return RENDPROG_CONTINUE;
}

void ParavelleRenderCallback::SetPass(int pass, int total) {
  const std::lock_guard<std::mutex> guard(lock);
  passLabel = L"Pass " + format_wide_number(pass) + L" of " + format_wide_number(total) + L" - ";
  passBase = static_cast<float>(pass * 100 - 100) / static_cast<float>(total);
  passScale = 1.0f / static_cast<float>(total);
}

}  // namespace paravelle::render
