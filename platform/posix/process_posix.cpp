// POSIX backend of the process services: error texts, the standard error stream, exit,
// console events (SIGINT, SIGQUIT, SIGHUP) taken by sigwait on a thread of their own,
// processor faults on an alternate signal stack, and the stack walker.
#include <dlfcn.h>
#include <fcntl.h>
#include <fenv.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>
#include <unwind.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/copy_text.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

#if KORV_LINUX_CALLS
#include <link.h>
#include <sched.h>
#include <ucontext.h>
#endif

namespace platform {
namespace {

ConsoleEventHandler console_handler = nullptr;
pthread_t event_thread{};
bool event_thread_started = false;
bool files_unshared = false;
FaultHandler fault_handler = nullptr;
/// The main thread's stack as far as it may grow (from an address near its top down to the
/// stack size limit), for sorting faults where the registers cannot be read; 0 when unknown.
std::uintptr_t stack_high = 0;
std::uintptr_t stack_low = 0;

#if KORV_LINUX_CALLS
/// Finds the loaded object whose segments hold info->pc: its name (the program's own name for
/// the main program) and the pc relative to its load address.
void describe_by_segments(FrameInfo* info) noexcept {
  const auto visit = [](struct dl_phdr_info* object, std::size_t, void* argument) noexcept -> int {
    auto* frame = static_cast<FrameInfo*>(argument);
    for (ElfW(Half) i = 0; i < object->dlpi_phnum; ++i) {
      const ElfW(Phdr)& segment = object->dlpi_phdr[i];
      if (segment.p_type != PT_LOAD) continue;
      const std::uintptr_t start = object->dlpi_addr + segment.p_vaddr;
      if (frame->pc < start || frame->pc - start >= segment.p_memsz) continue;
      const char* name =
          object->dlpi_name != nullptr && object->dlpi_name[0] != '\0' ? object->dlpi_name : program_invocation_name;
      const char* slash = name != nullptr ? std::strrchr(name, '/') : nullptr;
      if (name != nullptr) copy_text(slash != nullptr ? slash + 1 : name, frame->module, sizeof frame->module);
      frame->pc -= object->dlpi_addr;
      return 1;
    }
    return 0;
  };
  ::dl_iterate_phdr(visit, info);
}
#endif

/// State of one stack walk: where the return addresses go, and how many frames to leave out.
struct StackWalk {
  void** frames;
  std::size_t capacity;
  std::size_t skip;
  std::size_t count;
};

_Unwind_Reason_Code collect_frame(struct _Unwind_Context* context, void* argument) noexcept {
  auto* walk = static_cast<StackWalk*>(argument);
  const _Unwind_Ptr pc = _Unwind_GetIP(context);
  if (pc == 0 || walk->count == walk->capacity) return _URC_END_OF_STACK;
  if (walk->skip > 0) {
    --walk->skip;
    return _URC_NO_REASON;
  }
  walk->frames[walk->count++] = reinterpret_cast<void*>(pc);
  return _URC_NO_REASON;
}

/// Walks the calling thread's stack with the unwinder linked into the program: unlike the C
/// library's walker it loads nothing at its first use, which also keeps start-up short.
std::size_t walk_stack(void** frames, std::size_t capacity, std::size_t skip) noexcept {
  StackWalk walk{frames, capacity, skip, 0};
  _Unwind_Backtrace(collect_frame, &walk);
  return walk.count;
}

/// The event number of a console signal, or -1 for any other signal.
int console_event_of(int signal_number) noexcept {
  switch (signal_number) {
    case SIGINT: return 0;
    case SIGQUIT: return 1;
    case SIGHUP: return 2;
    default: return -1;
  }
}

/// The console event thread: waits for the console signals, which every other thread blocks.
void* console_event_thread(void* argument) noexcept {
  const auto* signals = static_cast<const sigset_t*>(argument);
  for (;;) {
    int signal_number = 0;
    if (::sigwait(signals, &signal_number) != 0) continue;
    const int event = console_event_of(signal_number);
    if (event >= 0 && console_handler != nullptr) console_handler(static_cast<std::uint32_t>(event));
  }
  return nullptr;
}

/// Program counter and stack pointer of the faulting instruction, where the architecture lets
/// us read them (0 otherwise).
struct FaultRegisters {
  std::uintptr_t pc;
  std::uintptr_t sp;
};
FaultRegisters fault_registers(const void* context) noexcept {
#if KORV_LINUX_CALLS
  const auto* user = static_cast<const ucontext_t*>(context);
#endif
#if KORV_LINUX_CALLS && defined(__x86_64__)
  return {static_cast<std::uintptr_t>(user->uc_mcontext.gregs[REG_RIP]),
          static_cast<std::uintptr_t>(user->uc_mcontext.gregs[REG_RSP])};
#elif KORV_LINUX_CALLS && defined(__i386__)
  return {static_cast<std::uintptr_t>(user->uc_mcontext.gregs[REG_EIP]),
          static_cast<std::uintptr_t>(user->uc_mcontext.gregs[REG_ESP])};
#elif KORV_LINUX_CALLS && defined(__aarch64__)
  return {static_cast<std::uintptr_t>(user->uc_mcontext.pc), static_cast<std::uintptr_t>(user->uc_mcontext.sp)};
#elif KORV_LINUX_CALLS && defined(__s390x__)
  // The PSW's address, and general register 15, the stack pointer.
  return {static_cast<std::uintptr_t>(user->uc_mcontext.psw.addr),
          static_cast<std::uintptr_t>(user->uc_mcontext.gregs[15])};
#else
  // The machine context's layout is the system's own.
  (void)context;
  return {0, 0};
#endif
}

}  // namespace

FaultKind sort_fault(int signal_number, int code, std::uintptr_t address, std::uintptr_t sp, std::uintptr_t low,
                     std::uintptr_t high) noexcept {
  if (signal_number == SIGSEGV || signal_number == SIGBUS) {
    // A stack overflow faults on the guard page right below the stack pointer.
    constexpr std::uintptr_t REACH = 65536;
    const bool at_stack_pointer =
        sp != 0 ? address + REACH >= sp && address < sp + REACH : low != 0 && address + REACH >= low && address < high;
    if (at_stack_pointer) return FaultKind::stack_overflow;
    return signal_number == SIGSEGV ? FaultKind::access_violation : FaultKind::other;
  }
  if (signal_number == SIGFPE && code == FPE_INTDIV) return FaultKind::integer_divide;
  return FaultKind::other;
}

namespace {

/// Signal-safe: sorts the fault, walks the stack from the faulting frame, hands both on.
void on_fault_signal(int signal_number, siginfo_t* info, void* context) noexcept {
  const FaultRegisters registers = fault_registers(context);
  const FaultKind kind = sort_fault(signal_number, info->si_code, reinterpret_cast<std::uintptr_t>(info->si_addr),
                                    registers.sp, stack_low, stack_high);

  void* frames[MAX_FRAMES + 8];
  std::size_t count = walk_stack(frames, MAX_FRAMES + 8, 0);
  // Start the traceback at the faulting instruction, dropping this handler's own frames.
  const std::uintptr_t pc = registers.pc;
  std::size_t first = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (reinterpret_cast<std::uintptr_t>(frames[i]) == pc) {
      first = i;
      break;
    }
  }
  if (fault_handler != nullptr) {
    fault_handler(kind, static_cast<std::uint32_t>(signal_number), frames + first, count - first);
  }
  ::_exit(128 + signal_number);
}

/// The text of either strerror_r: the GNU one returns it, the POSIX one fills the buffer and
/// returns 0.
[[maybe_unused]] const char* strerror_text(const char* text, const char*) noexcept { return text; }
[[maybe_unused]] const char* strerror_text(int status, const char* buffer) noexcept {
  return status == 0 ? buffer : nullptr;
}

}  // namespace

bool owns_descriptor_table() noexcept {
  return !(files_unshared && event_thread_started && ::pthread_equal(::pthread_self(), event_thread) != 0);
}

std::size_t error_text(OsError error, char* out, std::size_t out_size) noexcept {
  if (out_size < 3) return 0;
  char scratch[1024];
  const char* text = strerror_text(::strerror_r(static_cast<int>(error), scratch, sizeof scratch), scratch);
  if (text == nullptr || text[0] == '\0') return 0;
  std::size_t length = copy_text(text, out, out_size - 2);
  for (std::size_t i = 0; i < length; ++i) {
    if (out[i] == '\r' || out[i] == '\n') {
      length = i;
      break;
    }
  }
  out[length++] = '\r';
  out[length++] = '\n';
  out[length] = '\0';
  return length;
}

void secure_process_boundary() noexcept {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one. Without a null device the place stays empty and
    // the file layer keeps its files clear of it.
    const int null_device = ::open("/dev/null", O_RDWR | O_NOCTTY);
    if (null_device >= 0 && null_device != fd) ::close(null_device);
  }
  // A write to a pipe nobody reads then fails with EPIPE and one beyond the file-size limit
  // with EFBIG: on the output that is a write error with its diagnostic, on standard error a
  // lost text, never a death by signal.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
}

void write_error_stream(const char* bytes, std::size_t count) noexcept {
  while (count > 0) {
    const ssize_t put = ::write(STDERR_FILENO, bytes, count);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The caller may hand over a non-blocking stream: wait for room as a blocking one would.
      pollfd writable{STDERR_FILENO, POLLOUT, 0};
      if (::poll(&writable, 1, -1) >= 0 || errno == EINTR) continue;
      return;
    }
    if (put <= 0) return;
    bytes += put;
    count -= static_cast<std::size_t>(put);
  }
}

void exit_process(std::uint32_t status) noexcept { std::exit(static_cast<int>(status)); }

void exit_process_now(std::uint32_t status) noexcept { ::_exit(static_cast<int>(status)); }

void wait_for_exit() noexcept {
  for (;;) ::pause();
}

void install_console_handler(ConsoleEventHandler handler) noexcept {
  console_handler = handler;
  static sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGQUIT);
  sigaddset(&signals, SIGHUP);
  // Blocked here, before any other thread exists, so that every thread inherits the mask
  // and only the event thread ever takes these signals.
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  pthread_t thread;
  if (::pthread_create(&thread, nullptr, console_event_thread, &signals) == 0) {
    ::pthread_detach(thread);
    event_thread = thread;
    event_thread_started = true;
    // A descriptor table shared between threads makes every read and write take a reference
    // on the file; the conversion thread keeps a table of its own instead. The event thread's
    // copy holds none of the line-list files, and the exit that follows an event closes them.
    // Elsewhere the two threads share one table, and the event thread closes the files itself.
#if KORV_LINUX_CALLS
    files_unshared = ::unshare(CLONE_FILES) == 0;
#endif
  }
}

std::uint32_t console_event_exit_status(std::uint32_t event) noexcept {
  static constexpr int SIGNALS[] = {SIGINT, SIGQUIT, SIGHUP};
  return event < 3 ? static_cast<std::uint32_t>(128 + SIGNALS[event]) : 1;
}

void install_fault_handler(FaultHandler handler) noexcept {
  fault_handler = handler;
  // Called on the main thread at start-up: a local's address lies near the top of its stack.
  char here = 0;
  stack_high = reinterpret_cast<std::uintptr_t>(&here);
  rlimit limit{};
  if (::getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < stack_high) {
    stack_low = stack_high - static_cast<std::uintptr_t>(limit.rlim_cur);
  }
  // A stack overflow leaves no room on the stack itself: faults run on a stack of their own.
  static constexpr std::size_t ALT_STACK_SIZE = 1u << 16;
  static char alternate_stack[ALT_STACK_SIZE];
  stack_t stack{};
  stack.ss_sp = alternate_stack;
  stack.ss_size = ALT_STACK_SIZE;
  ::sigaltstack(&stack, nullptr);

  struct sigaction action {};
  action.sa_sigaction = on_fault_signal;
  action.sa_flags = static_cast<int>(SA_SIGINFO | SA_ONSTACK | SA_RESETHAND);
  sigemptyset(&action.sa_mask);
  sigset_t faults;
  sigemptyset(&faults);
  for (const int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    ::sigaction(signal_number, &action, nullptr);
    sigaddset(&faults, signal_number);
  }
  // A fault whose signal the caller left blocked would kill the process without a word.
  ::pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
}

void mask_float_exceptions() noexcept {
#if KORV_LINUX_CALLS
  ::fedisableexcept(FE_ALL_EXCEPT);
#else
  // Clears the flags and installs the non-stop mode: no floating-point exception traps.
  fenv_t saved;
  ::feholdexcept(&saved);
#endif
}

std::size_t capture_stack(void** frames, std::size_t capacity, std::size_t skip) noexcept {
  // Leave out this function's own frame as well as the caller's `skip`.
  return walk_stack(frames, capacity, skip + 1);
}

void describe_frame(const void* pc, FrameInfo* info) noexcept {
  info->module[0] = '\0';
  info->routine[0] = '\0';
  info->pc = reinterpret_cast<std::uintptr_t>(pc);
  Dl_info found{};
  if (::dladdr(pc, &found) == 0) {
#if KORV_LINUX_CALLS
    // A statically linked program has no dynamic symbol table for dladdr; its own code is
    // still found among the loaded segments.
    describe_by_segments(info);
#endif
    return;
  }
  if (found.dli_fname != nullptr) {
    const char* slash = std::strrchr(found.dli_fname, '/');
    copy_text(slash != nullptr ? slash + 1 : found.dli_fname, info->module, sizeof info->module);
  }
  if (found.dli_sname != nullptr) copy_text(found.dli_sname, info->routine, sizeof info->routine);
  if (found.dli_fbase != nullptr) info->pc -= reinterpret_cast<std::uintptr_t>(found.dli_fbase);
}

}  // namespace platform
