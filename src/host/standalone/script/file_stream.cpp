// File streams: script files read as a parser's source, and text files written by scripts.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iterator>
#include <string>

#include <utf8.h>

#include "host/files.h"
#include "host/maxscript.h"
#include "host/standalone/wide_text.h"

namespace {

// A path that cannot name a file (a lone surrogate, an embedded NUL) opens nothing.
std::string native_path_or_empty(const std::wstring& path) {
  try {
    return host::files::native_path(path);
  } catch (const std::invalid_argument&) {
    return {};
  }
}

// Windows-1252 for 0x80-0x9F; the other bytes are their own code points.
wchar_t from_windows_1252(unsigned char byte) {
  static constexpr wchar_t high[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  return byte >= 0x80 && byte < 0xA0 ? high[byte - 0x80] : static_cast<wchar_t>(byte);
}

std::wstring decode_utf16le(const std::string& bytes, std::size_t from) {
  std::wstring text;
  for (std::size_t i = from; i + 1 < bytes.size(); i += 2) {
    const auto low = static_cast<unsigned char>(bytes[i]);
    const auto high = static_cast<unsigned char>(bytes[i + 1]);
    text.push_back(static_cast<wchar_t>(low | (high << 8)));
  }
  return text;
}

std::wstring decode(const std::string& bytes) {
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') return decode_utf16le(bytes, 2);
  // The mark says what the file was meant to be even where a byte of it is not; it is
  // never part of the text.
  const auto start = bytes.begin() + (utf8::starts_with_bom(bytes.begin(), bytes.end()) ? 3 : 0);
  std::wstring text;
  if (utf8::is_valid(start, bytes.end())) {
    utf8::utf8to16(start, bytes.end(), std::back_inserter(text));
    return text;
  }
  for (auto c = start; c != bytes.end(); ++c) text.push_back(from_windows_1252(static_cast<unsigned char>(*c)));
  return text;
}

// Reads a regular file whole. Anything else is refused: a device such as /dev/zero never
// ends, and opening a FIFO waits for a writer that may never come (the non-blocking open
// returns at once, and the type is checked on what was opened, not on the name).
bool read_regular_file(const std::string& native, std::string& bytes) {
  const int fd = ::open(native.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status {};
  bool complete = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  char chunk[65536];
  while (complete) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got > 0) bytes.append(chunk, static_cast<std::size_t>(got));
    else if (got == 0) break;
    else if (errno != EINTR) complete = false;
  }
  ::close(fd);
  return complete;
}

}  // namespace

FileStream::~FileStream() { close(); }

FileStream* FileStream::open(const wchar_t* path, const wchar_t* mode, unsigned int /*code_page*/) {
  close();
  path_ = path ? path : L"";
  const std::wstring how = mode ? mode : L"r";
  const std::string native = native_path_or_empty(path_);
  if (native.empty()) return nullptr;
  if (how.find(L'r') != std::wstring::npos) {
    std::string bytes;
    if (!read_regular_file(native, bytes)) return nullptr;
    text_ = decode(bytes);
    read_position_ = 0;
    reading_ = true;
    return this;
  }
  file_ = std::fopen(native.c_str(), how.find(L'a') != std::wstring::npos ? "ab" : "wb");
  return file_ ? this : nullptr;
}

void FileStream::close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  reading_ = false;
  text_.clear();
  read_position_ = 0;
}

void FileStream::putch(wchar_t c) {
  const wchar_t text[2] = {c, L'\0'};
  puts(text);
}

void FileStream::puts(const wchar_t* text) {
  if (!file_ || !text) return;
  const std::string bytes = host::standalone::wide_text::to_utf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), file_);
}

void FileStream::sprin1(CharStream* stream) {
  stream->puts(L"<File:");
  stream->puts(path_.c_str());
  stream->puts(L">");
}
