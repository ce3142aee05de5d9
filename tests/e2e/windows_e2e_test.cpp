// End-to-end checks of the Windows build: the built program runs in a scratch directory as a
// child process, and its exit status (all 32 bits), standard error and files are compared with
// values worked out from the OS itself (current directory, system message texts). Runs, input
// lines, records and severe reports use the same vocabulary as the POSIX suites (run_support.h,
// tests/support). The death tests at the end run the console and fault handlers inside the test
// process instead.
//
// Scenarios whose home is a POSIX suite are repeated here for what Windows adds: a bad field's
// diagnostic (home: conversion_test.cpp) for the drive-letter path, the 32-bit status and the
// rows the frame walk finds; a read-only output (home: foundation_test.cpp) for the read-only
// attribute, on the input too; the output created empty and cut after the first record (home:
// the golden cases of tests/data) for the Windows file calls; the traceback's layout (home:
// foundation_test.cpp) for the rows of the Windows fault handler.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "records/diagnostics.h"
#include "run_support.h"
#include "tests/support/files.h"
#include "tests/support/lines.h"
#include "tests/support/traceback_text.h"

namespace e2e {
namespace {

using namespace test_support;

/// Longest any run may take.
constexpr std::chrono::milliseconds RUN_LIMIT{120000};

/// Runs the program in `directory`; a run that outlives its limit is killed and fails.
RunResult run_in(const ScratchDirectory& directory, RunOptions options = {}) {
  if (options.time_limit.count() == 0) options.time_limit = RUN_LIMIT;
  const RunResult run = run_program(directory.path(), options);
  EXPECT_FALSE(run.timed_out) << "the run did not end and was killed";
  return run;
}

/// `example_line` with `first.b` " 1x", which is no number.
std::string bad_line() { return korv_line({.first_b = " 1x"}) + "\r\n"; }

TEST(WindowsRun, NormalRunExitsZeroAndWritesCrLfRecords) {
  ScratchDirectory directory;
  directory.write(INPUT_NAME, example_line() + example_line());
  const RunResult run = run_in(directory);
  EXPECT_EQ(run.exit_status, 0u);
  EXPECT_EQ(run.error_output, "");
  EXPECT_EQ(directory.read(OUTPUT_NAME), example_record() + example_record());
}

TEST(WindowsRun, BadFieldNamesTheFullWindowsPath) {
  ScratchDirectory directory;
  directory.write(INPUT_NAME, example_line() + bad_line());
  const RunResult run = run_in(directory);
  const std::string path = directory.file(INPUT_NAME);
  ASSERT_GE(path.size(), 3u);
  EXPECT_TRUE(path[1] == ':' && path[2] == '\\') << path;
  EXPECT_EQ(path.find('/'), std::string::npos) << path;
  expect_severe_run(run, 0xC0000040u, severe_line(64, "input conversion error", 55, path),
                    "korv2dunta: record 2, columns 12-14: \" 1x\"\n");
  // A row for each routine from the statement out to the C runtime's start, which the 32-bit
  // walk finds only through frame pointers.
  std::size_t rows = 0;
  for (std::size_t at = 0; (at = run.error_output.find("\nkorv2dunta.exe     ", at + 1)) != std::string::npos;) ++rows;
  EXPECT_GE(rows, 4u) << run.error_output;
  // The record finished before the bad one is in the output file.
  EXPECT_EQ(directory.read(OUTPUT_NAME), example_record());
}

// A file with the read-only attribute connects read-only: read normally as the input; as
// the output left unchanged, by a run with nothing to write (status 0) and by one with a
// record to write (write to READONLY file). wine as root ignores the attribute, so these run
// as an ordinary user (tests/e2e/as-ordinary-user), where a skip counts as a failure.
TEST(WindowsReadOnly, FileKeepsItsBytes) {
  struct Case {
    std::string read_only_file;
    std::string input;
    long long exit_status;
  };
  const std::string previous = "previous output\r\n";
  for (const Case& c :
       {Case{INPUT_NAME, example_line(), 0}, Case{OUTPUT_NAME, "", 0}, Case{OUTPUT_NAME, example_line(), 0xC000002F}}) {
    SCOPED_TRACE(c.read_only_file + " with " + std::to_string(c.input.size()) + " input bytes");
    ScratchDirectory directory;
    directory.write(INPUT_NAME, c.input);
    directory.write(OUTPUT_NAME, previous);
    const std::string read_only = directory.file(c.read_only_file);
    ASSERT_TRUE(::SetFileAttributesA(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
    const HANDLE probe = ::CreateFileA(read_only.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
      ::CloseHandle(probe);
      ::SetFileAttributesA(read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
      GTEST_SKIP() << "the read-only attribute does not bind here";
    }
    const RunResult run = run_in(directory);
    if (c.exit_status == 0) {
      EXPECT_EQ(run.exit_status, 0);
      EXPECT_EQ(run.error_output, "");
    } else {
      expect_severe_run(run, c.exit_status, severe_line(47, "write to READONLY file", 58, read_only));
    }
    if (c.read_only_file == OUTPUT_NAME) {
      EXPECT_EQ(directory.read(OUTPUT_NAME), previous);
    } else {
      EXPECT_EQ(directory.read(OUTPUT_NAME), example_record());
    }
    EXPECT_EQ(::GetFileAttributesA(read_only.c_str()) & FILE_ATTRIBUTE_READONLY, DWORD{FILE_ATTRIBUTE_READONLY});
    ::SetFileAttributesA(read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

// Without a standard error to write to, the diagnostic is dropped: never written into a file
// the run opened, whatever handle value that file got.
TEST(WindowsRun, MissingOrStaleErrorHandleDropsTheDiagnostic) {
  for (const ErrorHandle error_handle : {ErrorHandle::missing, ErrorHandle::stale}) {
    SCOPED_TRACE(error_handle == ErrorHandle::missing ? "missing" : "stale");
    ScratchDirectory directory;
    const std::string input = example_line() + bad_line() + example_line();
    directory.write(INPUT_NAME, input);
    RunOptions options;
    options.error_handle = error_handle;
    const RunResult run = run_in(directory, options);
    EXPECT_EQ(run.exit_status, 0xC0000040u);
    EXPECT_EQ(run.error_output, "");
    EXPECT_EQ(directory.read(INPUT_NAME), input);
    EXPECT_EQ(directory.read(OUTPUT_NAME), example_record());
  }
}

TEST(WindowsRun, SharingViolationPrintsSystemTextAndOpenFailure) {
  ScratchDirectory directory;
  directory.write(INPUT_NAME, example_line());
  // Another process holds the input open for writing; it lets others read and write.
  const HANDLE holder =
      ::CreateFileA(directory.file(INPUT_NAME).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const RunResult run = run_in(directory);
  ::CloseHandle(holder);
  const std::string system_line = system_error_line(ERROR_SHARING_VIOLATION);
  ASSERT_NE(system_line, "korv2dunta: \r\n") << "no system text for the sharing violation";
  expect_severe_run(run, 0xC000001Eu, system_line + severe_line(30, "open failure", 55, directory.file(INPUT_NAME)));
}

TEST(WindowsRun, DirectoryNamedLikeTheOutputIsPermissionDenied) {
  ScratchDirectory directory;
  directory.write(INPUT_NAME, example_line());
  ASSERT_TRUE(::CreateDirectoryA(directory.file(OUTPUT_NAME).c_str(), nullptr));
  const RunResult run = run_in(directory);
  expect_severe_run(run, 0xC0000009u,
                    severe_line(9, "permission to access file denied", 58, directory.file(OUTPUT_NAME)));
}

TEST(WindowsRun, ExistingOutputIsCutAfterTheFirstRecord) {
  ScratchDirectory directory;
  directory.write(INPUT_NAME, example_line());
  directory.write(OUTPUT_NAME, std::string(1000, 'x'));
  const RunResult run = run_in(directory);
  EXPECT_EQ(run.exit_status, 0u);
  EXPECT_EQ(run.error_output, "");
  EXPECT_EQ(directory.read(OUTPUT_NAME), example_record());
}

TEST(WindowsRun, MissingInputIsFileNotFound) {
  ScratchDirectory directory;
  const RunResult run = run_in(directory);
  expect_severe_run(run, 0xC000001Du, severe_line(29, "file not found", 55, directory.file(INPUT_NAME)));
}

TEST(WindowsRun, MissingOutputIsCreatedEmpty) {
  ScratchDirectory directory;
  // Species B is discarded, so no record is written.
  directory.write(INPUT_NAME, korv_line({.species = "B"}) + "\r\n");
  const RunResult run = run_in(directory);
  EXPECT_EQ(run.exit_status, 0u);
  EXPECT_EQ(run.error_output, "");
  EXPECT_EQ(::GetFileAttributesA(directory.file(OUTPUT_NAME).c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(directory.read(OUTPUT_NAME), "");
}

/// Ignores every console event, so that an event sent to the whole console reaches the
/// program without ending the test that sent it.
BOOL WINAPI ignore_console_event(DWORD) noexcept { return TRUE; }

/// True when this process has a console that the programs it starts share.
bool has_console() {
  DWORD processes[4];
  return ::GetConsoleProcessList(processes, 4) > 0;
}

// ctest runs this suite under a pseudo-terminal, which gives wine's processes a console.
TEST(WindowsConsoleControlC, EndsTheRunWithItsStatusAndKeepsTheLeadingRecords) {
  if (!has_console()) GTEST_SKIP() << "no console to send control-C through: run it under a pseudo-terminal";
  // Each record has its own frequency, so that a lost, torn or repeated record shows.
  constexpr std::size_t RECORDS = 400000;
  std::string input;
  input.reserve(RECORDS * RECORD_BYTES);
  for (std::size_t n = 0; n < RECORDS; ++n) {
    input += korv_line({.frequency = right_aligned(std::to_string(n), 10)}) + "\r\n";
  }
  ScratchDirectory complete;
  complete.write(INPUT_NAME, input);
  ASSERT_EQ(run_in(complete).exit_status, 0u);
  const std::string full_output = complete.read(OUTPUT_NAME);
  ASSERT_EQ(full_output.size(), RECORDS * RECORD_BYTES);

  ASSERT_TRUE(::SetConsoleCtrlHandler(ignore_console_event, TRUE));
  // A run that ends before the event arrives shows nothing: it is tried again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    ScratchDirectory directory;
    directory.write(INPUT_NAME, input);
    const std::string output_path = directory.file(OUTPUT_NAME);
    BOOL sent = FALSE;
    DWORD send_error = 0;
    RunOptions options;
    options.while_running = [&](ChildProcess child) {
      while (file_size(output_path) < static_cast<long long>(1000 * RECORD_BYTES) &&
             ::WaitForSingleObject(child, 1) == WAIT_TIMEOUT) {
      }
      sent = ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
      send_error = ::GetLastError();
    };
    const RunResult run = run_in(directory, options);
    ASSERT_TRUE(sent) << "GenerateConsoleCtrlEvent failed with " << send_error;
    const std::string output = directory.read(OUTPUT_NAME);
    if (run.exit_status == 0 && output == full_output) continue;
    ::SetConsoleCtrlHandler(ignore_console_event, FALSE);
    EXPECT_EQ(run.exit_status, 0xC000013Au);
    EXPECT_EQ(run.error_output, "korv2dunta: error (200): program aborting due to control-C event\r\n");
    EXPECT_EQ(output.size() % RECORD_BYTES, 0u) << output.size();
    EXPECT_GE(output.size(), 1000u * RECORD_BYTES);
    EXPECT_LT(output.size(), full_output.size());
    EXPECT_TRUE(output == full_output.substr(0, output.size())) << "not the leading records of a full run";
    return;
  }
  ::SetConsoleCtrlHandler(ignore_console_event, FALSE);
  FAIL() << "every run ended before control-C arrived";
}

/// Hands console event `event` to this process as the system does: a new thread runs the
/// system's dispatch routine, which calls the registered handlers, newest first.
void deliver_console_event(DWORD event) {
  const HMODULE kernelbase = ::GetModuleHandleA("kernelbase.dll");
  const FARPROC dispatch = kernelbase != nullptr ? ::GetProcAddress(kernelbase, "CtrlRoutine") : nullptr;
  if (dispatch == nullptr) return;
  const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void (*)()>(dispatch));
  const HANDLE thread =
      ::CreateThread(nullptr, 0, routine, reinterpret_cast<void*>(static_cast<ULONG_PTR>(event)), 0, nullptr);
  if (thread != nullptr) ::WaitForSingleObject(thread, 60000);
}

// wine cannot send control-BREAK to a process group, nor window-CLOSE at all: the program's
// own handler, registered as at start-up, gets them from the system's dispatch routine. (A death
// test reads the child's standard error as text, so each CR LF arrives as a line feed.)
TEST(WindowsConsoleHandlerDeathTest, BreakAndCloseEndTheRunWithTheirStatusAndNotice) {
  EXPECT_EXIT(
      {
        records::start_run();
        deliver_console_event(CTRL_BREAK_EVENT);
      },
      ::testing::ExitedWithCode(1), "^korv2dunta: error \\(200\\): program aborting due to control-BREAK event\n$");
  EXPECT_EXIT(
      {
        records::start_run();
        deliver_console_event(CTRL_CLOSE_EVENT);
      },
      ::testing::ExitedWithCode(2), "^korv2dunta: error \\(200\\): program aborting due to window-CLOSE event\n$");
}

/// Reports the fault's kind, OS code, frame count and innermost module, then ends the
/// process with 100 + the kind, as the real handler ends it with the catalog code.
void report_fault(platform::FaultKind kind, std::uint32_t os_code, void* const* frames, std::size_t count) noexcept {
  platform::FrameInfo innermost{};
  if (count > 0) platform::describe_frame(frames[0], &innermost);
  char line[160];
  const int length =
      std::snprintf(line, sizeof line, "fault %d code %08X module %s frames %s\n", static_cast<int>(kind),
                    static_cast<unsigned>(os_code), innermost.module, count > 1 ? "many" : "few");
  platform::write_error_stream(line, static_cast<std::size_t>(length));
  platform::exit_process_now(100u + static_cast<std::uint32_t>(kind));
}

volatile int zero = 0;
volatile int one = 1;
volatile int recursion_limit = 0x7FFFFFFF;
int* volatile null_pointer = nullptr;

[[gnu::noinline]] int recurse(int depth) {
  volatile char block[4096];
  block[0] = static_cast<char>(depth);
  if (depth < recursion_limit) return recurse(depth + 1) + block[0];
  return block[0];
}

TEST(WindowsFaultDeathTest, AccessViolation) {
  EXPECT_EXIT(
      {
        platform::install_fault_handler(report_fault);
        *null_pointer = 1;
      },
      ::testing::ExitedWithCode(100), "^fault 0 code C0000005 module windows_e2e_test.exe frames many\n$");
}

TEST(WindowsFaultDeathTest, IntegerDivideByZero) {
  EXPECT_EXIT(
      {
        platform::install_fault_handler(report_fault);
        zero = one / zero;
      },
      ::testing::ExitedWithCode(101), "^fault 1 code C0000094 module windows_e2e_test.exe frames many\n$");
}

// The program's own handler, installed as at start-up: the condition line, the traceback's
// title line and rows from the faulting routine outwards, on 32-bit Windows as on 64-bit
// (CR LF read as a line feed, as above). A fault without a row of its own prints its code
// as the signed 32-bit value that "%ld" gives where `long` has 32 bits.
TEST(WindowsFaultDeathTest, ProgramHandlerPrintsConditionAndTracebackRows) {
  const std::string row = "windows_e2e_test\\.  \\w\\w\\w\\w\\w\\w\\w\\w  Unknown               Unknown  Unknown\n";
  EXPECT_EXIT(
      {
        records::start_run();
        *null_pointer = 1;
      },
      ::testing::ExitedWithCode(static_cast<int>(0xC000009Du)),
      "^korv2dunta: severe \\(157\\): Program Exception - access violation\n" + TRACEBACK_HEADER + row + row + row +
          row);
  EXPECT_EXIT(
      {
        records::start_run();
        __builtin_trap();  // an illegal instruction: 0xC000001D
      },
      ::testing::ExitedWithCode(static_cast<int>(0xC00000ACu)),
      "^korv2dunta: severe \\(172\\): Program Exception - exception code = 0xc000001d \\(-1073741795\\)\n");
}

/// True under wine, whose ntdll exports its version.
bool running_under_wine() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(WindowsFaultDeathTest, StackOverflow) {
  // wine 8 keeps no stack back for the overflow (SetThreadStackGuarantee has no effect
  // there): it calls the filter with only a few KB of stack, too little to report the fault.
  if (running_under_wine()) GTEST_SKIP() << "wine cannot hand a stack overflow to the filter";
  EXPECT_EXIT(
      {
        platform::install_fault_handler(report_fault);
        zero = recurse(0);
      },
      ::testing::ExitedWithCode(102), "^fault 2 code C00000FD module windows_e2e_test.exe frames many\n$");
}

TEST(WindowsFaultDeathTest, OtherExceptionKeepsItsCode) {
  EXPECT_EXIT(
      {
        platform::install_fault_handler(report_fault);
        ::RaiseException(0xE0001234u, EXCEPTION_NONCONTINUABLE, 0, nullptr);
      },
      ::testing::ExitedWithCode(103), "^fault 3 code E0001234 module ");
}

}  // namespace
}  // namespace e2e
