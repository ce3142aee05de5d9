// Running the built program as users do: in a scratch directory, as a child process, with
// its standard error and exit status captured.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "converter/driver.h"

namespace e2e {

/// The program's two files, by the names it opens them under.
inline const std::string INPUT_NAME{converter::INPUT_FILE_NAME};
inline const std::string OUTPUT_NAME{converter::OUTPUT_FILE_NAME};

/// The built program under test.
const char* program_path();
/// The source tree (for bundled examples and scripts).
const char* source_dir();

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
  /// The program to start instead of the built one (a copy the run's user can execute).
  std::string program;
};

/// True when permission bits can bind a run: the tests run as an ordinary user, or as root
/// able to give root up in the child (see `become_unprivileged`).
bool can_run_unprivileged();
/// For RunOptions::in_child: when running as root, becomes the ordinary user and group 65534
/// so that permission bits bind the program; ends the child with status 124 when it cannot.
/// The run's directory must then be accessible to that user, and so must the program: the
/// build tree may lie where that user cannot go (a clone in root's home), so such runs start
/// a copy made by `copy_program_into`.
void become_unprivileged() noexcept;
/// Copies the built program into `directory` (made if missing) for every user to execute, and
/// returns the copy's path.
std::string copy_program_into(const std::string& directory);

/// Starts the program in `directory`, waits for it and returns how it ended.
RunResult run_program(const std::string& directory, const RunOptions& options = {});

/// Checks a run that ended by a severe condition: in time, no signal, `exit_status` (the
/// code's low 8 bits), and standard error holding `head`, the traceback and `tail`.
void expect_severe_run(const RunResult& run, int exit_status, const std::string& head, const std::string& tail = "");

}  // namespace e2e
