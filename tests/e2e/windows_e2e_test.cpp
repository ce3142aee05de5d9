// End-to-end checks of the Windows build: the built program runs in a scratch directory as a
// child process, and its exit status (all 32 bits), standard error and files are compared with
// values worked out from the OS itself (current directory, system message texts).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/platform.h"
#include "records/diagnostics.h"
#include "tests/support/traceback_text.h"

namespace {

using test_support::TRACEBACK_HEADER;

constexpr const char* INPUT_NAME = "KORV-data-E-sept08.txt";
constexpr const char* OUTPUT_NAME = "out-DUNTA-E-sept08.txt";

/// The program's path as Windows spells it; a build tree under wine has a Unix path, which
/// wine maps to drive Z:.
std::string program_path() {
  // A run as another user starts a copy that user can read (tests/e2e/as-ordinary-user).
  const char* copy = std::getenv("KORV_PROGRAM");
  std::string path = copy != nullptr ? copy : KORV_PROGRAM;
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

/// A fresh, empty directory under the temporary directory, removed again at the end.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    char temp[MAX_PATH];
    const DWORD length = ::GetTempPathA(sizeof temp, temp);
    EXPECT_GT(length, 0u);
    char name[MAX_PATH];
    EXPECT_NE(::GetTempFileNameA(temp, "kv", 0, name), 0u);
    ::DeleteFileA(name);
    EXPECT_TRUE(::CreateDirectoryA(name, nullptr));
    path_ = name;
  }
  ~ScratchDirectory() {
    for (const char* file : {INPUT_NAME, OUTPUT_NAME}) {
      const std::string full = at(file);
      if (!::DeleteFileA(full.c_str())) ::RemoveDirectoryA(full.c_str());
    }
    ::RemoveDirectoryA(path_.c_str());
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  std::string at(const char* name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  ASSERT_TRUE(out.good()) << path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// One 66-column input record: the five integers, the species and the frequency (text as
/// written, right-aligned in columns 57-66), blanks elsewhere, ending in CR LF.
std::string input_record(const char* first_a, const char* first_b, const char* second_a, const char* second_b,
                         const char* digit, char species, const char* frequency) {
  std::string record(66, ' ');
  const auto put = [&record](std::size_t column, std::size_t width, const char* text) {
    const std::string value(text);
    record.replace(column - 1 + width - value.size(), value.size(), value);
  };
  put(7, 2, first_a);
  put(12, 3, first_b);
  put(16, 2, second_a);
  put(21, 3, second_b);
  put(27, 1, digit);
  record[31] = species;
  put(57, 10, frequency);
  return record + "\r\n";
}

struct RunResult {
  DWORD exit_status;
  std::string error_stream;
};

/// A started program: its process and the file that takes its standard error.
struct ChildRun {
  HANDLE process = nullptr;
  std::string error_path;
};

/// How the program's standard error is handed over.
enum class ErrorStream { file, missing, stale };

/// Starts the program in `directory` with standard error sent to a file beside it (or no
/// handle, or the value of a handle already closed). The child shares this process's console,
/// when there is one.
ChildRun start_program(const ScratchDirectory& directory, ErrorStream error_stream = ErrorStream::file) {
  ChildRun child{nullptr, directory.path() + ".stderr"};
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE error_file = ::CreateFileA(child.error_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(error_file, INVALID_HANDLE_VALUE);
  const HANDLE nothing = ::CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = nothing;
  startup.hStdError = error_file;
  if (error_stream == ErrorStream::missing) startup.hStdError = nullptr;
  if (error_stream == ErrorStream::stale) {
    const HANDLE closed = ::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ::CloseHandle(closed);
    startup.hStdError = closed;
  }
  PROCESS_INFORMATION process{};
  std::string command = "\"" + program_path() + "\"";
  if (::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, directory.path().c_str(), &startup,
                       &process)) {
    ::CloseHandle(process.hThread);
    child.process = process.hProcess;
  } else {
    ADD_FAILURE() << "CreateProcess failed for " << command << " with " << ::GetLastError();
  }
  ::CloseHandle(nothing);
  ::CloseHandle(error_file);
  return child;
}

/// Waits for a started program to end; its exit status and standard error.
RunResult wait_for_program(const ChildRun& child) {
  RunResult result{0xFFFFFFFFu, {}};
  if (child.process != nullptr) {
    EXPECT_EQ(::WaitForSingleObject(child.process, 120000), WAIT_OBJECT_0);
    ::GetExitCodeProcess(child.process, &result.exit_status);
    ::CloseHandle(child.process);
  }
  result.error_stream = read_file(child.error_path);
  ::DeleteFileA(child.error_path.c_str());
  return result;
}

/// Runs the program in `directory` to its end.
RunResult run_program(const ScratchDirectory& directory) { return wait_for_program(start_program(directory)); }

/// The system's text for `error` up to its first line end.
std::string system_text(DWORD error) {
  char text[1024];
  const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, sizeof text, nullptr);
  std::string line(text, length);
  return line.substr(0, line.find_first_of("\r\n"));
}

const std::string GOOD_RECORD = input_record("3", "1", "2", "1", "0", 'E', "12.345678");

TEST(WindowsRun, NormalRunExitsZeroAndWritesCrLfRecords) {
  ScratchDirectory directory;
  write_file(directory.at(INPUT_NAME), GOOD_RECORD + GOOD_RECORD);
  const RunResult run = run_program(directory);
  EXPECT_EQ(run.exit_status, 0u);
  EXPECT_EQ(run.error_stream, "");
  const std::string output = read_file(directory.at(OUTPUT_NAME));
  ASSERT_EQ(output.size(), 2u * 68u);
  EXPECT_EQ(output.substr(66, 2), "\r\n");
  EXPECT_EQ(output.substr(134, 2), "\r\n");
}

TEST(WindowsRun, BadFieldNamesTheFullWindowsPath) {
  ScratchDirectory directory;
  write_file(directory.at(INPUT_NAME), GOOD_RECORD + input_record("3", "1x", "2", "1", "0", 'E', "12.345678"));
  const RunResult run = run_program(directory);
  EXPECT_EQ(run.exit_status, 0xC0000040u);
  const std::string path = directory.at(INPUT_NAME);
  ASSERT_GE(path.size(), 3u);
  EXPECT_TRUE(path[1] == ':' && path[2] == '\\') << path;
  EXPECT_EQ(path.find('/'), std::string::npos) << path;
  const std::string line = "korv2dunta: severe (64): input conversion error, unit 55, file " + path + "\r\n";
  EXPECT_EQ(run.error_stream.substr(0, line.size() + TRACEBACK_HEADER.size()), line + TRACEBACK_HEADER);
  // A row for each routine from the statement out to the C runtime's start, which the 32-bit
  // walk finds only through frame pointers.
  std::size_t rows = 0;
  for (std::size_t at = 0; (at = run.error_stream.find("\nkorv2dunta.exe     ", at + 1)) != std::string::npos;) ++rows;
  EXPECT_GE(rows, 4u) << run.error_stream;
  // The record finished before the bad one is in the output file.
  EXPECT_EQ(read_file(directory.at(OUTPUT_NAME)).size(), 68u);
}

// A file with the read-only attribute connects read-only: read normally as the input; as
// the output left unchanged, by a run with nothing to write (status 0) and by one with a
// record to write (condition 47). wine as root ignores the attribute, so these run as an
// ordinary user (tests/e2e/as-ordinary-user), where a skip counts as a failure.
TEST(WindowsReadOnly, FileKeepsItsBytes) {
  struct Case {
    const char* read_only_file;
    std::string input;
    DWORD exit_status;
  };
  const std::string previous = "previous output\r\n";
  for (const Case& c :
       {Case{INPUT_NAME, GOOD_RECORD, 0}, Case{OUTPUT_NAME, "", 0}, Case{OUTPUT_NAME, GOOD_RECORD, 0xC000002Fu}}) {
    SCOPED_TRACE(std::string(c.read_only_file) + " with " + std::to_string(c.input.size()) + " input bytes");
    ScratchDirectory directory;
    write_file(directory.at(INPUT_NAME), c.input);
    write_file(directory.at(OUTPUT_NAME), previous);
    const std::string read_only = directory.at(c.read_only_file);
    ASSERT_TRUE(::SetFileAttributesA(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
    const HANDLE probe = ::CreateFileA(read_only.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe != INVALID_HANDLE_VALUE) {
      ::CloseHandle(probe);
      ::SetFileAttributesA(read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
      GTEST_SKIP() << "the read-only attribute does not bind here";
    }
    const RunResult run = run_program(directory);
    EXPECT_EQ(run.exit_status, c.exit_status);
    if (c.exit_status == 0) {
      EXPECT_EQ(run.error_stream, "");
    } else {
      const std::string line = "korv2dunta: severe (47): write to READONLY file, unit 58, file " + read_only + "\r\n";
      EXPECT_EQ(run.error_stream.substr(0, line.size()), line);
    }
    if (c.read_only_file == OUTPUT_NAME) {
      EXPECT_EQ(read_file(directory.at(OUTPUT_NAME)), previous);
    } else {
      EXPECT_EQ(read_file(directory.at(OUTPUT_NAME)).size(), 68u);
    }
    EXPECT_EQ(::GetFileAttributesA(read_only.c_str()) & FILE_ATTRIBUTE_READONLY, DWORD{FILE_ATTRIBUTE_READONLY});
    ::SetFileAttributesA(read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

// Without a standard error to write to, the diagnostic is dropped: never written into a file
// the run opened, whatever handle value that file got.
TEST(WindowsRun, MissingOrStaleErrorHandleDropsTheDiagnostic) {
  for (const ErrorStream error_stream : {ErrorStream::missing, ErrorStream::stale}) {
    SCOPED_TRACE(error_stream == ErrorStream::missing ? "missing" : "stale");
    ScratchDirectory directory;
    const std::string input = GOOD_RECORD + input_record("3", "1x", "2", "1", "0", 'E', "12.345678") + GOOD_RECORD;
    write_file(directory.at(INPUT_NAME), input);
    const RunResult run = wait_for_program(start_program(directory, error_stream));
    EXPECT_EQ(run.exit_status, 0xC0000040u);
    EXPECT_EQ(run.error_stream, "");
    EXPECT_EQ(read_file(directory.at(INPUT_NAME)), input);
    EXPECT_EQ(read_file(directory.at(OUTPUT_NAME)).size(), 68u);
  }
}

TEST(WindowsRun, SharingViolationPrintsSystemTextAndOpenFailure) {
  ScratchDirectory directory;
  write_file(directory.at(INPUT_NAME), GOOD_RECORD);
  // Another process holds the input open for writing; it lets others read and write.
  const HANDLE holder =
      ::CreateFileA(directory.at(INPUT_NAME).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const RunResult run = run_program(directory);
  ::CloseHandle(holder);
  EXPECT_EQ(run.exit_status, 0xC000001Eu);
  const std::string text = system_text(ERROR_SHARING_VIOLATION);
  ASSERT_FALSE(text.empty());
  const std::string expected = "korv2dunta: " + text + "\r\n" +
                               "korv2dunta: severe (30): open failure, unit 55, file " + directory.at(INPUT_NAME) +
                               "\r\n" + TRACEBACK_HEADER;
  EXPECT_EQ(run.error_stream.substr(0, expected.size()), expected);
}

TEST(WindowsRun, DirectoryNamedLikeTheOutputIsPermissionDenied) {
  ScratchDirectory directory;
  write_file(directory.at(INPUT_NAME), GOOD_RECORD);
  ASSERT_TRUE(::CreateDirectoryA(directory.at(OUTPUT_NAME).c_str(), nullptr));
  const RunResult run = run_program(directory);
  EXPECT_EQ(run.exit_status, 0xC0000009u);
  const std::string expected = "korv2dunta: severe (9): permission to access file denied, unit 58, file " +
                               directory.at(OUTPUT_NAME) + "\r\n" + TRACEBACK_HEADER;
  EXPECT_EQ(run.error_stream.substr(0, expected.size()), expected);
}

TEST(WindowsRun, ExistingOutputIsCutAfterTheFirstRecord) {
  ScratchDirectory directory;
  write_file(directory.at(INPUT_NAME), GOOD_RECORD);
  write_file(directory.at(OUTPUT_NAME), std::string(1000, 'x'));
  const RunResult run = run_program(directory);
  EXPECT_EQ(run.exit_status, 0u);
  const std::string output = read_file(directory.at(OUTPUT_NAME));
  ASSERT_EQ(output.size(), 68u);
  EXPECT_EQ(output.find('x'), std::string::npos);
}

TEST(WindowsRun, MissingInputIsFileNotFound) {
  ScratchDirectory directory;
  const RunResult run = run_program(directory);
  EXPECT_EQ(run.exit_status, 0xC000001Du);
  const std::string expected =
      "korv2dunta: severe (29): file not found, unit 55, file " + directory.at(INPUT_NAME) + "\r\n" + TRACEBACK_HEADER;
  EXPECT_EQ(run.error_stream.substr(0, expected.size()), expected);
}

TEST(WindowsRun, MissingOutputIsCreatedEmpty) {
  ScratchDirectory directory;
  // Species B is discarded, so no record is written.
  write_file(directory.at(INPUT_NAME), input_record("3", "1", "2", "1", "0", 'B', "12.345678"));
  const RunResult run = run_program(directory);
  EXPECT_EQ(run.exit_status, 0u);
  EXPECT_EQ(run.error_stream, "");
  EXPECT_EQ(::GetFileAttributesA(directory.at(OUTPUT_NAME).c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_EQ(read_file(directory.at(OUTPUT_NAME)), "");
}

/// Ignores every console event, so that an event sent to the whole console reaches the
/// program without ending the test that sent it.
BOOL WINAPI ignore_console_event(DWORD) noexcept { return TRUE; }

/// True when this process has a console that the programs it starts share.
bool has_console() {
  DWORD processes[4];
  return ::GetConsoleProcessList(processes, 4) > 0;
}

std::uint64_t file_size(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

// ctest runs this suite under a pseudo-terminal, which gives wine's processes a console.
TEST(WindowsConsoleControlC, EndsTheRunWithItsStatusAndKeepsTheLeadingRecords) {
  if (!has_console()) GTEST_SKIP() << "no console to send control-C through: run it under a pseudo-terminal";
  // Each record has its own frequency, so that a lost, torn or repeated record shows.
  constexpr std::size_t RECORDS = 400000;
  std::string input;
  input.reserve(RECORDS * 68);
  for (std::size_t n = 0; n < RECORDS; ++n) {
    input += input_record("3", "1", "2", "1", "0", 'E', std::to_string(n).c_str());
  }
  ScratchDirectory complete;
  write_file(complete.at(INPUT_NAME), input);
  ASSERT_EQ(run_program(complete).exit_status, 0u);
  const std::string full_output = read_file(complete.at(OUTPUT_NAME));
  ASSERT_EQ(full_output.size(), RECORDS * 68);

  ASSERT_TRUE(::SetConsoleCtrlHandler(ignore_console_event, TRUE));
  // A run that ends before the event arrives shows nothing: it is tried again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    ScratchDirectory directory;
    write_file(directory.at(INPUT_NAME), input);
    const ChildRun child = start_program(directory);
    while (file_size(directory.at(OUTPUT_NAME)) < 1000 * 68 && child.process != nullptr &&
           ::WaitForSingleObject(child.process, 1) == WAIT_TIMEOUT) {
    }
    const BOOL sent = ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    const DWORD send_error = ::GetLastError();
    const RunResult run = wait_for_program(child);
    ASSERT_TRUE(sent) << "GenerateConsoleCtrlEvent failed with " << send_error;
    const std::string output = read_file(directory.at(OUTPUT_NAME));
    if (run.exit_status == 0 && output == full_output) continue;
    ::SetConsoleCtrlHandler(ignore_console_event, FALSE);
    EXPECT_EQ(run.exit_status, 0xC000013Au);
    EXPECT_EQ(run.error_stream, "korv2dunta: error (200): program aborting due to control-C event\r\n");
    EXPECT_EQ(output.size() % 68, 0u) << output.size();
    EXPECT_GE(output.size(), 1000u * 68);
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
