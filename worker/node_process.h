// A node (or any program standing in for one) run as a child process with its output captured.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "worker/unique_fd.h"

namespace paravelle::worker {

// Starts `node_binary --port P --token T [extra_args]` with the environment additions (which replace
// variables of the same name), stdin from /dev/null, stdout and stderr captured to anonymous files.
// The destructor ends a child that is still running (SIGTERM, then SIGKILL after a grace period)
// and reaps it, so no child outlives its owner or stays a zombie.
class NodeProcess {
 public:
  NodeProcess(const std::string& node_binary, std::uint16_t port, const std::string& token,
              std::vector<std::string> extra_args = {}, std::vector<std::pair<std::string, std::string>> env = {});
  // Any program: argv[0] is its path (no PATH search), the rest its arguments. With `own_group` the
  // child leads a process group of its own and dies with the thread that started it, so that
  // kill_group() ends whatever it started too (a renderer's helpers, a hung script's children).
  // With an `output_stem` its standard output and error go to the files <stem>.out and <stem>.err,
  // which stay when it has ended; without, to anonymous files.
  explicit NodeProcess(std::vector<std::string> argv, std::vector<std::pair<std::string, std::string>> env = {},
                       bool own_group = false, const std::filesystem::path& output_stem = {});
  NodeProcess(const NodeProcess&) = delete;
  NodeProcess& operator=(const NodeProcess&) = delete;
  ~NodeProcess();

  // Waits for the child to end: its exit code, or 128 + the signal that ended it.
  // TimeoutError when it is still running; later calls return the same code.
  int wait(int timeout_ms);
  // Sends SIGTERM, waits up to `grace_ms`, then SIGKILL; returns the exit status as wait() does.
  int terminate(int grace_ms);
  // SIGKILL to the child's whole process group (to the child alone without one), then reaps it.
  int kill_group();
  bool running() const { return !exit_code_.has_value(); }
  std::string stdout_text() const;
  std::string stderr_text() const;
  // The last non-empty lines of standard error (at most `lines`, from its last 4 KiB), oldest first.
  std::vector<std::string> stderr_tail(std::size_t lines) const;
  // How much the child has written to standard output or error so far, and what it wrote from
  // `offset` on (at most `limit` bytes), so a caller can pick out what one task printed.
  enum class Stream { out, err };
  std::uint64_t output_size(Stream stream) const;
  std::string output_since(Stream stream, std::uint64_t offset, std::size_t limit) const;
  pid_t pid() const { return pid_; }

 private:
  // Reaps the child if it has ended; true when it has.
  bool try_reap();

  pid_t pid_ = -1;
  UniqueFd pid_fd_;  // readable when the child ends; absent on kernels without pidfd
  UniqueFd stdout_file_;
  UniqueFd stderr_file_;
  std::optional<int> exit_code_;
  bool own_group_ = false;
};

}  // namespace paravelle::worker
