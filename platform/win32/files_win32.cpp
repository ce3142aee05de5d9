// Win32 backend of the file calls: open-or-create shared for reading only, block reads,
// whole-record writes, cuts and close, plus full paths and the error classes of an open.
// A handle travels as its integer value; INVALID_HANDLE_VALUE is -1, which is NO_FILE.
#include <windows.h>

#include <initializer_list>

#include "platform/platform.h"

namespace platform {
namespace {

/// Largest count handed to one ReadFile or WriteFile, whose counts are 32-bit.
constexpr std::size_t MAX_TRANSFER = 0x7FFFFFFFu;

HANDLE win32_handle(FileHandle file) noexcept { return reinterpret_cast<HANDLE>(file); }

OsError last_error() noexcept { return static_cast<OsError>(::GetLastError()); }

OpenResult win32_open(const char* path, OpenAccess access, OpenCreation creation) noexcept {
  DWORD desired = GENERIC_READ | GENERIC_WRITE;
  if (access == OpenAccess::read_only) desired = GENERIC_READ;
  if (access == OpenAccess::write_only) desired = GENERIC_WRITE;
  const DWORD disposition = creation == OpenCreation::open_existing ? OPEN_EXISTING : OPEN_ALWAYS;
  // Without FILE_FLAG_BACKUP_SEMANTICS a directory is refused with ERROR_ACCESS_DENIED, which
  // the file layer reports as a file that cannot be accessed.
  const HANDLE opened =
      ::CreateFileA(path, desired, FILE_SHARE_READ, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return {NO_FILE, last_error()};
  return {reinterpret_cast<FileHandle>(opened), 0};
}

ReadResult win32_read(FileHandle file, char* destination, std::size_t size) noexcept {
  DWORD got = 0;
  const auto asked = static_cast<DWORD>(size < MAX_TRANSFER ? size : MAX_TRANSFER);
  if (!::ReadFile(win32_handle(file), destination, asked, &got, nullptr)) return {0, last_error()};
  return {static_cast<std::size_t>(got), 0};
}

OsError win32_write(FileHandle file, const char* bytes, std::size_t count) noexcept {
  // One call carries a whole record; the loop only matters if the OS takes part of it.
  while (count > 0) {
    DWORD put = 0;
    const auto asked = static_cast<DWORD>(count < MAX_TRANSFER ? count : MAX_TRANSFER);
    if (!::WriteFile(win32_handle(file), bytes, asked, &put, nullptr)) return last_error();
    if (put == 0) return ERROR_DISK_FULL;
    bytes += put;
    count -= put;
  }
  return 0;
}

OsError win32_truncate(FileHandle file) noexcept {
  if (!::SetEndOfFile(win32_handle(file))) return last_error();
  return 0;
}

OsError win32_truncate_to_empty(FileHandle file) noexcept {
  // SetEndOfFile cuts at the file pointer; the pointer is put back afterwards, as a cut to
  // zero bytes leaves the position of the next write alone.
  const HANDLE handle = win32_handle(file);
  LARGE_INTEGER here{};
  const LARGE_INTEGER start{};
  if (!::SetFilePointerEx(handle, start, &here, FILE_CURRENT)) return last_error();
  if (!::SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) return last_error();
  const BOOL cut = ::SetEndOfFile(handle);
  const OsError error = cut ? 0 : last_error();
  if (!::SetFilePointerEx(handle, here, nullptr, FILE_BEGIN) && error == 0) return last_error();
  return error;
}

OsError win32_close(FileHandle file) noexcept {
  if (!::CloseHandle(win32_handle(file))) return last_error();
  return 0;
}

constexpr FileCalls NATIVE_CALLS{win32_open, win32_read, win32_write, win32_truncate, win32_truncate_to_empty,
                                 win32_close};

}  // namespace

FileCalls current_file_calls = NATIVE_CALLS;
const FileCalls& native_file_calls() noexcept { return NATIVE_CALLS; }

std::size_t full_path(const char* name, char* out, std::size_t out_size) noexcept {
  if (out_size == 0) return 0;
  const auto area = static_cast<DWORD>(out_size < MAX_TRANSFER ? out_size : MAX_TRANSFER);
  // The result is the length without the NUL when it fits, else the size needed with it.
  return static_cast<std::size_t>(::GetFullPathNameA(name, area, out, nullptr));
}

OpenFailure classify_open_error(OsError error) noexcept {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return OpenFailure::file_not_found;
    case ERROR_TOO_MANY_OPEN_FILES: return OpenFailure::too_many_files;
    case ERROR_ACCESS_DENIED: return OpenFailure::access_denied;
    case ERROR_WRITE_PROTECT: return OpenFailure::write_protected;
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_UNIT: return OpenFailure::no_device;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return OpenFailure::already_exists;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE: return OpenFailure::bad_name;
    default: return OpenFailure::other;
  }
}

bool is_end_of_file_error(OsError error) noexcept {
  // A pipe whose writer has closed reports ERROR_BROKEN_PIPE once its data are used up:
  // that is the pipe's end of data, not a device failure.
  return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE;
}

// Named pipes live in a namespace of their own, never among a directory's files.
bool is_fifo(const char*) noexcept { return false; }

bool is_disk_file(FileHandle file) noexcept { return ::GetFileType(win32_handle(file)) == FILE_TYPE_DISK; }

bool is_standard_handle(FileHandle file) noexcept {
  if (file == NO_FILE || file == 0) return false;
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    if (::GetStdHandle(which) == win32_handle(file)) return true;
  }
  return false;
}

}  // namespace platform
