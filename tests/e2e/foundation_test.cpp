// End-to-end tests of the program's foundation: connecting its two files (missing, directories,
// permissions, long paths), the diagnostic and traceback texts, sharing between runs and
// console events. Every test runs the built program in a scratch directory with real files,
// FIFOs and signals. How a normal or failed run leaves the output file is in the golden cases
// of conversion_test.cpp.
//
// This file is the home of two scenarios that other tests repeat for what they add:
// - a read-only output file is never changed, and refused only when the run has a record to
//   write, as an ordinary user and as root (ReadOnlyOutput);
// - a severe report is its diagnostic line, the traceback's title line and 1 to 20 rows, and
//   nothing after them (Connect.MissingInputIsFileNotFoundAndCreatesNothing; the row check
//   itself in Traceback.RowShapeRecognised).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "run_support.h"
#include "tests/support/files.h"
#include "tests/support/lines.h"
#include "tests/support/traceback_text.h"

namespace e2e {
namespace {

using namespace test_support;
using namespace std::chrono_literals;

/// How long a live run may take to reach the state a test waits for.
constexpr std::chrono::milliseconds WAIT_LIMIT = 20s;
/// How long any run may take once the test has done its part.
constexpr std::chrono::milliseconds RUN_LIMIT = 60s;

// ---------------------------------------------------------------------------------------
// Lines and records

/// A second E line, ending in LF alone: first 5/12, second 4/11, digit 7, frequency 0.5.
std::string second_line() { return korv_line({" 5", " 12", " 4", " 11", "7", "E", "       0.5"}) + "\n"; }

/// The record of `second_line`: 500 at five decimals, next labels 6 and 5.
std::string second_record() { return dunta_record({.frequency = "   500.00000", .first = {5, 12}, .second = {4, 11}}); }

/// `example_line` with a lowercase species, which the rules discard.
std::string discarded_line() { return korv_line({.species = "e"}) + "\r\n"; }

/// Earlier contents of an output file: four lines of 78 bytes, longer than any output the
/// tests expect, so that a missing cut leaves some of it behind.
const std::string PREVIOUS_OUTPUT = std::string(76, 'p') + "\r\n" + std::string(76, 'q') + "\r\n" +
                                    std::string(76, 'r') + "\r\n" + std::string(76, 's') + "\r\n";

// ---------------------------------------------------------------------------------------
// Files, FIFOs and waiting

/// What a test can see of a file: whether it exists, its kind and permissions, its bytes.
struct FileState {
  bool exists = false;
  mode_t mode = 0;
  std::optional<std::string> bytes;

  bool operator==(const FileState&) const = default;
};

FileState file_state(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return {};
  FileState state{true, status.st_mode, std::nullopt};
  if (S_ISREG(status.st_mode)) state.bytes = read_bytes(path);
  return state;
}

/// Polls `condition` until it holds or `limit` passes; true when it held.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = WAIT_LIMIT) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
}

/// Waits in `while_running` until the live run's output file holds `size` bytes; otherwise
/// records a failure and kills the run so that the test ends.
bool await_output_size(pid_t run, const std::string& output, std::size_t size) {
  if (eventually([&] { return file_size(output) == static_cast<long long>(size); })) return true;
  ADD_FAILURE() << "the output never reached " << size << " bytes (it has " << file_size(output) << ")";
  ::kill(run, SIGKILL);
  return false;
}

/// A FIFO standing in for the input file, so that a run lasts until the test ends it. The
/// program holds it open for writing too and so never meets its end; a line holding only
/// control-Z ends the input.
class InputFifo {
 public:
  explicit InputFifo(const std::string& path) {
    if (::mkfifo(path.c_str(), 0666) != 0) throw std::runtime_error("mkfifo failed: " + path);
    // Open for reading and writing: no wait for the program, and data stays until it reads.
    descriptor_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (descriptor_ < 0) throw std::runtime_error("cannot open FIFO " + path);
  }
  ~InputFifo() { ::close(descriptor_); }
  InputFifo(const InputFifo&) = delete;
  InputFifo& operator=(const InputFifo&) = delete;

  /// Writes all of `bytes`.
  void send(std::string_view bytes) const {
    while (!bytes.empty()) {
      const ssize_t put = ::write(descriptor_, bytes.data(), bytes.size());
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) throw std::runtime_error("cannot write to the FIFO");
      bytes.remove_prefix(static_cast<std::size_t>(put));
    }
  }
  /// Ends the input as the program's reader sees it.
  void end_input() const { send("\x1a\n"); }

 private:
  int descriptor_ = -1;
};

/// Makes a chain of directories below `base` (components of `fill`) whose full path is
/// exactly `length` characters long; returns that path.
std::string make_directory_of_length(const std::string& base, std::size_t length, char fill) {
  if (length < base.size() + 2) throw std::invalid_argument("directory length too short");
  std::string path = base;
  while (path.size() < length) {
    const std::size_t remaining = length - path.size();
    // Components stay well under the file-name limit, and never leave a single character.
    const std::size_t component = remaining <= 201 ? remaining - 1 : 100;
    path += "/" + std::string(component, fill);
    std::filesystem::create_directory(path);
  }
  return path;
}

// ---------------------------------------------------------------------------------------
// Fixtures

/// A scratch directory and runs of the program in it. Every run checks that the input file
/// came through untouched: same kind, permissions and bytes, and still missing if it was.
class ProgramTest : public ::testing::Test {
 protected:
  std::string input_path() const { return scratch_.file(INPUT_NAME); }
  std::string output_path() const { return scratch_.file(OUTPUT_NAME); }

  /// The output file's bytes, or a marker no run can write when the file is missing.
  std::string output() const { return read_bytes(output_path()).value_or("<no output file>"); }

  /// Runs the program in `directory` (the scratch directory when empty) under a time limit.
  RunResult run(RunOptions options = {}, const std::string& directory = "") const {
    const std::string where = directory.empty() ? scratch_.path() : directory;
    const std::string input = where + "/" + INPUT_NAME;
    const FileState before = file_state(input);
    if (options.time_limit.count() == 0) options.time_limit = RUN_LIMIT;
    const RunResult result = run_program(where, options);
    EXPECT_FALSE(result.timed_out) << "the run did not end and was killed";
    const FileState after = file_state(input);
    EXPECT_EQ(after.exists, before.exists) << "input file created or removed";
    EXPECT_EQ(after.mode, before.mode) << "input file kind or permissions changed";
    EXPECT_TRUE(after.bytes == before.bytes) << "input file changed";
    return result;
  }

  /// Options of a run in which permission bits bind: as an ordinary user when the tests run
  /// as root, in a scratch directory that user may search and write, starting a copy of the
  /// program that user may execute.
  RunOptions unprivileged() const {
    std::filesystem::permissions(scratch_.path(), std::filesystem::perms::all);
    RunOptions options;
    options.program = copy_program_into(scratch_.path() + "/program");
    options.in_child = [] { become_unprivileged(); };
    return options;
  }

  ScratchDirectory scratch_;
};

/// Connecting the input and output files: full paths, kinds of file, permissions.
class Connect : public ProgramTest {};
/// Two runs in one directory.
class Sharing : public ProgramTest {};

// ---------------------------------------------------------------------------------------
// Connect

TEST_F(Connect, MissingInputIsFileNotFoundAndCreatesNothing) {
  const RunResult result = run();
  EXPECT_EQ(result.exit_status, 29) << "low 8 bits of 0xC000001D";
  EXPECT_EQ(result.signal, 0);
  // The diagnostic line, the traceback's title line and its rows, and nothing after them.
  expect_severe_report(result.error_output, severe_line(29, "file not found", 55, input_path()));
  EXPECT_FALSE(scratch_.exists(OUTPUT_NAME));
  EXPECT_TRUE(std::filesystem::is_empty(scratch_.path())) << "the run created a file";
}

TEST_F(Connect, MissingInputLeavesExistingOutputUnchanged) {
  scratch_.write(OUTPUT_NAME, PREVIOUS_OUTPUT);
  const RunResult result = run();
  EXPECT_EQ(result.exit_status, 29);
  expect_severe_report(result.error_output, severe_line(29, "file not found", 55, input_path()));
  EXPECT_EQ(output(), PREVIOUS_OUTPUT);
}

TEST_F(Connect, DirectoryNamedLikeInputIsPermissionDenied) {
  std::filesystem::create_directory(input_path());
  // A missing output stays missing, an existing one unchanged.
  for (const bool output_exists : {false, true}) {
    SCOPED_TRACE(output_exists ? "existing output" : "no output");
    if (output_exists) scratch_.write(OUTPUT_NAME, PREVIOUS_OUTPUT);
    const RunResult result = run();
    EXPECT_EQ(result.exit_status, 9);
    EXPECT_EQ(result.signal, 0);
    expect_severe_report(result.error_output, severe_line(9, "permission to access file denied", 55, input_path()));
    if (output_exists) {
      EXPECT_EQ(output(), PREVIOUS_OUTPUT);
    } else {
      EXPECT_FALSE(scratch_.exists(OUTPUT_NAME));
    }
  }
}

TEST_F(Connect, DirectoryNamedLikeOutputIsPermissionDenied) {
  scratch_.write(INPUT_NAME, example_line());
  std::filesystem::create_directory(output_path());
  const RunResult result = run();
  EXPECT_EQ(result.exit_status, 9);
  EXPECT_EQ(result.signal, 0);
  expect_severe_report(result.error_output, severe_line(9, "permission to access file denied", 58, output_path()));
  EXPECT_TRUE(std::filesystem::is_directory(output_path()));
  EXPECT_TRUE(std::filesystem::is_empty(output_path()));
}

// Full path = current directory + "/" + name while that stays within 255 characters; from
// 256 on (including a current directory too long for the path area) the bare name is
// opened and quoted.
TEST_F(Connect, LongCurrentDirectoryQuotesBareName) {
  struct Case {
    std::size_t cwd_length;
    char fill;
    bool full_path_quoted;
  };
  const std::size_t name_length = INPUT_NAME.size();
  const std::size_t longest_full = 255 - 1 - name_length;  // 232
  if (scratch_.path().size() + 2 > longest_full) GTEST_SKIP() << "the scratch directory's path is already too long";
  for (const Case& test : {Case{longest_full, 'a', true}, Case{longest_full + 1, 'b', false}, Case{300, 'c', false},
                           Case{1000, 'd', false}}) {
    SCOPED_TRACE("current directory of " + std::to_string(test.cwd_length) + " characters");
    const std::string directory = make_directory_of_length(scratch_.path(), test.cwd_length, test.fill);
    const std::string quoted = test.full_path_quoted ? directory + "/" + INPUT_NAME : INPUT_NAME;
    const RunResult result = run({}, directory);
    EXPECT_EQ(result.exit_status, 29);
    expect_severe_report(result.error_output, severe_line(29, "file not found", 55, quoted));
    EXPECT_TRUE(std::filesystem::is_empty(directory)) << "the run created a file";
  }
}

TEST_F(Connect, LongCurrentDirectoryConvertsThroughBareNames) {
  const std::string directory = make_directory_of_length(scratch_.path(), 300, 'e');
  std::ofstream(directory + "/" + INPUT_NAME, std::ios::binary) << example_line();
  const RunResult result = run({}, directory);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(read_bytes(directory + "/" + OUTPUT_NAME).value_or("<missing>"), example_record());
}

TEST_F(Connect, ReadOnlyInputIsReadNormally) {
  if (!can_run_unprivileged()) GTEST_SKIP() << "permission bits do not bind and root cannot be given up";
  scratch_.write(INPUT_NAME, example_line() + second_line());
  std::filesystem::permissions(input_path(), std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                                 std::filesystem::perms::others_read);
  const RunResult result = run(unprivileged());
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.error_output, "");
  EXPECT_EQ(output(), example_record() + second_record());
}

TEST_F(Connect, UnreadableInputIsPermissionDenied) {
  if (!can_run_unprivileged()) GTEST_SKIP() << "permission bits do not bind and root cannot be given up";
  scratch_.write(INPUT_NAME, example_line());
  std::filesystem::permissions(input_path(), std::filesystem::perms::none);
  const RunResult result = run(unprivileged());
  EXPECT_EQ(result.exit_status, 9);
  expect_severe_report(result.error_output, severe_line(9, "permission to access file denied", 55, input_path()));
  EXPECT_FALSE(scratch_.exists(OUTPUT_NAME));
}

TEST_F(Connect, OutputInReadOnlyDirectoryIsPermissionDenied) {
  if (!can_run_unprivileged()) GTEST_SKIP() << "permission bits do not bind and root cannot be given up";
  scratch_.write(INPUT_NAME, example_line());
  RunOptions options = unprivileged();
  namespace fs = std::filesystem;
  fs::permissions(scratch_.path(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                       fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const RunResult result = run(options);
  EXPECT_EQ(result.exit_status, 9);
  expect_severe_report(result.error_output, severe_line(9, "permission to access file denied", 58, output_path()));
  EXPECT_FALSE(scratch_.exists(OUTPUT_NAME));
}

/// A read-only output file, as an ordinary user and as root (the mark binds both): what the
/// run has to write decides how it ends.
struct ReadOnlyOutputCase {
  const char* name;
  std::string input;
  bool refused;  ///< condition 47 at the first record, before any byte is written
};

/// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ReadOnlyOutputCase& c, std::ostream* out) { *out << c.name; }

class ReadOnlyOutput : public ProgramTest, public ::testing::WithParamInterface<ReadOnlyOutputCase> {};

TEST_P(ReadOnlyOutput, NeverChangesTheFile) {
  const ReadOnlyOutputCase& c = GetParam();
  std::vector<std::pair<std::string, RunOptions>> users;
  if (can_run_unprivileged()) users.emplace_back("ordinary user", unprivileged());
  if (::geteuid() == 0) users.emplace_back("root", RunOptions{});
  for (const auto& [user, options] : users) {
    SCOPED_TRACE(user);
    scratch_.write(INPUT_NAME, c.input);
    scratch_.write(OUTPUT_NAME, PREVIOUS_OUTPUT);
    ASSERT_EQ(::chmod(output_path().c_str(), 0444), 0);
    const RunResult result = run(options);
    if (c.refused) {
      EXPECT_EQ(result.exit_status, 47);
      EXPECT_EQ(result.signal, 0);
      expect_severe_report(result.error_output, severe_line(47, "write to READONLY file", 58, output_path()));
    } else {
      EXPECT_EQ(result.exit_status, 0);
      EXPECT_EQ(result.error_output, "");
    }
    EXPECT_EQ(output(), PREVIOUS_OUTPUT);
    EXPECT_EQ(file_state(output_path()).mode & 07777, 0444u);
    std::filesystem::remove(output_path());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Connect, ReadOnlyOutput,
    ::testing::Values(ReadOnlyOutputCase{"EmptyInput", "", false},
                      // Species e and X: the records are read and discarded, so nothing is written.
                      ReadOnlyOutputCase{"EveryRecordDiscarded", discarded_line() + korv_line({.species = "X"}), false},
                      ReadOnlyOutputCase{"RecordsToWrite", discarded_line() + example_line() + second_line(), true}),
    [](const ::testing::TestParamInfo<ReadOnlyOutputCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Sharing

TEST_F(Sharing, SecondRunRefusedFirstRunUnaffected) {
  InputFifo fifo(input_path());
  RunOptions first_options;
  first_options.while_running = [&](pid_t first) {
    fifo.send(example_line());
    if (!await_output_size(first, output_path(), RECORD_BYTES)) return;

    RunOptions second_options;
    second_options.time_limit = 10s;  // a second run that is let in would wait on the FIFO
    const RunResult second = run(second_options);
    EXPECT_EQ(second.exit_status, 30);
    expect_severe_report(second.error_output,
                         system_error_line(EWOULDBLOCK) + severe_line(30, "open failure", 55, input_path()));
    EXPECT_EQ(output(), example_record()) << "the second run touched the first run's output";

    fifo.send(second_line());
    fifo.end_input();
  };
  const RunResult first = run(first_options);
  EXPECT_EQ(first.exit_status, 0);
  EXPECT_EQ(first.signal, 0);
  EXPECT_EQ(first.error_output, "");
  EXPECT_EQ(output(), example_record() + second_record());
}

TEST_F(Sharing, OutputHeldByAnotherProcessIsOpenFailure) {
  scratch_.write(INPUT_NAME, example_line());
  scratch_.write(OUTPUT_NAME, PREVIOUS_OUTPUT);
  // This test process holds the output as a run does.
  const int held = ::open(output_path().c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  const RunResult result = run();
  ::close(held);
  EXPECT_EQ(result.exit_status, 30);
  expect_severe_report(result.error_output,
                       system_error_line(EWOULDBLOCK) + severe_line(30, "open failure", 58, output_path()));
  EXPECT_EQ(output(), PREVIOUS_OUTPUT);
}

// ---------------------------------------------------------------------------------------
// ConsoleEvents

struct ConsoleEvent {
  const char* test_name;
  int signal_number;
  int exit_status;
  const char* event_text;
};

/// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ConsoleEvent& event, std::ostream* out) { *out << event.event_text; }

class ConsoleEvents : public ProgramTest, public ::testing::WithParamInterface<ConsoleEvent> {};

TEST_P(ConsoleEvents, NoticeExitStatusAndRecordsKept) {
  const ConsoleEvent& event = GetParam();
  InputFifo fifo(input_path());
  RunOptions options;
  options.while_running = [&](pid_t run) {
    fifo.send(example_line() + second_line());
    if (!await_output_size(run, output_path(), 2 * RECORD_BYTES)) return;
    ::kill(run, event.signal_number);
  };
  const RunResult result = run(options);
  EXPECT_EQ(result.signal, 0) << "killed by the signal instead of handling it";
  EXPECT_EQ(result.exit_status, event.exit_status);
  EXPECT_EQ(result.error_output,
            std::string("korv2dunta: error (200): program aborting due to ") + event.event_text + " event\r\n");
  EXPECT_EQ(output(), example_record() + second_record());
}

TEST_P(ConsoleEvents, DuringFirstReadLeavesEmptyOutput) {
  const ConsoleEvent& event = GetParam();
  InputFifo fifo(input_path());
  RunOptions options;
  // The output file appears at connect, after the event handling is in place.
  options.while_running = [&](pid_t run) {
    if (!await_output_size(run, output_path(), 0)) return;
    ::kill(run, event.signal_number);
  };
  const RunResult result = run(options);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_status, event.exit_status);
  EXPECT_EQ(result.error_output,
            std::string("korv2dunta: error (200): program aborting due to ") + event.event_text + " event\r\n");
  EXPECT_EQ(file_size(output_path()), 0);
}

INSTANTIATE_TEST_SUITE_P(, ConsoleEvents,
                         ::testing::Values(ConsoleEvent{"ControlC", SIGINT, 130, "control-C"},
                                           ConsoleEvent{"ControlBreak", SIGQUIT, 131, "control-BREAK"},
                                           ConsoleEvent{"WindowClose", SIGHUP, 129, "window-CLOSE"}),
                         [](const ::testing::TestParamInfo<ConsoleEvent>& info) { return info.param.test_name; });

// ---------------------------------------------------------------------------------------
// Traceback

TEST(Traceback, RowShapeRecognised) {
  // The row check itself, on rows laid out by the C library and on near misses.
  char row[160];
  std::snprintf(row, sizeof row, "%-17.17s  %8.8lX  %-17.17s  %10.10s  %s\n", "korv2dunta", 0x350DUL, "Unknown",
                "Unknown", "Unknown");
  EXPECT_TRUE(is_traceback_row(row)) << row;
  std::snprintf(row, sizeof row, "%-17.17s  %8.8lX  %-17.17s  %10.10s  %s\n", "a-module-name-longer-than-17",
                0x123456789ABUL, "a_routine_name_longer_than_17", "1234567890123", "source.cpp");
  EXPECT_TRUE(is_traceback_row(row)) << row;
  for (const char* wrong : {
           "korv2dunta         0000350d  Unknown               Unknown  Unknown\n",    // lower-case PC
           "korv2dunta         350D  Unknown               Unknown  Unknown\n",        // PC too short
           "korv2dunta        0000350D  Unknown               Unknown  Unknown\n",     // module 16 columns
           "korv2dunta         0000350D  Unknown              Unknown  Unknown\n",     // routine 16 columns
           "korv2dunta         0000350D  Unknown               Unknown  Unknown\r\n",  // CR LF
           "korv2dunta         0000350D  Unknown               Unknown  Unknown",      // no line end
       }) {
    EXPECT_FALSE(is_traceback_row(wrong)) << wrong;
  }
}

}  // namespace
}  // namespace e2e
