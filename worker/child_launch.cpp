#include "worker/child_launch.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string_view>

#include "worker/errors.h"
#include "worker/poll_wait.h"
#include "worker/unique_fd.h"

extern char** environ;

namespace paravelle::worker {
namespace {

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

[[noreturn]] void child_side(const LaunchSpec& spec, char* const* argv, char* const* envp, int report_fd) {
  if (spec.own_process_group) ::setpgid(0, 0);
  if (spec.die_with_parent) ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // A program that waits for its signals in a thread of its own blocks them everywhere else; the
  // child must not inherit that, or Ctrl-C and a polite SIGTERM would never reach it.
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if ((spec.stdin_fd >= 0 && ::dup2(spec.stdin_fd, 0) < 0) || (spec.stdout_fd >= 0 && ::dup2(spec.stdout_fd, 1) < 0) ||
      (spec.stderr_fd >= 0 && ::dup2(spec.stderr_fd, 2) < 0)) {
    const int error = errno;
    [[maybe_unused]] const auto ignored = ::write(report_fd, &error, sizeof error);
    ::_exit(127);
  }
  ::execve(argv[0], argv, envp);
  const int error = errno;
  [[maybe_unused]] const auto ignored = ::write(report_fd, &error, sizeof error);
  ::_exit(127);
}

}  // namespace

std::vector<std::string> merged_environment(const std::vector<std::pair<std::string, std::string>>& additions) {
  std::vector<std::string> result;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    const auto name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const auto& addition : additions) replaced = replaced || addition.first == name;
    if (!replaced) result.emplace_back(text);
  }
  for (const auto& [name, value] : additions) result.push_back(name + "=" + value);
  return result;
}

pid_t launch_child(const LaunchSpec& spec) {
  if (spec.argv.empty()) throw WorkerError("no program to start");
  std::vector<std::string> argv_texts = spec.argv;
  std::vector<std::string> env_texts = merged_environment(spec.env_additions);
  const auto argv = pointers_to(argv_texts);
  const auto envp = pointers_to(env_texts);

  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) throw system_failure("cannot create a pipe", errno);
  UniqueFd report_read(report[0]);
  UniqueFd report_write(report[1]);

  const pid_t pid = ::fork();
  if (pid < 0) throw system_failure("cannot start " + spec.argv[0], errno);
  if (pid == 0) child_side(spec, argv.data(), envp.data(), report_write.get());
  // Set from both sides: whichever runs first, the group exists before anyone signals it.
  if (spec.own_process_group) ::setpgid(pid, pid);

  report_write.reset();
  int child_error = 0;
  ssize_t count;
  do {
    count = ::read(report_read.get(), &child_error, sizeof child_error);
  } while (count < 0 && errno == EINTR);
  if (count == static_cast<ssize_t>(sizeof child_error)) {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    throw system_failure("cannot start " + spec.argv[0], child_error);
  }
  return pid;
}

}  // namespace paravelle::worker
