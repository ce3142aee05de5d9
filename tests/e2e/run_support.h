// Running the built program as users do: in a scratch directory, as a child process, with
// its standard error and exit status captured. POSIX builds fork and exec it
// (run_support.cpp), Windows builds start it with CreateProcess (run_support_windows.cpp);
// the tests of both read its files and diagnostics with tests/support.
#pragma once

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/traceback_text.h"

namespace e2e {

/// A started run as a test sees it while it lasts: its process id, on Windows its handle.
#ifdef _WIN32
using ChildProcess = void*;
#else
using ChildProcess = pid_t;
#endif

/// The built program under test.
std::string program_path();

/// How a run ended and what it printed on standard error.
struct RunResult {
  long long exit_status = -1;  ///< exit status (all 32 bits on Windows), or -1 when killed or not started
  int signal = 0;              ///< the killing signal, or 0
  bool timed_out = false;      ///< the run outlived its time limit and was killed
  std::string error_output;
};

#ifdef _WIN32
/// What the program is handed as its standard error.
enum class ErrorHandle {
  captured,  ///< a file the run's `error_output` is read from
  missing,   ///< no handle at all
  stale,     ///< the value of a handle already closed
};
#endif

/// Options of a run.
struct RunOptions {
#ifdef _WIN32
  ErrorHandle error_handle = ErrorHandle::captured;
#else
  /// Runs in the child after fork, before exec (limits, user changes, signal dispositions).
  std::function<void()> in_child;
  /// Environment entries added to the parent's (NAME=value), e.g. a locale.
  std::vector<std::string> environment;
  /// The program to start instead of the built one (a copy the run's user can execute).
  std::string program;
#endif
  /// Runs in the parent once the child is started.
  std::function<void(ChildProcess)> while_running;
  /// Longest the program may run after `while_running` returns before it is killed;
  /// zero waits for ever.
  std::chrono::milliseconds time_limit{0};
};

/// Starts the program in `directory`, waits for it and returns how it ended.
RunResult run_program(const std::string& directory, const RunOptions& options = {});

/// The line the program prints for an operating-system error code before the diagnostic:
/// the system's text (its first line, on Windows), ending in CR LF.
std::string system_error_line(int error);

/// Checks a run that ended by a severe condition: in time, no signal, `exit_status` (the
/// code's low 8 bits on POSIX, all 32 on Windows), and standard error holding `head`, the
/// traceback and `tail`.
inline void expect_severe_run(const RunResult& run, long long exit_status, const std::string& head,
                              const std::string& tail = "") {
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_status, exit_status);
  test_support::expect_severe_report(run.error_output, head, tail);
}

#ifndef _WIN32
/// The source tree (for bundled examples and scripts).
const char* source_dir();

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
#endif

}  // namespace e2e
