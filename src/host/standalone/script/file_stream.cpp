// File streams: script files read as a parser's source, and text files written by scripts.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "host/files.h"
#include "host/maxscript.h"
#include "host/standalone/wide_text.h"

namespace {

// A path that cannot name a file (a lone surrogate, an embedded NUL) opens nothing.
std::string native_path_or_empty(const std::wstring& path) {
  try {
    return paravelle::host::files::native_path(path);
  } catch (const std::invalid_argument&) {
    return {};
  }
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
    if (got > 0)
      bytes.append(chunk, static_cast<std::size_t>(got));
    else if (got == 0)
      break;
    else if (errno != EINTR)
      complete = false;
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
    text_ = paravelle::host::standalone::wide_text::decode_text_file(bytes);
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
  const std::string bytes = paravelle::host::standalone::wide_text::to_utf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), file_);
}

void FileStream::sprin1(CharStream* stream) {
  stream->puts(L"<File:");
  stream->puts(path_.c_str());
  stream->puts(L">");
}
