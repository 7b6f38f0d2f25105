// What a node said during one task (a frame's try, a job start), kept for the operator: every message
// in both directions with a time stamp, appended to a file (each try under a heading of its own),
// so a failure can be read in the node's own words after the run. A file is capped in size, so a
// chatty script cannot fill the disk; the cut is marked where it happened.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace paravelle::worker {

class TaskLog {
 public:
  static constexpr std::uint64_t kDefaultCap = 16 * 1024 * 1024;

  // Opens `file` for appending, making its folder. The cap counts the whole file, earlier tries
  // included. A file that cannot be opened leaves a log that writes nothing (path() is then empty):
  // the run goes on without it.
  TaskLog(std::filesystem::path file, std::uint64_t cap);

  // "== <text>, <date and time>", preceded by an empty line when the file is not new.
  void heading(const std::string& text);
  // One message: "<time> farm: <payload>" or "<time> node: <payload>"; further lines of the payload
  // are indented beneath it.
  void message(bool from_node, const std::string& payload);
  // A line of the farm's own: "<time> -- <text>".
  void note(const std::string& text);
  // What the node printed meanwhile, a line each: "<time> node stdout: <line>" (or "stderr").
  void printed(const char* stream, const std::string& text);

  const std::filesystem::path& path() const { return path_; }

 private:
  void write(const std::string& text);

  std::filesystem::path path_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
  std::uint64_t cap_;
  std::uint64_t size_ = 0;
  bool cut_ = false;
};

// "<logs folder>/frame-<n>.log": where every try of a frame is logged.
std::filesystem::path frame_log_path(const std::filesystem::path& logs_folder, std::int32_t frame);

// "2024-05-01 12:00:00.123" in local time, as the logs stamp their lines.
std::string log_time_stamp();

}  // namespace paravelle::worker
