// Fault injection through the operating system itself: a full device, resource limits, a
// kill in the middle of a long run, runs competing for the same files, and standard streams
// and FIFOs at the process boundary. (Permissions and directories in place of the files are
// in foundation_test.cpp.) Whatever happens, the program ends with
// its diagnostic and exit status, keeps only whole records, and never changes the input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
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

/// Input line `i` of a generated line list: every field varies with i, species E, and a
/// frequency of i mod 10^7 ten-thousandths written with its decimal point.
std::string input_line(long i) {
  const long frequency = i % 10000000;
  char frequency_text[16];
  std::snprintf(frequency_text, sizeof frequency_text, "%ld.%04ld", frequency / 10000, frequency % 10000);
  return korv_line({.first_a = integer_columns(i % 98, 2),
                    .first_b = integer_columns(i % 997, 3),
                    .second_a = integer_columns((i / 7) % 98, 2),
                    .second_b = integer_columns((i / 3) % 997, 3),
                    .digit = integer_columns(i % 10, 1),
                    .frequency = right_aligned(frequency_text, 10)}) +
         "\r\n";
}

/// The output record of input line `i`: the frequency times 1000 with five decimals (v
/// ten-thousandths become v/10 and the digit v mod 10 followed by four zeros), blank signs.
std::string output_record(long i) {
  const long frequency = i % 10000000;
  char frequency_text[16];
  std::snprintf(frequency_text, sizeof frequency_text, "%ld.%ld0000", frequency / 10, frequency % 10);
  return dunta_record({.frequency = right_aligned(frequency_text, 12),
                       .first = {i % 98, i % 997},
                       .second = {(i / 7) % 98, (i / 3) % 997}});
}

/// Lines [first, first + count) of the generated input, and the records they convert to.
std::string input_lines(long count, long first = 0) {
  std::string text;
  text.reserve(static_cast<std::size_t>(count) * 68);
  for (long i = first; i < first + count; ++i) text += input_line(i);
  return text;
}
std::string output_records(long count, long first = 0) {
  std::string text;
  text.reserve(static_cast<std::size_t>(count) * RECORD_BYTES);
  for (long i = first; i < first + count; ++i) text += output_record(i);
  return text;
}

/// True when the program under test was built with AddressSanitizer, which reserves far
/// more address space than any limit a test could set.
constexpr bool built_with_address_sanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

/// For RunOptions::in_child: one resource limit, soft and hard.
void limit_resource(int resource, rlim_t value) {
  const rlimit limit{value, value};
  if (::setrlimit(resource, &limit) != 0) ::_exit(123);
}

TEST(FaultInjection, FullDiskGivesPlatformTextAndWriteError) {
  ScratchDirectory dir;
  const std::string input = input_lines(5);
  dir.write(INPUT_NAME, input);
  ASSERT_EQ(::symlink("/dev/full", dir.file(OUTPUT_NAME).c_str()), 0);

  const RunResult run = run_program(dir.path());

  expect_severe_run(
      run, 38,
      "korv2dunta: No space left on device\r\n" + severe_line(38, "error during write", 58, dir.file(OUTPUT_NAME)));
  EXPECT_EQ(dir.read(INPUT_NAME), input);
}

TEST(FaultInjection, FileSizeLimitIsWriteErrorNotSignal) {
  ScratchDirectory dir;
  const std::string input = input_lines(100);
  dir.write(INPUT_NAME, input);
  // Ten whole records and 20 bytes of the eleventh fit under the limit.
  constexpr rlim_t LIMIT = 10 * RECORD_BYTES + 20;
  RunOptions options;
  options.in_child = [] {
    // The default action of SIGXFSZ kills; the program itself must turn it into an error.
    ::signal(SIGXFSZ, SIG_DFL);
    limit_resource(RLIMIT_FSIZE, LIMIT);
  };

  const RunResult run = run_program(dir.path(), options);

  expect_severe_run(
      run, 38, "korv2dunta: File too large\r\n" + severe_line(38, "error during write", 58, dir.file(OUTPUT_NAME)));
  // What the system accepted before refusing stays in the file.
  EXPECT_EQ(dir.read(OUTPUT_NAME), output_records(100).substr(0, LIMIT));
  EXPECT_EQ(dir.read(INPUT_NAME), input);
}

TEST(FaultInjection, AddressSpaceLimitWithHugeLine) {
  if (built_with_address_sanitizer()) GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
  constexpr rlim_t LIMIT = 64u << 20;
  RunOptions options;
  options.in_child = [] { limit_resource(RLIMIT_AS, LIMIT); };
#if defined(KORV_PROGRAM_EMULATOR)
  // User-mode emulation keeps address-space limits to itself; the emulated program's address
  // space is bounded by the guest space the emulator reserves instead.
  options.environment.push_back("QEMU_RESERVED_VA=" + std::to_string(LIMIT));
#endif

  // The limit leaves the program room for an ordinary run.
  ScratchDirectory small;
  small.write(INPUT_NAME, input_lines(3));
  const RunResult normal = run_program(small.path(), options);
  ASSERT_EQ(normal.exit_status, 0) << normal.error_output;
  ASSERT_EQ(small.read(OUTPUT_NAME), output_records(3));

  ScratchDirectory dir;
  const std::string input = std::string(64u << 20, ' ') + "\r\n" + input_line(0);
  dir.write(INPUT_NAME, input);

  const RunResult run = run_program(dir.path(), options);

  EXPECT_EQ(run.signal, 0);
  const std::string too_long = severe_line(22, "input record too long", 55, dir.file(INPUT_NAME));
  const std::string no_memory = "korv2dunta: severe (41): insufficient virtual memory\r\n";
  if (run.exit_status == 22) {
    expect_severe_run(run, 22, too_long);
  } else {
    expect_severe_run(run, 41, no_memory);
  }
  EXPECT_EQ(dir.read(OUTPUT_NAME), "");
  EXPECT_TRUE(dir.read(INPUT_NAME) == input) << "the input file changed";
}

TEST(FaultInjection, DescriptorLimitRefusesOutput) {
  ScratchDirectory dir;
  const std::string input = input_lines(3);
  dir.write(INPUT_NAME, input);
  RunOptions options;
  options.in_child = [] {
    // Standard input, output and error, and one descriptor for the input file.
    for (int fd = 3; fd < 1024; ++fd) ::close(fd);
    limit_resource(RLIMIT_NOFILE, 4);
  };

  const RunResult run = run_program(dir.path(), options);

  // Too many open files has a row of its own, so no platform text comes first.
  expect_severe_run(run, 30, severe_line(30, "open failure", 58, dir.file(OUTPUT_NAME)));
  // The input unit was connected; closing it at run end reports nothing.
  EXPECT_EQ(run.error_output.find("korv2dunta:", 1), std::string::npos) << run.error_output;
  EXPECT_FALSE(dir.exists(OUTPUT_NAME));
  EXPECT_EQ(dir.read(INPUT_NAME), input);
}

TEST(FaultInjection, KilledMidRunKeepsOnlyLeadingRecords) {
  constexpr long LINES = 1000000;
  ScratchDirectory dir;
  const std::string input = input_lines(LINES);
  dir.write(INPUT_NAME, input);
  const std::string full = output_records(LINES);
  const std::string output_path = dir.file(OUTPUT_NAME);
  RunOptions options;
  options.while_running = [&output_path](pid_t child) {
    // Kill as soon as some records have reached the file, long before the last.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < give_up &&
           file_size(output_path) < 100 * static_cast<long long>(RECORD_BYTES)) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::kill(child, SIGKILL);
  };

  // On a loaded machine the watcher may wake only after the whole run; such a run proves
  // nothing either way, so it is tried again.
  RunResult run = run_program(dir.path(), options);
  for (int retry = 0; retry < 3 && run.signal != SIGKILL; ++retry) run = run_program(dir.path(), options);

  ASSERT_EQ(run.signal, SIGKILL) << "the run ended before it could be killed";
  const std::string output = dir.read(OUTPUT_NAME);
  // A kill that lands inside a write crossing a page boundary of the file may leave that write
  // cut at the boundary (the kernel checks for a fatal signal between pages); anywhere else the
  // file ends with a whole record.
  if (output.size() % RECORD_BYTES != 0) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    EXPECT_EQ(output.size() % page, 0u) << output.size() << " bytes: a record cut off the page boundary";
  }
  EXPECT_GE(output.size(), 100 * RECORD_BYTES);
  EXPECT_LT(output.size(), full.size()) << "the kill came after the last record";
  EXPECT_TRUE(output == full.substr(0, output.size())) << "the output is not the first records of the full run";
  EXPECT_TRUE(dir.read(INPUT_NAME) == input) << "the input file changed";
}

TEST(FaultInjection, TwoRunsInOneDirectoryOneRefused) {
  // Long enough that the second run starts while the first still holds the files.
  constexpr long LINES = 300000;
  ScratchDirectory dir;
  const std::string input = input_lines(LINES);
  dir.write(INPUT_NAME, input);

  RunResult runs[2];
  std::thread first([&] { runs[0] = run_program(dir.path()); });
  std::thread second([&] { runs[1] = run_program(dir.path()); });
  first.join();
  second.join();

  const int winner = runs[0].exit_status == 0 ? 0 : 1;
  const RunResult& won = runs[winner];
  const RunResult& lost = runs[1 - winner];
  EXPECT_EQ(won.exit_status, 0);
  EXPECT_EQ(won.error_output, "");
  // The lock held by the other run is no condition of its own: the platform text comes first.
  expect_severe_run(lost, 30,
                    system_error_line(EWOULDBLOCK) + severe_line(30, "open failure", 55, dir.file(INPUT_NAME)));
  EXPECT_TRUE(dir.read(OUTPUT_NAME) == output_records(LINES)) << "the output is not the complete conversion";
  EXPECT_TRUE(dir.read(INPUT_NAME) == input) << "the input file changed";
}

TEST(FaultInjection, SixteenRunsInSixteenDirectories) {
  constexpr int RUNS = 16;
  std::vector<std::unique_ptr<ScratchDirectory>> dirs;
  std::vector<std::string> inputs;
  for (int i = 0; i < RUNS; ++i) {
    dirs.push_back(std::make_unique<ScratchDirectory>());
    // Each directory converts a different stretch of lines.
    inputs.push_back(input_lines(20000 + 100 * i, 10000L * i));
    dirs.back()->write(INPUT_NAME, inputs.back());
  }

  std::vector<RunResult> runs(RUNS);
  std::vector<std::thread> threads;
  for (int i = 0; i < RUNS; ++i) {
    threads.emplace_back(
        [&, i] { runs[static_cast<std::size_t>(i)] = run_program(dirs[static_cast<std::size_t>(i)]->path()); });
  }
  for (std::thread& thread : threads) thread.join();

  for (std::size_t i = 0; i < RUNS; ++i) {
    SCOPED_TRACE("directory " + std::to_string(i));
    EXPECT_EQ(runs[i].exit_status, 0);
    EXPECT_EQ(runs[i].error_output, "");
    const auto n = static_cast<long>(i);
    EXPECT_TRUE(dirs[i]->read(OUTPUT_NAME) == output_records(20000 + 100 * n, 10000 * n)) << "wrong output";
    EXPECT_TRUE(dirs[i]->read(INPUT_NAME) == inputs[i]) << "the input file changed";
  }
}

// ---------------------------------------------------------------------------------------
// The process boundary: standard streams the caller closed or cannot read, FIFOs in place of
// the files, and how long a run waits on them.

/// Input line `i` with a letter in the three columns of `first.b`: a fatal field.
std::string bad_input_line(long i) { return input_line(i).replace(12, 1, "x"); }

/// What the standard-stream cases feed the run.
enum class BoundaryRun { normal, bad_field, output_refused };

struct ClosedStreamsCase {
  const char* name;
  std::vector<int> closed;  ///< descriptors the caller leaves closed
  BoundaryRun kind;
};

/// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ClosedStreamsCase& c, std::ostream* out) { *out << c.name; }

class ClosedStandardStreams : public testing::TestWithParam<ClosedStreamsCase> {};

// A data file must never take the place of a closed standard stream: the diagnostic would be
// written into it. The input spans several blocks so that a stray write would land inside it.
TEST_P(ClosedStandardStreams, NoDiagnosticLandsInADataFile) {
  const ClosedStreamsCase& c = GetParam();
  constexpr long LINES = 300;
  constexpr long BAD_LINE = 250;
  ScratchDirectory dir;
  const std::string input = c.kind == BoundaryRun::bad_field ? input_lines(BAD_LINE) + bad_input_line(BAD_LINE) +
                                                                   input_lines(LINES - BAD_LINE - 1, BAD_LINE + 1)
                                                             : input_lines(LINES);
  dir.write(INPUT_NAME, input);
  if (c.kind == BoundaryRun::output_refused) {
    ASSERT_EQ(::mkdir(dir.file(OUTPUT_NAME).c_str(), 0755), 0);
  }
  const std::vector<int> closed = c.closed;
  RunOptions options;
  options.in_child = [closed] {
    for (const int fd : closed) ::close(fd);
  };

  const RunResult run = run_program(dir.path(), options);

  EXPECT_EQ(run.signal, 0);
  EXPECT_TRUE(dir.read(INPUT_NAME) == input) << "the input file changed";
  switch (c.kind) {
    case BoundaryRun::normal:
      EXPECT_EQ(run.exit_status, 0);
      EXPECT_TRUE(dir.read(OUTPUT_NAME) == output_records(LINES)) << "wrong output";
      break;
    case BoundaryRun::bad_field:
      EXPECT_EQ(run.exit_status, 64);
      EXPECT_TRUE(dir.read(OUTPUT_NAME) == output_records(BAD_LINE)) << "not the records before the bad line";
      break;
    case BoundaryRun::output_refused: EXPECT_EQ(run.exit_status, 9); break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    ProcessBoundary, ClosedStandardStreams,
    testing::Values(ClosedStreamsCase{"ErrorClosed", {2}, BoundaryRun::normal},
                    ClosedStreamsCase{"ErrorClosedBadField", {2}, BoundaryRun::bad_field},
                    ClosedStreamsCase{"ErrorClosedOutputRefused", {2}, BoundaryRun::output_refused},
                    ClosedStreamsCase{"OutputAndErrorClosed", {1, 2}, BoundaryRun::normal},
                    ClosedStreamsCase{"OutputAndErrorClosedBadField", {1, 2}, BoundaryRun::bad_field},
                    ClosedStreamsCase{"AllClosed", {0, 1, 2}, BoundaryRun::normal},
                    ClosedStreamsCase{"AllClosedBadField", {0, 1, 2}, BoundaryRun::bad_field}),
    [](const testing::TestParamInfo<ClosedStreamsCase>& info) { return std::string(info.param.name); });

TEST(ProcessBoundary, ErrorStreamWithoutReaderIsNoSignal) {
  ScratchDirectory dir;
  const std::string input = input_lines(5) + bad_input_line(5);
  dir.write(INPUT_NAME, input);
  RunOptions options;
  options.in_child = [] {
    // Standard error a pipe nobody reads, with the default action of SIGPIPE in place.
    int unread[2];
    if (::pipe(unread) != 0) ::_exit(123);
    ::dup2(unread[1], STDERR_FILENO);
    ::close(unread[0]);
    ::close(unread[1]);
    ::signal(SIGPIPE, SIG_DFL);
  };

  const RunResult run = run_program(dir.path(), options);

  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_status, 64);
  EXPECT_EQ(dir.read(OUTPUT_NAME), output_records(5));
  EXPECT_EQ(dir.read(INPUT_NAME), input);
}

TEST(ProcessBoundary, FullNonBlockingErrorStreamKeepsTheWholeDiagnostic) {
  ScratchDirectory dir;
  dir.write(INPUT_NAME, bad_input_line(0));
  RunOptions options;
  options.in_child = [] {
    // The caller's standard error is non-blocking and full when the diagnostic comes.
    ::fcntl(STDERR_FILENO, F_SETFL, ::fcntl(STDERR_FILENO, F_GETFL) | O_NONBLOCK);
    while (::write(STDERR_FILENO, "........", 8) > 0) {
    }
  };
  // The reader comes only a moment later.
  options.while_running = [](pid_t) { std::this_thread::sleep_for(std::chrono::milliseconds(300)); };

  const RunResult run = run_program(dir.path(), options);

  const std::size_t filler = run.error_output.find_first_not_of('.');
  ASSERT_NE(filler, std::string::npos);
  EXPECT_GE(filler, 4096u);
  expect_severe_run(RunResult{run.exit_status, run.signal, run.timed_out, run.error_output.substr(filler)}, 64,
                    severe_line(64, "input conversion error", 55, dir.file(INPUT_NAME)),
                    "korv2dunta: record 1, columns 12-14: \" x0\"\n");
}

/// Reads the FIFO at `path` as a consumer would, from before the run opens it: up to `limit`
/// bytes, or to its end when the writer closes; gives up after `patience`.
std::string read_fifo(const std::string& path, std::size_t limit, std::chrono::seconds patience) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    ADD_FAILURE() << "cannot open the FIFO " << path;
    return {};
  }
  std::string bytes;
  char chunk[65536];
  const auto give_up = std::chrono::steady_clock::now() + patience;
  while (bytes.size() < limit && std::chrono::steady_clock::now() < give_up) {
    pollfd readable{fd, POLLIN, 0};
    if (::poll(&readable, 1, 100) <= 0) continue;
    const ssize_t got = ::read(fd, chunk, std::min(sizeof chunk, limit - bytes.size()));
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) break;  // the writer closed
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return bytes;
}

TEST(ProcessBoundary, InputFifoEndsWhenItsWriterCloses) {
  constexpr long LINES = 3000;
  ScratchDirectory dir;
  ASSERT_EQ(::mkfifo(dir.file(INPUT_NAME).c_str(), 0666), 0);
  const std::string input_path = dir.file(INPUT_NAME);
  RunOptions options;
  options.while_running = [&input_path](pid_t) {
    // The writer's open waits for the run to open its end for reading.
    const int fd = ::open(input_path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string lines = input_lines(LINES);
    for (std::size_t sent = 0; sent < lines.size();) {
      const ssize_t put = ::write(fd, lines.data() + sent, lines.size() - sent);
      if (put <= 0) break;
      sent += static_cast<std::size_t>(put);
    }
    ::close(fd);  // no control-Z line: the end of the FIFO's data ends the input
  };
  options.time_limit = std::chrono::seconds(20);

  const RunResult run = run_program(dir.path(), options);

  EXPECT_FALSE(run.timed_out) << "the run did not end when the FIFO's writer closed";
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.error_output, "");
  EXPECT_TRUE(dir.read(OUTPUT_NAME) == output_records(LINES)) << "wrong output";
}

// A fault signal that is no integer division (one sent by kill, SIGILL) has no row of its
// own: the generic row with the signal's number, whichever thread takes it.
TEST(ProcessBoundary, FaultSignalsSentByKillGiveTheGenericRow) {
  for (const auto& [signal_number, code] : {std::pair{SIGFPE, "0x8 (8)"}, std::pair{SIGILL, "0x4 (4)"}}) {
    SCOPED_TRACE(code);
    ScratchDirectory dir;
    ASSERT_EQ(::mkfifo(dir.file(INPUT_NAME).c_str(), 0666), 0);
    const std::string input_path = dir.file(INPUT_NAME);
    RunOptions options;
    int writer = -1;
    options.while_running = [&input_path, &writer, signal = signal_number](pid_t child) {
      // Opens once the run has opened its end; the run then waits for a line that never comes
      // (the writer stays open until the run has ended, so it cannot end normally first).
      writer = ::open(input_path.c_str(), O_WRONLY | O_CLOEXEC);
      ASSERT_GE(writer, 0);
      // Sent once the run waits for input, not while its connect is still under way.
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      ::kill(child, signal);
    };
    options.time_limit = std::chrono::seconds(20);
    const RunResult run = run_program(dir.path(), options);
    if (writer >= 0) ::close(writer);
    EXPECT_EQ(run.exit_status, 172);
    EXPECT_TRUE(
        run.error_output.starts_with(std::string("korv2dunta: severe (172): Program Exception - exception code = ") +
                                     code + "\r\n" + TRACEBACK_HEADER))
        << run.error_output;
  }
}

TEST(ProcessBoundary, OutputFifoReadFullyOrAbandoned) {
  ScratchDirectory dir;
  const std::string output_path = dir.file(OUTPUT_NAME);
  ASSERT_EQ(::mkfifo(output_path.c_str(), 0666), 0);
  // Read to its end; then with far more than a pipe holds, a reader gone after 1000 bytes.
  for (const auto& [lines, limit] : {std::pair{3000L, SIZE_MAX}, std::pair{200000L, std::size_t{1000}}}) {
    SCOPED_TRACE(limit);
    const std::string input = input_lines(lines);
    dir.write(INPUT_NAME, input);
    std::string received;
    RunOptions options;
    options.while_running = [&](pid_t) { received = read_fifo(output_path, limit, std::chrono::seconds(20)); };
    options.time_limit = std::chrono::seconds(20);

    const RunResult run = run_program(dir.path(), options);

    EXPECT_FALSE(run.timed_out) << "the run hung on the FIFO";
    const std::string records = output_records(lines);
    if (limit == SIZE_MAX) {
      EXPECT_EQ(run.exit_status, 0);
      EXPECT_EQ(run.error_output, "");
    } else {
      expect_severe_run(run, 38, system_error_line(EPIPE) + severe_line(38, "error during write", 58, output_path));
    }
    EXPECT_TRUE(received == records.substr(0, limit)) << "received " << received.size() << " bytes";
    EXPECT_TRUE(dir.read(INPUT_NAME) == input) << "the input file changed";
  }
}

}  // namespace
}  // namespace e2e
