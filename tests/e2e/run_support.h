// Running the built program as users do: in a scratch directory, as a child process, with
// its standard error and exit status captured.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

/// The built program under test.
const char* program_path();
/// The source tree (for bundled examples and scripts).
const char* source_dir();

/// A fresh directory under the system's temporary directory, removed with its contents.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  /// Full path of a file in the directory.
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  /// Writes `bytes` to a file of the directory.
  void write(const std::string& name, const std::string& bytes) const;
  /// Reads a whole file of the directory; throws when it is missing.
  std::string read(const std::string& name) const;
  /// True when the file (or directory) exists.
  bool exists(const std::string& name) const;

 private:
  std::string path_;
};

/// How a run ended and what it printed on standard error.
struct RunResult {
  int exit_status = -1;    ///< exit status, or -1 when killed by a signal
  int signal = 0;          ///< the killing signal, or 0
  bool timed_out = false;  ///< the run outlived its time limit and was killed
  std::string error_output;
};

/// Options of a run.
struct RunOptions {
  /// Runs in the child after fork, before exec (limits, user changes, signal dispositions).
  std::function<void()> in_child;
  /// Runs in the parent once the child is started, with its process id.
  std::function<void(pid_t)> while_running;
  /// Environment entries added to the parent's (NAME=value), e.g. a locale.
  std::vector<std::string> environment;
  /// Longest the program may run after `while_running` returns before it is killed;
  /// zero waits for ever.
  std::chrono::milliseconds time_limit{0};
};

/// True when permission bits can bind a run: the tests run as an ordinary user, or as root
/// able to give root up in the child (see `become_unprivileged`).
bool can_run_unprivileged();
/// For RunOptions::in_child: when running as root, becomes the ordinary user and group 65534
/// so that permission bits bind the program; ends the child with status 124 when it cannot.
/// The run's directory must then be accessible to that user.
void become_unprivileged() noexcept;

/// Starts the program in `directory`, waits for it and returns how it ended.
RunResult run_program(const std::string& directory, const RunOptions& options = {});

/// True for one traceback row: the module in 17 columns, two blanks, the PC in 8 or more
/// upper-case hexadecimal digits, two blanks, the routine in 17 columns, two blanks, the line
/// in 10 columns, two blanks, the source, and a line feed (no carriage return).
bool is_traceback_row(std::string_view row);

/// The 68-byte output record of the given 66 columns.
std::string record(const std::string& columns);

}  // namespace e2e
