#include "worker/node_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <thread>

#include "worker/child_launch.h"
#include "worker/errors.h"
#include "worker/poll_wait.h"

namespace paravelle::worker {
namespace {

constexpr int kDestructorGraceMs = 2000;

UniqueFd capture_file(const char* name, const std::filesystem::path& stem, const char* extension) {
  if (!stem.empty()) {
    const std::string path = stem.string() + extension;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) throw system_failure("cannot create " + path, errno);
    return fd;
  }
  UniqueFd fd(::memfd_create(name, MFD_CLOEXEC));
  if (!fd) throw system_failure("cannot create a capture file", errno);
  return fd;
}

std::string read_from(const UniqueFd& fd, off_t offset, std::size_t limit = std::string::npos) {
  std::string text;
  char chunk[8192];
  while (text.size() < limit) {
    const ssize_t count = ::pread(fd.get(), chunk, sizeof chunk, offset);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return text;
    text.append(chunk, std::min(static_cast<std::size_t>(count), limit - text.size()));
    offset += count;
  }
  return text;
}

UniqueFd open_pid_fd(pid_t pid) {
#ifdef SYS_pidfd_open
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
  return UniqueFd();
#endif
}

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 255;
}

std::vector<std::string> node_command_line(const std::string& node_binary, std::uint16_t port, const std::string& token,
                                           const std::vector<std::string>& extra_args) {
  std::vector<std::string> argv = {node_binary, "--port", std::to_string(port), "--token", token};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  return argv;
}

}  // namespace

NodeProcess::NodeProcess(const std::string& node_binary, std::uint16_t port, const std::string& token,
                         std::vector<std::string> extra_args, std::vector<std::pair<std::string, std::string>> env)
    : NodeProcess(node_command_line(node_binary, port, token, extra_args), std::move(env)) {}

NodeProcess::NodeProcess(std::vector<std::string> argv, std::vector<std::pair<std::string, std::string>> env,
                         bool own_group, const std::filesystem::path& output_stem)
    : stdout_file_(capture_file("node-stdout", output_stem, ".out")),
      stderr_file_(capture_file("node-stderr", output_stem, ".err")),
      own_group_(own_group) {
  UniqueFd null_input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  LaunchSpec spec;
  spec.argv = std::move(argv);
  spec.env_additions = std::move(env);
  spec.stdin_fd = null_input.get();
  spec.stdout_fd = stdout_file_.get();
  spec.stderr_fd = stderr_file_.get();
  spec.own_process_group = own_group;
  spec.die_with_parent = own_group;
  pid_ = launch_child(spec);
  pid_fd_ = open_pid_fd(pid_);
}

NodeProcess::~NodeProcess() {
  if (!running()) return;
  try {
    terminate(kDestructorGraceMs);
  } catch (...) {
    // A destructor cannot report; the SIGKILL path below has already been tried by terminate.
  }
}

bool NodeProcess::try_reap() {
  if (exit_code_) return true;
  int status = 0;
  pid_t result;
  do {
    result = ::waitpid(pid_, &status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result == 0) return false;
  if (result < 0) throw system_failure("cannot wait for the node process", errno);
  exit_code_ = exit_code_of(status);
  return true;
}

int NodeProcess::wait(int timeout_ms) {
  const Deadline deadline(timeout_ms);
  while (!try_reap()) {
    if (pid_fd_) {
      if (!wait_for(pid_fd_.get(), POLLIN, deadline)) break;
    } else {
      // Without pidfd there is nothing to poll; sleep in short steps instead.
      const int remaining = deadline.remaining_ms();
      if (remaining == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(remaining < 0 ? 20 : std::min(remaining, 20)));
    }
  }
  if (!exit_code_) {
    throw TimeoutError("the node process " + std::to_string(pid_) + " is still running after " +
                       std::to_string(timeout_ms) + " ms");
  }
  return *exit_code_;
}

int NodeProcess::kill_group() {
  // The group outlives its leader: signal it even when the leader has already ended.
  if (own_group_ || !exit_code_) ::kill(own_group_ ? -pid_ : pid_, SIGKILL);
  return wait(-1);
}

int NodeProcess::terminate(int grace_ms) {
  if (try_reap()) return *exit_code_;
  ::kill(own_group_ ? -pid_ : pid_, SIGTERM);
  try {
    return wait(grace_ms);
  } catch (const TimeoutError&) {
    ::kill(own_group_ ? -pid_ : pid_, SIGKILL);
    return wait(-1);
  }
}

std::string NodeProcess::stdout_text() const { return read_from(stdout_file_, 0); }
std::string NodeProcess::stderr_text() const { return read_from(stderr_file_, 0); }

std::uint64_t NodeProcess::output_size(Stream stream) const {
  struct stat status {};
  const int fd = stream == Stream::out ? stdout_file_.get() : stderr_file_.get();
  return ::fstat(fd, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

std::string NodeProcess::output_since(Stream stream, std::uint64_t offset, std::size_t limit) const {
  return read_from(stream == Stream::out ? stdout_file_ : stderr_file_, static_cast<off_t>(offset), limit);
}

std::vector<std::string> NodeProcess::stderr_tail(std::size_t lines) const {
  constexpr off_t kTailBytes = 4096;
  const off_t size = static_cast<off_t>(output_size(Stream::err));
  const off_t start = std::max<off_t>(0, size - kTailBytes);
  std::string text = read_from(stderr_file_, start);
  // A cut through the first line leaves half a line: drop it.
  if (start > 0) text.erase(0, std::min(text.size(), text.find('\n') + 1));
  std::vector<std::string> tail;
  std::size_t end = text.size();
  while (end > 0 && tail.size() < lines) {
    const std::size_t begin = text.rfind('\n', end - 1);
    const std::size_t from = begin == std::string::npos ? 0 : begin + 1;
    if (end > from) tail.insert(tail.begin(), text.substr(from, end - from));
    if (begin == std::string::npos) break;
    end = begin;
  }
  return tail;
}

}  // namespace paravelle::worker
