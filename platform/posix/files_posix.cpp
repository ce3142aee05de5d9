// POSIX backend of the file calls: open-or-create with an exclusive advisory lock standing
// for "shared for reading only", block reads, whole-record writes, cuts and close.
// Every call retries EINTR; close is never retried.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

#if KORV_LINUX_CALLS
#include <sys/syscall.h>
#endif

namespace platform {
namespace {

/// Repeats `call` while it fails with EINTR.
template <typename Call>
auto retry_interrupted(Call call) noexcept {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

OsError last_errno() noexcept { return static_cast<OsError>(errno); }

int descriptor(FileHandle file) noexcept { return static_cast<int>(file); }

/// Moves a descriptor that took the place of a closed standard stream out of its way; the
/// process boundary normally leaves no such place free.
int clear_of_standard_streams(int fd) noexcept {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int error = errno;
  ::close(fd);
  errno = error;
  return moved;
}

OpenResult posix_open(const char* path, OpenAccess access, OpenCreation creation) noexcept {
  // A file whose permissions let nobody write it is read-only for every user: a privileged
  // process could open it for writing, but must not change it either.
  struct stat status {};
  if (access != OpenAccess::read_only && ::stat(path, &status) == 0 && !S_ISDIR(status.st_mode) &&
      (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    return {NO_FILE, static_cast<OsError>(EACCES)};
  }
  int flags = O_CLOEXEC | O_NOCTTY;
  switch (access) {
    case OpenAccess::read_write: flags |= O_RDWR; break;
    case OpenAccess::read_only: flags |= O_RDONLY; break;
    case OpenAccess::write_only: flags |= O_WRONLY; break;
  }
  if (creation == OpenCreation::open_or_create) flags |= O_CREAT;
  const int fd = clear_of_standard_streams(retry_interrupted([&] { return ::open(path, flags, 0666); }));
  if (fd < 0) return {NO_FILE, last_errno()};

  // A directory opens for reading here; refuse it as a file that cannot be accessed.
  if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    ::close(fd);
    return {NO_FILE, static_cast<OsError>(EISDIR)};
  }
  // Other processes may read the file but not hold it as we do: a second run in the same
  // directory finds the lock taken and fails its connect instead of clobbering our output.
  if (retry_interrupted([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
    const OsError error = last_errno();
    // Filesystems without advisory locks cannot enforce sharing; the open still stands.
    if (error != ENOLCK && error != EINVAL && error != EOPNOTSUPP) {
      ::close(fd);
      return {NO_FILE, error};
    }
  }
  return {static_cast<FileHandle>(fd), 0};
}

ReadResult posix_read(FileHandle file, char* destination, std::size_t size) noexcept {
  const ssize_t got = retry_interrupted([&] { return ::read(descriptor(file), destination, size); });
  if (got < 0) return {0, last_errno()};
  return {static_cast<std::size_t>(got), 0};
}

/// One write(2): the count written, or -errno. Once a second thread exists, the C library
/// wraps every write in thread cancellation bookkeeping that costs more than the call itself;
/// this program never cancels a thread, so on Linux the system call is made as is, and on
/// x86-64 in line, where the C library's generic syscall() first moves every argument one
/// register over.
ssize_t write_call(int fd, const char* bytes, std::size_t count) noexcept {
#if KORV_LINUX_CALLS && defined(__x86_64__)
  long result = SYS_write;
  // The kernel reads the bytes (so they must be in memory) and changes rcx and r11 only.
  asm volatile("syscall" : "+a"(result) : "D"(long{fd}), "S"(bytes), "d"(count) : "rcx", "r11", "memory");
  return static_cast<ssize_t>(result);
#elif KORV_LINUX_CALLS
  const auto put = static_cast<ssize_t>(::syscall(SYS_write, fd, bytes, count));
  return put < 0 ? -errno : put;
#else
  const ssize_t put = ::write(fd, bytes, count);
  return put < 0 ? -errno : put;
#endif
}

/// The rest of a write that one call did not finish (`put`, as write_call returned it):
/// continues after a short write, retries an interruption, and sorts out the error.
OsError finish_write(FileHandle file, const char* bytes, std::size_t count, ssize_t put) noexcept {
  for (;;) {
    if (put > 0) {
      bytes += put;
      count -= static_cast<std::size_t>(put);
      if (count == 0) return 0;
    } else if (put == 0) {
      return static_cast<OsError>(ENOSPC);
    } else if (put != -EINTR) {
      return static_cast<OsError>(-put);
    }
    put = write_call(descriptor(file), bytes, count);
  }
}

OsError posix_write(FileHandle file, const char* bytes, std::size_t count) noexcept {
  // The usual case: one call takes the whole record (and nothing is asked of a call for none).
  if (count == 0) return 0;
  const ssize_t put = write_call(descriptor(file), bytes, count);
  if (put == static_cast<ssize_t>(count)) return 0;
  return finish_write(file, bytes, count, put);
}

OsError posix_truncate(FileHandle file) noexcept {
  const off_t here = ::lseek(descriptor(file), 0, SEEK_CUR);
  if (here < 0) return last_errno();
  if (retry_interrupted([&] { return ::ftruncate(descriptor(file), here); }) != 0) return last_errno();
  return 0;
}

OsError posix_truncate_to_empty(FileHandle file) noexcept {
  if (retry_interrupted([&] { return ::ftruncate(descriptor(file), 0); }) != 0) return last_errno();
  return 0;
}

OsError posix_close(FileHandle file) noexcept {
  // The console event thread has a descriptor table of its own, without this file; the
  // process exit that follows the event closes it.
  if (!owns_descriptor_table()) return 0;
  // Never retried: after EINTR the descriptor is already gone on Linux.
  if (::close(descriptor(file)) != 0 && errno != EINTR) return last_errno();
  return 0;
}

constexpr FileCalls NATIVE_CALLS{posix_open, posix_read, posix_write, posix_truncate, posix_truncate_to_empty,
                                 posix_close};

}  // namespace

FileCalls current_file_calls = NATIVE_CALLS;
const FileCalls& native_file_calls() noexcept { return NATIVE_CALLS; }

std::size_t full_path(const char* name, char* out, std::size_t out_size) noexcept {
  const std::size_t name_length = std::strlen(name);
  std::size_t length = 0;
  if (name[0] != '/') {
    if (::getcwd(out, out_size) == nullptr) return errno == ERANGE ? out_size : 0;
    length = std::strlen(out);
    if (length == 0 || out[length - 1] != '/') {
      if (length + 1 >= out_size) return length + 1 + name_length + 1;
      out[length++] = '/';
    }
  }
  if (length + name_length + 1 > out_size) return length + name_length + 1;
  std::memcpy(out + length, name, name_length + 1);
  return length + name_length;
}

OpenFailure classify_open_error(OsError error) noexcept {
  switch (static_cast<int>(error)) {
    case ENOENT:
    case ENOTDIR: return OpenFailure::file_not_found;
    case EMFILE:
    case ENFILE: return OpenFailure::too_many_files;
    case EACCES:
    case EPERM:
    case EISDIR: return OpenFailure::access_denied;
    case EROFS: return OpenFailure::write_protected;
    case ENXIO:
    case ENODEV: return OpenFailure::no_device;
    case EEXIST: return OpenFailure::already_exists;
    case ENAMETOOLONG:
    case EILSEQ: return OpenFailure::bad_name;
    default: return OpenFailure::other;
  }
}

bool is_end_of_file_error(OsError) noexcept { return false; }

bool is_fifo(const char* path) noexcept {
  struct stat status {};
  return ::stat(path, &status) == 0 && S_ISFIFO(status.st_mode);
}

bool is_disk_file(FileHandle file) noexcept {
  struct stat status {};
  return ::fstat(descriptor(file), &status) == 0 && S_ISREG(status.st_mode);
}

bool is_standard_handle(FileHandle file) noexcept { return file >= 0 && file <= 2; }

}  // namespace platform
