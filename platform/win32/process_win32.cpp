// Win32 backend of the process services: system error texts, the standard error stream,
// exit, console control events (delivered by the OS on a thread it creates for them),
// processor faults through the unhandled-exception filter, and the stack walker.
#include <windows.h>
// dbghelp.h needs the types of windows.h first.
#include <dbghelp.h>

#include <float.h>

#include <cstdlib>
#include <initializer_list>

#include "platform/copy_text.h"
#include "platform/platform.h"

namespace platform {
namespace {

ConsoleEventHandler console_handler = nullptr;
FaultHandler fault_handler = nullptr;

/// Stack kept back for the fault filter after an overflow has used up the rest.
constexpr ULONG OVERFLOW_RESERVE = 64 * 1024;
/// Status of a process ended by control-C, as the console itself reports it.
constexpr std::uint32_t CONTROL_C_EXIT_STATUS = 0xC000013Au;

/// Runs on the thread the OS starts for each console event. Events 0 to 2 (control-C,
/// control-BREAK, window closed) are numbered as the diagnostics number them.
BOOL WINAPI on_console_control(DWORD event) noexcept {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  if (console_handler == nullptr) return FALSE;
  return console_handler(static_cast<std::uint32_t>(event)) ? TRUE : FALSE;
}

/// The module that holds `address`, or null when no loaded module does.
HMODULE module_at(const void* address) noexcept {
  if (address == nullptr) return nullptr;
  HMODULE module = nullptr;
  const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  if (!::GetModuleHandleExA(flags, static_cast<LPCSTR>(address), &module)) return nullptr;
  return module;
}

/// How many leading frames lie in loaded modules. Past the thread's first routine some
/// unwinders go on into whatever the stack holds; those frames are no part of the traceback.
std::size_t frames_in_modules(void* const* frames, std::size_t count) noexcept {
  std::size_t kept = 0;
  while (kept < count && module_at(frames[kept]) != nullptr) ++kept;
  return kept;
}

/// Module base of `address` for the stack walker, from the loader's own list.
DWORD64 CALLBACK module_base_of(HANDLE, DWORD64 address) noexcept {
  return reinterpret_cast<std::uintptr_t>(
      module_at(reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address))));
}

/// Unwind data of the routine at `address`: the image's own function table on x86-64;
/// 32-bit frames are followed through their frame pointers and need none.
PVOID CALLBACK function_table_of(HANDLE, DWORD64 address) noexcept {
#if defined(_M_X64) || defined(__x86_64__)
  DWORD64 image_base = 0;
  return ::RtlLookupFunctionEntry(address, &image_base, nullptr);
#else
  (void)address;
  return nullptr;
#endif
}

/// Walks the stack of the faulting thread from the fault's own register context. Uses only
/// the stack it runs on and the caller's buffer: it may run after a stack overflow.
std::size_t walk_from_context(const CONTEXT& fault_context, void** frames, std::size_t capacity) noexcept {
  CONTEXT context = fault_context;
  STACKFRAME64 frame{};
  DWORD machine = 0;
#if defined(_M_X64) || defined(__x86_64__)
  machine = IMAGE_FILE_MACHINE_AMD64;
  frame.AddrPC.Offset = context.Rip;
  frame.AddrFrame.Offset = context.Rbp;
  frame.AddrStack.Offset = context.Rsp;
#else
  machine = IMAGE_FILE_MACHINE_I386;
  frame.AddrPC.Offset = context.Eip;
  frame.AddrFrame.Offset = context.Ebp;
  frame.AddrStack.Offset = context.Esp;
#endif
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Mode = AddrModeFlat;

  std::size_t count = 0;
  const HANDLE process = ::GetCurrentProcess();
  const HANDLE thread = ::GetCurrentThread();
  while (count < capacity && ::StackWalk64(machine, process, thread, &frame, &context, nullptr, function_table_of,
                                           module_base_of, nullptr)) {
    if (frame.AddrPC.Offset == 0) break;
    frames[count++] = reinterpret_cast<void*>(static_cast<std::uintptr_t>(frame.AddrPC.Offset));
  }
  // Without unwind data the walker may give up at once; the faulting instruction still counts.
  if (count == 0 && capacity > 0) {
#if defined(_M_X64) || defined(__x86_64__)
    frames[count++] = reinterpret_cast<void*>(static_cast<std::uintptr_t>(fault_context.Rip));
#else
    frames[count++] = reinterpret_cast<void*>(static_cast<std::uintptr_t>(fault_context.Eip));
#endif
  }
  return frames_in_modules(frames, count);
}

/// The unhandled-exception filter: sorts the fault, walks the stack from the fault's context
/// and hands both on. The handler ends the process; the fallback lets the OS end it.
LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* pointers) noexcept {
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  FaultKind kind = FaultKind::other;
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: kind = FaultKind::access_violation; break;
    case EXCEPTION_INT_DIVIDE_BY_ZERO: kind = FaultKind::integer_divide; break;
    case EXCEPTION_STACK_OVERFLOW: kind = FaultKind::stack_overflow; break;
    default: break;
  }
  void* frames[MAX_FRAMES];
  const std::size_t count = walk_from_context(*pointers->ContextRecord, frames, MAX_FRAMES);
  if (fault_handler != nullptr) fault_handler(kind, static_cast<std::uint32_t>(code), frames, count);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

std::size_t error_text(OsError error, char* out, std::size_t out_size) noexcept {
  if (out_size < 3) return 0;
  char text[1024];
  const DWORD got = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                     text, sizeof text, nullptr);
  if (got == 0) return 0;
  std::size_t length = got < sizeof text ? got : sizeof text - 1;
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      length = i;
      break;
    }
  }
  if (length > out_size - 3) length = out_size - 3;
  for (std::size_t i = 0; i < length; ++i) out[i] = text[i];
  out[length++] = '\r';
  out[length++] = '\n';
  out[length] = '\0';
  return length;
}

void secure_process_boundary() noexcept {
  // A standard handle the parent left stale could be handed out again to a file this run
  // opens, which would then receive the diagnostics: a handle that is not open counts as
  // missing, and a missing standard error drops them. Windows has no signal that kills a
  // writer to a broken pipe; such a write simply fails.
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) continue;
    ::SetLastError(NO_ERROR);
    if (::GetFileType(handle) == FILE_TYPE_UNKNOWN && ::GetLastError() == ERROR_INVALID_HANDLE) {
      ::SetStdHandle(which, nullptr);
    }
  }
}

void write_error_stream(const char* bytes, std::size_t count) noexcept {
  const HANDLE stream = ::GetStdHandle(STD_ERROR_HANDLE);
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE) return;
  while (count > 0) {
    DWORD put = 0;
    const auto asked = static_cast<DWORD>(count < 0x7FFFFFFFu ? count : 0x7FFFFFFFu);
    if (!::WriteFile(stream, bytes, asked, &put, nullptr) || put == 0) return;
    bytes += put;
    count -= put;
  }
}

// The C library hands the status to ExitProcess unchanged, so all 32 bits reach the parent.
void exit_process(std::uint32_t status) noexcept { std::exit(static_cast<int>(status)); }

void exit_process_now(std::uint32_t status) noexcept {
  // No exit handlers and no DLL detach: the fault may have left the loader or the heap locked.
  ::TerminateProcess(::GetCurrentProcess(), status);
  ::ExitProcess(status);
}

void wait_for_exit() noexcept {
  for (;;) ::Sleep(INFINITE);
}

void install_console_handler(ConsoleEventHandler handler) noexcept {
  console_handler = handler;
  ::SetConsoleCtrlHandler(on_console_control, TRUE);
}

std::uint32_t console_event_exit_status(std::uint32_t event) noexcept {
  switch (event) {
    case 0: return CONTROL_C_EXIT_STATUS;
    case 2: return 2;
    default: return 1;
  }
}

void install_fault_handler(FaultHandler handler) noexcept {
  fault_handler = handler;
  ULONG reserve = OVERFLOW_RESERVE;
  ::SetThreadStackGuarantee(&reserve);
  ::SetUnhandledExceptionFilter(on_unhandled_exception);
  // No message box and no error-reporting dialog: the diagnostic on standard error is all.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

void mask_float_exceptions() noexcept { (void)::_controlfp(_MCW_EM, _MCW_EM); }

// Not inlined, so that the frame left out below is always this function's own.
[[gnu::noinline]] std::size_t capture_stack(void** frames, std::size_t capacity, std::size_t skip) noexcept {
  // Leave out this function's own frame as well as the caller's `skip`.
  const auto limit = static_cast<DWORD>(capacity < MAX_FRAMES ? capacity : MAX_FRAMES);
  const std::size_t count = ::RtlCaptureStackBackTrace(static_cast<DWORD>(skip + 1), limit, frames, nullptr);
  return frames_in_modules(frames, count);
}

void describe_frame(const void* pc, FrameInfo* info) noexcept {
  info->module[0] = '\0';
  info->routine[0] = '\0';
  info->pc = reinterpret_cast<std::uintptr_t>(pc);
  const HMODULE module = module_at(pc);
  if (module == nullptr) return;
  info->pc -= reinterpret_cast<std::uintptr_t>(module);
  char name[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(module, name, sizeof name);
  if (length == 0 || length >= sizeof name) return;
  const char* base = name;
  for (const char* at = name; *at != '\0'; ++at) {
    if (*at == '\\' || *at == '/') base = at + 1;
  }
  copy_text(base, info->module, sizeof info->module);
}

}  // namespace platform
