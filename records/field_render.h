// Field renderers of the record writer: each fills exactly its w columns with the text of one
// integer, fixed-point real or character value and touches no other byte. Pure: no locale, no
// state, no exceptions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace records {

/// What a renderer left in its columns: the value's text (`fits`) or w asterisks (`overflow`).
enum class FieldOutcome : std::uint8_t { fits, overflow };

/// Digits of a real magnitude cut at d decimals: 0.d1 d2 d3... x 10^exponent, sign apart.
struct FixedDigits {
  /// First digit: at the caller's `at`, or at[-1] after a carry out of the first digit.
  const char* first = nullptr;
  /// Number of digits at `first`, all written; 0 when treated as zero.
  std::size_t count = 0;
  /// E: digits before the decimal point; E <= 0 means -E zeros follow the point first.
  int exponent = 0;
  /// Sign of the value passed in; false when the value is treated as zero.
  bool negative = false;
  /// No digit survives the rounding at d decimals; also for zero, subnormal, infinite and NaN values.
  bool treated_as_zero = true;
};

/// Right-aligned integer in exactly `width` columns, "-" left of the digits; asterisks and
/// overflow if it needs more. Callers use render_integer, which places small values itself.
FieldOutcome render_any_integer(std::int32_t value, std::size_t width, char* columns) noexcept;

/// Renders an integer right-aligned in exactly `width` columns, or asterisks when it does not
/// fit. Labels are mostly one or two digits and constants four: those are placed on the spot.
inline FieldOutcome render_integer(std::int32_t value, std::size_t width, char* columns) noexcept {
  const auto small = static_cast<std::uint32_t>(value);
  if (small < 10 && width >= 1) {
    for (std::size_t i = 0; i + 1 < width; ++i) columns[i] = ' ';
    columns[width - 1] = static_cast<char>('0' + small);
    return FieldOutcome::fits;
  }
  if (small < 100 && width >= 2) {
    for (std::size_t i = 0; i + 2 < width; ++i) columns[i] = ' ';
    columns[width - 2] = static_cast<char>('0' + small / 10);
    columns[width - 1] = static_cast<char>('0' + small % 10);
    return FieldOutcome::fits;
  }
  if (small < 10000 && width >= 4 && small >= 1000) {
    for (std::size_t i = 0; i + 4 < width; ++i) columns[i] = ' ';
    columns[width - 4] = static_cast<char>('0' + small / 1000);
    columns[width - 3] = static_cast<char>('0' + small / 100 % 10);
    columns[width - 2] = static_cast<char>('0' + small / 10 % 10);
    columns[width - 1] = static_cast<char>('0' + small % 10);
    return FieldOutcome::fits;
  }
  return render_any_integer(value, width, columns);
}

// Fixed-point fields: NaN and Infinity left-aligned after one blank, `fits` (asterisks and `overflow` when the
// field is narrower than " NaN", " Infinity" or " -Infinity"); zero, subnormals and values that round to zero
// as an unsigned 0.000; decimals < 0 or >= width give asterisks. Fields of 62 or more columns allocate a
// scratch area (asterisks if that fails); narrower ones never allocate.
/// Fixed-point real in exactly `width` columns with `decimals` digits after the point, rounded half away from zero.
FieldOutcome render_fixed(double value, std::size_t width, int decimals, char* columns) noexcept;

/// Character field of `width` columns: the first `width` bytes, or blanks and then all `length` bytes.
inline void render_characters(const char* bytes, std::size_t length, std::size_t width, char* columns) noexcept {
  // Plain byte loops: the fields are a few columns wide and their widths are often constants.
  if (length >= width) {
    for (std::size_t i = 0; i < width; ++i) columns[i] = bytes[i];
    return;
  }
  const std::size_t blanks = width - length;
  for (std::size_t i = 0; i < blanks; ++i) columns[i] = ' ';
  for (std::size_t i = 0; i < length; ++i) columns[blanks + i] = bytes[i];
}

/// Digits of |value| through the 10^-decimals place, at most max_digits (>= 1), written to at[-1]..at[max_digits-1].
FixedDigits fixed_digits(double value, int decimals, std::size_t max_digits, char* at) noexcept;

}  // namespace records
