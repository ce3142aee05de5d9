// Child-process plumbing for the end-to-end tests on POSIX.
#include "run_support.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace e2e {

std::string program_path() { return KORV_PROGRAM; }
const char* source_dir() { return KORV_SOURCE_DIR; }

namespace {

/// The conventional "nobody" user and group.
constexpr uid_t UNPRIVILEGED_ID = 65534;

}  // namespace

void become_unprivileged() noexcept {
  if (::geteuid() != 0) return;
  if (::setgroups(0, nullptr) != 0 || ::setgid(UNPRIVILEGED_ID) != 0 || ::setuid(UNPRIVILEGED_ID) != 0) {
    ::_exit(124);
  }
}

bool can_run_unprivileged() {
  if (::geteuid() != 0) return true;
  const pid_t probe = ::fork();
  if (probe < 0) return false;
  if (probe == 0) {
    become_unprivileged();
    ::_exit(::geteuid() == UNPRIVILEGED_ID ? 0 : 124);
  }
  int status = 0;
  while (::waitpid(probe, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string copy_program_into(const std::string& directory) {
  namespace fs = std::filesystem;
  constexpr fs::perms EVERYONE_READS_AND_RUNS = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                                fs::perms::others_read | fs::perms::others_exec;
  fs::create_directories(directory);
  fs::permissions(directory, EVERYONE_READS_AND_RUNS);
  const fs::path copy = fs::path(directory) / fs::path(program_path()).filename();
  fs::copy_file(program_path(), copy, fs::copy_options::overwrite_existing);
  fs::permissions(copy, EVERYONE_READS_AND_RUNS);
  return copy.string();
}

RunResult run_program(const std::string& directory, const RunOptions& options) {
  int error_pipe[2];
  if (::pipe2(error_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> environment_text;
  for (char** entry = environ; *entry != nullptr; ++entry) environment_text.emplace_back(*entry);
  for (const std::string& added : options.environment) environment_text.push_back(added);
  const std::string program = options.program.empty() ? program_path() : options.program;
  std::vector<char*> environment;
  for (std::string& entry : environment_text) environment.push_back(entry.data());
  environment.push_back(nullptr);

  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    ::dup2(error_pipe[1], STDERR_FILENO);
    if (::chdir(directory.c_str()) != 0) ::_exit(125);
    if (options.in_child) options.in_child();
#if defined(KORV_PROGRAM_EMULATOR)
    // Cross-built: the emulator runs the program, which sees its own path as argv[0].
    char* const argv[] = {const_cast<char*>(KORV_PROGRAM_EMULATOR), const_cast<char*>(program.c_str()), nullptr};
    ::execve(KORV_PROGRAM_EMULATOR, argv, environment.data());
#else
    char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
    ::execve(program.c_str(), argv, environment.data());
#endif
    ::_exit(126);
  }
  ::close(error_pipe[1]);
  if (options.while_running) options.while_running(child);

  RunResult result;
  char chunk[4096];
  const auto deadline = std::chrono::steady_clock::now() + options.time_limit;
  for (;;) {
    if (options.time_limit.count() > 0) {
      const auto remaining =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (remaining.count() <= 0) {
        // A hung program must fail its test, not the whole suite by the harness's timeout.
        ::kill(child, SIGKILL);
        result.timed_out = true;
        break;
      }
      pollfd readable{error_pipe[0], POLLIN, 0};
      if (::poll(&readable, 1, static_cast<int>(remaining.count())) <= 0) continue;
    }
    const ssize_t got = ::read(error_pipe[0], chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    result.error_output.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(error_pipe[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

std::string system_error_line(int error) { return std::string("korv2dunta: ") + std::strerror(error) + "\r\n"; }

}  // namespace e2e
