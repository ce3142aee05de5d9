// What the two halves of the POSIX backend share.
#pragma once

namespace platform {

/// False on the console event thread once the conversion thread has a descriptor table of
/// its own: descriptors opened since then are not in the calling thread's table.
bool owns_descriptor_table() noexcept;

}  // namespace platform
