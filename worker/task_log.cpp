#include "worker/task_log.h"

#include <algorithm>
#include <chrono>
#include <ctime>

namespace paravelle::worker {
namespace {

std::string cut_note(std::uint64_t cap) {
  constexpr std::uint64_t kMiB = 1024 * 1024;
  const std::string limit = cap % kMiB == 0 ? std::to_string(cap / kMiB) + " MiB" : std::to_string(cap) + " bytes";
  return "-- [cut here: this log reached its limit of " + limit + "; later lines are not kept]\n";
}

std::FILE* open_for_append(const std::filesystem::path& file) {
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  return std::fopen(file.c_str(), "ab");
}

}  // namespace

std::string log_time_stamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + length, sizeof text - length, ".%03d", static_cast<int>(millis));
  return text;
}

TaskLog::TaskLog(std::filesystem::path file, std::uint64_t cap)
    : path_(std::move(file)), file_(open_for_append(path_), &std::fclose), cap_(cap) {
  if (!file_) {
    path_.clear();
    return;
  }
  std::error_code error;
  size_ = std::filesystem::file_size(path_, error);
  // A file cut by an earlier try already carries the note; nothing more goes in.
  cut_ = size_ + cut_note(cap_).size() > cap_;
}

void TaskLog::heading(const std::string& text) {
  write((size_ > 0 ? "\n== " : "== ") + text + ", " + log_time_stamp() + "\n");
}

void TaskLog::message(bool from_node, const std::string& payload) {
  std::string prefix = log_time_stamp() + (from_node ? " node: " : " farm: ");
  std::string text = prefix;
  const std::string indent(prefix.size(), ' ');
  for (const char c : payload) {
    text += c;
    if (c == '\n') text += indent;
  }
  write(text + "\n");
}

void TaskLog::note(const std::string& text) { write(log_time_stamp() + " -- " + text + "\n"); }

void TaskLog::printed(const char* stream, const std::string& text) {
  const std::string prefix = log_time_stamp() + " node " + stream + ": ";
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t end = std::min(text.find('\n', begin), text.size());
    if (end > begin) write(prefix + text.substr(begin, end - begin) + "\n");
    begin = end + 1;
  }
}

void TaskLog::write(const std::string& text) {
  if (!file_ || cut_) return;
  const std::string note = cut_note(cap_);
  if (size_ + text.size() + note.size() > cap_) {
    cut_ = true;
    std::fputs(note.c_str(), file_.get());
    std::fflush(file_.get());
    size_ += note.size();
    return;
  }
  std::fwrite(text.data(), 1, text.size(), file_.get());
  // Flushed line by line: whoever watches the log sees the task as it goes.
  std::fflush(file_.get());
  size_ += text.size();
}

std::filesystem::path frame_log_path(const std::filesystem::path& logs_folder, std::int32_t frame) {
  return logs_folder / ("frame-" + std::to_string(frame) + ".log");
}

}  // namespace paravelle::worker
