// What the two halves of the POSIX backend share.
#pragma once

// Linux calls without a POSIX.1-2008 counterpart (or with a slower one) are made where they
// help, each behind KORV_LINUX_CALLS with its POSIX.1-2008 fallback beside it. Building with
// KORV_PORTABLE_POSIX (the CMake option of that name) takes every fallback on Linux too.
#if defined(__linux__) && !defined(KORV_PORTABLE_POSIX)
#define KORV_LINUX_CALLS 1
#else
#define KORV_LINUX_CALLS 0
#endif

#include <cstdint>

#include "platform/platform.h"

namespace platform {

/// False on the console event thread once the conversion thread has a descriptor table of
/// its own: descriptors opened since then are not in the calling thread's table.
bool owns_descriptor_table() noexcept;

/// Sorts a processor fault by its signal, signal code and faulting address. A SIGSEGV or SIGBUS
/// within 64 KiB of the stack pointer `sp` is a stack overflow; where the registers could not
/// be read (`sp` 0), one within 64 KiB below the stack's bounds `low` .. `high` is (0 when
/// they are unknown too). Any other SIGSEGV is an access violation, a SIGFPE with FPE_INTDIV
/// an integer divide, and everything else other.
FaultKind sort_fault(int signal_number, int code, std::uintptr_t address, std::uintptr_t sp, std::uintptr_t low,
                     std::uintptr_t high) noexcept;

}  // namespace platform
