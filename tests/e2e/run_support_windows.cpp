// Child-process plumbing for the end-to-end tests on Windows: the program is started with its
// standard input and output on NUL and its standard error in a file beside the run's
// directory; it shares this process's console, when there is one.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "run_support.h"
#include "tests/support/files.h"

namespace e2e {

std::string program_path() {
  // A run as another user starts a copy that user can read (tests/e2e/as-ordinary-user).
  const char* copy = std::getenv("KORV_PROGRAM");
  std::string path = copy != nullptr ? copy : KORV_PROGRAM;
  // A build tree under wine has a Unix path, which wine maps to drive Z:.
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

RunResult run_program(const std::string& directory, const RunOptions& options) {
  const std::string error_path = directory + ".stderr";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE error_file = ::CreateFileA(error_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(error_file, INVALID_HANDLE_VALUE);
  const HANDLE nothing = ::CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = nothing;
  startup.hStdError = error_file;
  if (options.error_handle == ErrorHandle::missing) startup.hStdError = nullptr;
  if (options.error_handle == ErrorHandle::stale) {
    const HANDLE closed = ::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ::CloseHandle(closed);
    startup.hStdError = closed;
  }
  PROCESS_INFORMATION process{};
  std::string command = "\"" + program_path() + "\"";
  const bool started = ::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, directory.c_str(),
                                        &startup, &process);
  if (!started) ADD_FAILURE() << "CreateProcess failed for " << command << " with " << ::GetLastError();
  ::CloseHandle(nothing);
  ::CloseHandle(error_file);

  RunResult result;
  if (started) {
    ::CloseHandle(process.hThread);
    if (options.while_running) options.while_running(process.hProcess);
    const DWORD limit = options.time_limit.count() > 0 ? static_cast<DWORD>(options.time_limit.count()) : INFINITE;
    if (::WaitForSingleObject(process.hProcess, limit) != WAIT_OBJECT_0) {
      // A hung program must fail its test, not the whole suite by the harness's timeout.
      ::TerminateProcess(process.hProcess, 0xFFFFFFFFu);
      ::WaitForSingleObject(process.hProcess, INFINITE);
      result.timed_out = true;
    } else {
      DWORD exit_status = 0;
      ::GetExitCodeProcess(process.hProcess, &exit_status);
      result.exit_status = exit_status;
    }
    ::CloseHandle(process.hProcess);
  }
  result.error_output = test_support::read_bytes(error_path).value_or("");
  ::DeleteFileA(error_path.c_str());
  return result;
}

std::string system_error_line(int error) {
  char text[1024];
  const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  const std::string message(text, length);
  return "korv2dunta: " + message.substr(0, message.find_first_of("\r\n")) + "\r\n";
}

}  // namespace e2e
