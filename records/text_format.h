// A small printf-style formatter for diagnostics: no allocation, no locale, signal-safe.
// Knows %d %i %ld %s %x %X %lx %lX with the '-' flag, a width and a precision, and %%.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace records {

/// One argument of a diagnostic text: a signed integer or a NUL-terminated string.
struct FormatArg {
  enum class Kind : std::uint8_t { integer, text };
  Kind kind = Kind::integer;
  std::int64_t integer = 0;
  const char* text = "";

  /// An integer argument.
  static constexpr FormatArg number(std::int64_t value) noexcept { return {Kind::integer, value, ""}; }
  /// A string argument.
  static constexpr FormatArg string(const char* value) noexcept { return {Kind::text, 0, value}; }
};

/// Formats `format` with `args` into `out`, cut to out_size - 1 bytes and NUL-terminated.
/// Returns the length written. Missing arguments read as 0 or the empty string.
std::size_t format_text(char* out, std::size_t out_size, const char* format, std::span<const FormatArg> args) noexcept;

}  // namespace records
