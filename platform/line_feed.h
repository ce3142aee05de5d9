// Finding the end of a line in a unit buffer. Every unit buffer keeps a line feed one byte past
// its end, so the search needs no bound: the C library's unbounded search where it has one
// (glibc), a bounded one elsewhere.
#pragma once

#include <cstring>

namespace platform {

/// The first line feed in [from, held_end), or a pointer at or past held_end when there is none.
/// The unbounded search may run on past held_end, over stale bytes of the buffer, but no
/// further than the line feed at the buffer's end.
inline char* find_line_feed(char* from, [[maybe_unused]] char* held_end) noexcept {
#if defined(__GLIBC__)
  return static_cast<char*>(::rawmemchr(from, '\n'));
#else
  void* found = std::memchr(from, '\n', static_cast<std::size_t>(held_end - from));
  return found != nullptr ? static_cast<char*>(found) : held_end;
#endif
}

}  // namespace platform
