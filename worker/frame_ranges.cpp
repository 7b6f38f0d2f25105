#include "worker/frame_ranges.h"

#include <charconv>
#include <stdexcept>
#include <string>

namespace paravelle::worker {
namespace {

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

[[noreturn]] void reject(std::string_view entry, const std::string& why) {
  throw std::invalid_argument("\"" + std::string(entry) + "\" is not a frame or frame range: " + why);
}

// Reads a signed frame number at the front of `rest` and advances past it.
std::int32_t take_frame(std::string_view& rest, std::string_view entry) {
  std::size_t length = 0;
  if (!rest.empty() && (rest[0] == '-' || rest[0] == '+')) length = 1;
  while (length < rest.size() && rest[length] >= '0' && rest[length] <= '9') ++length;
  std::string_view digits = rest.substr(0, length);
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error == std::errc::result_out_of_range) reject(entry, "the number is out of range");
  if (error != std::errc() || end != digits.data() + digits.size()) reject(entry, "a number is expected");
  rest.remove_prefix(length);
  return value;
}

void expand_entry(std::string_view entry, std::vector<std::int32_t>& frames) {
  std::string_view rest = entry;
  const std::int32_t first = take_frame(rest, entry);
  std::int32_t last = first;
  if (!rest.empty()) {
    if (rest[0] != '-') reject(entry, "unexpected text after the number");
    rest.remove_prefix(1);
    last = take_frame(rest, entry);
    if (!rest.empty()) reject(entry, "unexpected text after the range");
    if (last < first) reject(entry, "the end is before the start");
  }
  if (static_cast<std::int64_t>(last) - first + 1 + static_cast<std::int64_t>(frames.size()) >
      static_cast<std::int64_t>(kMaxFrames)) {
    throw std::invalid_argument("\"" + std::string(entry) + "\" " + kTooManyFrames);
  }
  for (std::int64_t frame = first; frame <= last; ++frame) frames.push_back(static_cast<std::int32_t>(frame));
}

}  // namespace

std::vector<std::int32_t> expand_frame_ranges(std::string_view text) {
  std::vector<std::int32_t> frames;
  append_frame_ranges(text, frames);
  return frames;
}

void append_frame_ranges(std::string_view text, std::vector<std::int32_t>& frames) {
  std::size_t begin = 0;
  for (;;) {
    const std::size_t comma = text.find(',', begin);
    const std::string_view entry = trim(text.substr(begin, comma == std::string_view::npos ? comma : comma - begin));
    if (entry.empty()) throw std::invalid_argument("\"" + std::string(text) + "\" has an empty frame entry");
    expand_entry(entry, frames);
    if (comma == std::string_view::npos) return;
    begin = comma + 1;
  }
}

std::string frame_ranges_text(const std::vector<std::int32_t>& frames) {
  std::string text;
  for (std::size_t i = 0; i < frames.size();) {
    std::size_t last = i;
    while (last + 1 < frames.size() && static_cast<std::int64_t>(frames[last + 1]) == frames[last] + std::int64_t{1})
      ++last;
    text += (text.empty() ? "" : ",") + std::to_string(frames[i]);
    if (last > i) text += "-" + std::to_string(frames[last]);
    i = last + 1;
  }
  return text;
}

std::vector<std::string> frame_chunks(const std::vector<std::int32_t>& frames, std::size_t chunk) {
  std::vector<std::string> chunks;
  for (std::size_t begin = 0; begin < frames.size(); begin += chunk) {
    const auto end = frames.begin() + static_cast<std::ptrdiff_t>(std::min(frames.size(), begin + chunk));
    chunks.push_back(frame_ranges_text({frames.begin() + static_cast<std::ptrdiff_t>(begin), end}));
  }
  return chunks;
}

}  // namespace paravelle::worker
