// Pure conversions of one fixed-column input field: integer, fixed-point real and characters.
// Each works on exactly the bytes it is given, never allocates, and never consults the locale.
//
// Each numeric rule has two forms, and only two:
//
//   form                       | takes                              | called by               | kept equal by
//   ---------------------------+------------------------------------+-------------------------+---------------------
//   parse_integer_in_full      | any field, any width, both blank   | the reader's layout     | (the rule itself)
//                              | modes                              | walk; compiled fallback |
//   parse_integer_plain<W>     | W <= 9, blanks ignored: blanks,    | compiled layouts        | field_plain_test,
//                              | a sign, digits; false otherwise    | (compiled_layout.h)     | parse_integer_fuzz
//   parse_fixed_in_full        | any field, any width, both blank   | the reader's layout     | (the rule itself)
//                              | modes, exponents, Infinity, NaN    | walk; compiled fallback |
//   parse_fixed_plain<W>       | W <= 16, blanks ignored: blanks,   | compiled layouts        | field_plain_test,
//                              | a sign, digits, one point          |                         | parse_fixed_fuzz
//
// Both real forms end in exact_decimal when the digits allow it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace records {

/// Outcome of one numeric field; the reading statement maps invalid and overflow to condition 64.
enum class ParseStatus : std::uint8_t { ok, invalid, overflow };

/// Why a field failed, or which rule produced a special zero; kept apart so tests can tell paths apart.
enum class ParseReason : std::uint8_t {
  none,                     ///< ordinary value
  tab_in_integer,           ///< a tab inside an integer field
  bad_byte,                 ///< a byte that no rule of the mantissa or integer accepts
  second_sign,              ///< a sign inside an integer after its own sign or first digit
  second_point,             ///< a second decimal point in a real field
  bad_word,                 ///< a byte that breaks the spelling of "Infinity" or "NaN"
  text_after_word,          ///< anything, even a blank, after a complete "Infinity" or "NaN"
  signed_nan,               ///< a sign written before "NaN"
  incomplete_word,          ///< the field ended inside "Infinity" or "NaN": reads as +0.0
  bad_exponent_byte,        ///< a point, letter, tab or other stray byte in the exponent
  misplaced_exponent_sign,  ///< a second exponent sign, or one after its first counted digit
  exponent_too_long,        ///< more than 4 exponent digits after its leading zeros
  magnitude_out_of_range,   ///< E + n outside -323..309
  rounds_to_infinity,       ///< the nearest binary64 value is infinite
  rounds_to_zero,           ///< the nearest binary64 value is below the smallest subnormal
  out_of_range,             ///< an integer outside the 32-bit signed range
};

/// Result of `parse_integer_in_full`: value is 0 unless status is ok; error_offset is the first bad byte or the field
/// size.
struct IntegerParse {
  std::int32_t value;
  ParseStatus status;
  ParseReason reason;
  std::size_t error_offset;
};

/// Result of `parse_fixed_in_full`: value is 0.0 unless status is ok; error_offset is the first bad byte or the field
/// size.
struct FixedParse {
  double value;
  ParseStatus status;
  ParseReason reason;
  std::size_t error_offset;
};

/// Reads a 32-bit signed integer field: blanks within its digits are skipped when
/// blanks_ignored, else read as 0 digits.
IntegerParse parse_integer_in_full(std::string_view field, bool blanks_ignored) noexcept;

/// Reads a binary64 real field with `decimals` implied decimal places (used when the field has
/// no decimal point), rounded once to nearest, ties to even.
FixedParse parse_fixed_in_full(std::string_view field, int decimals, bool blanks_ignored) noexcept;

/// Powers of ten that binary64 holds exactly.
inline constexpr int EXACT_POWERS_MAX = 22;
inline constexpr double EXACT_POWERS[EXACT_POWERS_MAX + 1] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

/// mantissa x 10^power with its sign, correctly rounded, for mantissa <= 2^53 and |power| <=
/// EXACT_POWERS_MAX: both factors are exact binary64 numbers, so one IEEE multiplication or
/// division rounds once. A zero mantissa is +0.0 whatever the sign.
[[gnu::always_inline]] inline double exact_decimal(std::uint64_t mantissa, int power, bool negative) noexcept {
  const auto exact = static_cast<double>(mantissa);
  const double magnitude = power > 0 ? exact * EXACT_POWERS[power] : exact / EXACT_POWERS[-power];
  return mantissa == 0 ? 0.0 : negative ? -magnitude : magnitude;
}

/// parse_integer_in_full with blanks ignored, for a field of a constant W <= 9 columns made of
/// leading blanks, an optional sign, then digits only: unrolled for its width. False, with
/// `value` untouched, for any other field.
template <std::size_t W>
[[gnu::always_inline]] inline bool parse_integer_plain(const char* field, std::int32_t& value) noexcept {
  static_assert(W >= 1 && W <= 9);  // nine digits cannot leave the 32-bit range
  std::size_t i = 0;
  while (i < W && field[i] == ' ') ++i;
  bool negative = false;
  if (i < W && (field[i] == '-' || field[i] == '+')) negative = field[i++] == '-';
  std::uint32_t magnitude = 0;
#pragma GCC unroll 9
  for (std::size_t k = 0; k < W; ++k) {
    if (k < i) continue;  // unrolled for every start, so each column is one test of its byte
    const unsigned digit = static_cast<unsigned char>(field[k]) - unsigned{'0'};
    if (digit >= 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  value = negative ? -static_cast<std::int32_t>(magnitude) : static_cast<std::int32_t>(magnitude);
  return true;
}

/// parse_fixed_in_full with blanks ignored, for a field of a constant W <= 16 columns made of
/// leading blanks, an optional sign, then digits and at most one point (at least one digit, a
/// mantissa of at most 2^53): unrolled for its width. False, with `value` untouched, for any
/// other field.
template <std::size_t W>
[[gnu::always_inline]] inline bool parse_fixed_plain(const char* field, int decimals, double& value) noexcept {
  static_assert(W >= 1 && W <= 16);  // sixteen digits cannot wrap the mantissa
  std::size_t i = 0;
  while (i < W && field[i] == ' ') ++i;
  const std::size_t start = i;
  bool negative = false;
  if (i < W && (field[i] == '-' || field[i] == '+')) negative = field[i++] == '-';
  const std::size_t sign_columns = i - start;
  std::uint64_t mantissa = 0;
  std::size_t point_at = W;
#pragma GCC unroll 16
  for (std::size_t k = 0; k < W; ++k) {
    if (k < i) continue;  // unrolled for every start, so each column is one test of its byte
    const char c = field[k];
    const unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
    if (digit < 10) {
      mantissa = mantissa * 10 + digit;
    } else if (c == '.' && point_at == W) {
      point_at = k;
    } else {
      return false;
    }
  }
  const std::size_t digits = W - start - sign_columns - (point_at == W ? 0 : 1);
  if (digits == 0 || mantissa > (std::uint64_t{1} << 53) || decimals < 0 || decimals > EXACT_POWERS_MAX) return false;
  const std::size_t places = point_at == W ? static_cast<std::size_t>(decimals) : W - point_at - 1;
  value = exact_decimal(mantissa, -static_cast<int>(places), negative);
  return true;
}

/// Fills `area` of `length` bytes from a character field: right part if shorter, blank-padded if longer.
void parse_characters(std::string_view field, char* area, std::size_t length) noexcept;

}  // namespace records
