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

namespace platform {

/// False on the console event thread once the conversion thread has a descriptor table of
/// its own: descriptors opened since then are not in the calling thread's table.
bool owns_descriptor_table() noexcept;

}  // namespace platform
