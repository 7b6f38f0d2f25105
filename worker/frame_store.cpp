#include "worker/frame_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "worker/errors.h"

namespace paravelle::worker {
namespace {

UniqueFd unnamed_file(const std::filesystem::path& folder) {
  const auto where = folder.empty() ? std::filesystem::temp_directory_path() : folder;
  std::string pattern = (where / "frame-records-XXXXXX").string();
  UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd) throw system_failure("cannot make a file for the frame records in " + where.string(), errno);
  ::unlink(pattern.c_str());
  return fd;
}

}  // namespace

FrameStore::FrameStore(const std::filesystem::path& folder) : file_(unnamed_file(folder)) {}

std::int64_t FrameStore::append(const FrameRecord& record) {
  const std::string line = frame_record_line(record) + "\n";
  const std::int64_t offset = end_;
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t count = ::pwrite(file_.get(), line.data() + written, line.size() - written,
                                   static_cast<off_t>(end_ + static_cast<std::int64_t>(written)));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) throw system_failure("cannot keep the record of frame " + std::to_string(record.frame), errno);
    written += static_cast<std::size_t>(count);
  }
  end_ += static_cast<std::int64_t>(line.size());
  return offset;
}

FrameRecord FrameStore::read(std::int64_t offset) const {
  std::string line;
  char chunk[1024];
  for (off_t at = static_cast<off_t>(offset);;) {
    const ssize_t count = ::pread(file_.get(), chunk, sizeof chunk, at);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    const std::string_view part(chunk, static_cast<std::size_t>(count));
    if (const auto end = part.find('\n'); end != std::string_view::npos) {
      line.append(part.substr(0, end));
      break;
    }
    line.append(part);
    at += count;
  }
  return frame_record_from_line(line);
}

}  // namespace paravelle::worker
