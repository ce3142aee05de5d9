// Child-process plumbing for the end-to-end tests.
#include "run_support.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace e2e {

const char* program_path() { return KORV_PROGRAM; }
const char* source_dir() { return KORV_SOURCE_DIR; }

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "korv2dunta-e2e-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // Tests may leave read-only files or directories behind, the scratch directory itself
  // included; make them removable first.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

void ScratchDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + file(name));
}

std::string ScratchDir::read(const std::string& name) const {
  std::ifstream in(file(name), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file(name));
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool ScratchDir::exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

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

RunResult run_program(const std::string& directory, const RunOptions& options) {
  int error_pipe[2];
  if (::pipe2(error_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> environment_text;
  for (char** entry = environ; *entry != nullptr; ++entry) environment_text.emplace_back(*entry);
  for (const std::string& added : options.environment) environment_text.push_back(added);
  std::vector<char*> environment;
  for (std::string& entry : environment_text) environment.push_back(entry.data());
  environment.push_back(nullptr);

  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    ::dup2(error_pipe[1], STDERR_FILENO);
    if (::chdir(directory.c_str()) != 0) ::_exit(125);
    if (options.in_child) options.in_child();
    char* const argv[] = {const_cast<char*>(program_path()), nullptr};
    ::execve(program_path(), argv, environment.data());
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

bool is_traceback_row(std::string_view row) {
  if (row.empty() || row.back() != '\n') return false;
  row.remove_suffix(1);
  if (row.find_first_of("\r\n") != std::string_view::npos) return false;
  if (row.size() < 17 + 2 || row.substr(17, 2) != "  ") return false;
  row.remove_prefix(17 + 2);
  const std::size_t digits = row.find_first_not_of("0123456789ABCDEF");
  if (digits == std::string_view::npos || digits < 8) return false;
  row.remove_prefix(digits);
  if (row.size() < 2 + 17 + 2 + 10 + 2) return false;
  return row.substr(0, 2) == "  " && row.substr(2 + 17, 2) == "  " && row.substr(2 + 17 + 2 + 10, 2) == "  ";
}

std::string record(const std::string& columns) { return columns + "\r\n"; }

}  // namespace e2e
