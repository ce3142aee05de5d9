// A helper both backends share: bounded, signal-safe copying of a C string.
#pragma once

#include <cstddef>

namespace platform {

/// Copies at most `size - 1` bytes of `text` and a NUL into `out`; returns the bytes copied.
/// Signal-safe.
inline std::size_t copy_text(const char* text, char* out, std::size_t size) noexcept {
  std::size_t length = 0;
  while (text[length] != '\0' && length + 1 < size) {
    out[length] = text[length];
    ++length;
  }
  out[length] = '\0';
  return length;
}

}  // namespace platform
