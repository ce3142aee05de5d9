// Field renderers of the record writer: each fills exactly its w columns with the text of one
// integer, fixed-point real or character value and touches no other byte. No locale, no
// exceptions; only fixed-point fields of 62 columns or more, or with more than 62 decimals, allocate.
#pragma once

#include <cstddef>
#include <cstdint>

namespace records {

/// What a renderer left in its columns: the value's text (`fits`) or w asterisks (`overflow`).
enum class FieldOutcome : std::uint8_t { fits, overflow };

/// Decimal digits of a real magnitude cut at a number of decimals, as made by `fixed_digits`.
/// The value they stand for is 0.d1 d2 d3... x 10^exponent, with the sign in `negative`.
struct FixedDigits {
  /// First digit ('1' to '9' in practice); lies at the caller's `at`, or one byte left of it
  /// when rounding carried out of the first digit. Null when the value is treated as zero.
  const char* first = nullptr;
  /// Number of digits at `first`; every one of them is written. 0 when treated as zero.
  std::size_t count = 0;
  /// E: digits before the decimal point; E <= 0 means -E zeros follow the point first.
  int exponent = 0;
  /// Sign of the value passed in; false when the value is treated as zero.
  bool negative = false;
  /// The value rounds to zero at the requested decimals (or is not a normal number).
  bool treated_as_zero = true;
};

/// Writes the w-column integer field: digits right-aligned, "-" just left of them; w asterisks
/// and `overflow` when digits plus sign need more than w columns.
FieldOutcome render_integer(std::int32_t value, std::size_t width, char* columns) noexcept;

/// Writes the w-column fixed-point field with `decimals` digits after the point, rounded half
/// away from zero; NaN/Infinity left-aligned after one blank (asterisks below 4/9/10 columns);
/// zero, subnormals and values that round to zero as unsigned 0.000; w asterisks on overflow.
FieldOutcome render_fixed(double value, std::size_t width, int decimals, char* columns) noexcept;

/// Writes the w-column character field: the first w bytes, or blanks then all `length` bytes.
void render_characters(const char* bytes, std::size_t length, std::size_t width,
                       char* columns) noexcept;

/// Digit generator of `render_fixed`: digits of |value| through the 10^-decimals place, at most
/// max_digits (>= 1) of them, written from `at`; at[-1] .. at[max_digits - 1] must be writable.
/// Only normal values give digits; zero, subnormal, infinite and NaN come back treated as zero.
FixedDigits fixed_digits(double value, int decimals, std::size_t max_digits, char* at) noexcept;

}  // namespace records
