// The only interface to the operating system. Everything above this header is portable;
// each backend (posix/, win32/) implements it in its own files, chosen by CMake.
// The backend reports raw OS error numbers and never a condition: the file layer maps them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

/// An open file as the OS knows it (descriptor or handle value).
using FileHandle = std::intptr_t;
/// The handle value that means "no file".
inline constexpr FileHandle NO_FILE = -1;

/// A raw OS error number (errno, or the Windows last-error value); 0 means none.
using OsError = std::uint32_t;

/// Whether a file is opened for reading and writing, for reading alone or for writing alone.
enum class OpenAccess : std::uint8_t { read_write, read_only, write_only };
/// Whether a missing file is created empty or the open fails.
enum class OpenCreation : std::uint8_t { open_or_create, open_existing };

/// The classes of open failure that the file layer maps to conditions.
enum class OpenFailure : std::uint8_t {
  file_not_found,
  too_many_files,
  access_denied,
  write_protected,
  no_device,
  already_exists,
  bad_name,
  other,
};

/// Result of an open: a handle, or NO_FILE and the OS error.
struct OpenResult {
  FileHandle handle;
  OsError error;
};

/// Result of a read: bytes transferred (0 at end of data), or an OS error.
struct ReadResult {
  std::size_t bytes;
  OsError error;
};

/// The file calls the record layer makes. Tests swap single entries to make a call fail.
struct FileCalls {
  /// Opens `path` at offset 0 without truncation, shared for reading only; a directory is
  /// refused, and so is writing to a file whose permissions let nobody write it.
  OpenResult (*open)(const char* path, OpenAccess access, OpenCreation creation) noexcept;
  /// One read of at most `size` bytes; retries interruptions.
  ReadResult (*read)(FileHandle file, char* destination, std::size_t size) noexcept;
  /// Writes all `count` bytes (a short write is continued); returns 0 or the OS error.
  OsError (*write)(FileHandle file, const char* bytes, std::size_t count) noexcept;
  /// Cuts the file at its current position.
  OsError (*truncate)(FileHandle file) noexcept;
  /// Cuts the file to zero bytes.
  OsError (*truncate_to_empty)(FileHandle file) noexcept;
  /// Closes the file; never retried.
  OsError (*close)(FileHandle file) noexcept;
};

/// Makes the edge of the process safe before any file is opened: a standard stream that is not
/// open is opened on the null device, so that no data file can take its place and receive
/// diagnostics, and signals whose default action would end the run without its diagnostic
/// (a pipe with no reader, a file-size limit) are turned into write errors.
void secure_process_boundary() noexcept;

/// The file calls in use, defined by the backend; read through file_calls().
extern FileCalls current_file_calls;
/// The file calls in use. Signal-safe to read.
inline FileCalls& file_calls() noexcept { return current_file_calls; }
/// The backend's own file calls, for tests that restore them.
const FileCalls& native_file_calls() noexcept;

/// Full path of `name` against the current directory, NUL-terminated in `out`.
/// Returns its length when it fits in out_size - 1 bytes, otherwise the size it would need
/// (>= out_size), or 0 when the OS cannot resolve it.
std::size_t full_path(const char* name, char* out, std::size_t out_size) noexcept;
/// Sorts an open failure into its class.
OpenFailure classify_open_error(OsError error) noexcept;
/// True when a read failure means "end of file" rather than a device error.
bool is_end_of_file_error(OsError error) noexcept;
/// True when `path` names a FIFO, which is opened for the one direction it is used in.
bool is_fifo(const char* path) noexcept;
/// True when the file is an ordinary disk file (not a pipe, terminal or device).
bool is_disk_file(FileHandle file) noexcept;
/// True for the process's standard input, output and error, which are never closed.
bool is_standard_handle(FileHandle file) noexcept;

/// The OS text for `error`, cut at its first line end and followed by CR LF, in `out`.
/// Returns its length, or 0 when the OS has no text. Signal-safe.
std::size_t error_text(OsError error, char* out, std::size_t out_size) noexcept;
/// Writes bytes to the standard error stream, unbuffered. Signal-safe.
void write_error_stream(const char* bytes, std::size_t count) noexcept;

/// Ends the process through the normal exit path with the given status.
[[noreturn]] void exit_process(std::uint32_t status) noexcept;
/// Ends the process from a handler thread or signal context without running exit handlers.
[[noreturn]] void exit_process_now(std::uint32_t status) noexcept;
/// Waits for ever, for another thread that is ending the process.
[[noreturn]] void wait_for_exit() noexcept;

/// Console control events as numbered for the diagnostics: 0 interrupt, 1 break, 2 close.
using ConsoleEventHandler = bool (*)(std::uint32_t event) noexcept;
/// Delivers console events to `handler` on a thread of their own.
void install_console_handler(ConsoleEventHandler handler) noexcept;
/// The exit status of a run ended by console event `event`.
std::uint32_t console_event_exit_status(std::uint32_t event) noexcept;

/// Processor faults, as sorted for the diagnostics.
enum class FaultKind : std::uint8_t { access_violation, integer_divide, stack_overflow, other };
/// Fault report: kind, the OS's own code for it, and the stack at the fault.
using FaultHandler = void (*)(FaultKind kind, std::uint32_t os_code, void* const* frames,
                              std::size_t frame_count) noexcept;
/// Routes processor faults (including stack overflow) to `handler`, which must not return.
void install_fault_handler(FaultHandler handler) noexcept;

/// Masks every floating-point exception so that no arithmetic traps.
void mask_float_exceptions() noexcept;

/// Most frames a traceback shows.
inline constexpr std::size_t MAX_FRAMES = 20;
/// Captures up to `capacity` return addresses of the caller's stack, innermost first,
/// leaving out `skip` frames. Signal-safe after start-up.
std::size_t capture_stack(void** frames, std::size_t capacity, std::size_t skip) noexcept;

/// What is known of one stack frame.
struct FrameInfo {
  char module[64];    ///< file name of the module, without its directory
  char routine[64];   ///< routine name, or empty when the module carries no symbols
  std::uintptr_t pc;  ///< program counter relative to the module's load address
};
/// Describes the frame at `pc`.
void describe_frame(const void* pc, FrameInfo* info) noexcept;

}  // namespace platform
