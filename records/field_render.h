// Field renderers of the record writer: each fills exactly its w columns with the text of one
// integer, fixed-point real or character value and touches no other byte. Pure: no locale, no
// state, no exceptions.
//
// Each numeric rule has two forms, and only two (kept equal by field_constant_width_test and the
// render_integer and render_fixed fuzz targets):
//
//   render_integer_in_full              any value, any width; the writer's layout walk, and the
//                                       compiled layouts' fallback
//   render_integer_constant_width<W>    W <= 9: every value that fits; false otherwise;
//                                       compiled layouts (compiled_layout.h)
//   render_fixed_in_full                any value, width and decimals: exact digits of |x| >= 1,
//                                       the scaled generator below 1; the writer's layout walk,
//                                       and the compiled layouts' fallback
//   render_fixed_constant_width<W, D>   10 <= W <= 12, 1 <= D <= 7: positive values of 1 and
//                                       more that fit; false otherwise, and for every value in
//                                       a field of another shape; compiled layouts
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

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
  /// No digit survives the rounding at d decimals; also for zero, subnormal, infinite and NaN
  /// values, and for magnitudes of 1 or more, which fixed_digits does not take.
  bool treated_as_zero = true;
};

/// Right-aligned integer in exactly `width` columns, "-" left of the digits; asterisks and
/// overflow if it needs more.
FieldOutcome render_integer_in_full(std::int32_t value, std::size_t width, char* columns) noexcept;

// Fixed-point fields: NaN and Infinity left-aligned after one blank, `fits` (asterisks and `overflow` when the
// field is narrower than " NaN", " Infinity" or " -Infinity"); zero, subnormals and values that round to zero
// as an unsigned 0.000; decimals < 0 or >= width give asterisks. Fields of 62 or more columns allocate a
// scratch area (asterisks if that fails); narrower ones never allocate.
/// Fixed-point real in exactly `width` columns with `decimals` digits after the point, rounded half away from zero.
FieldOutcome render_fixed_in_full(double value, std::size_t width, int decimals, char* columns) noexcept;

/// The numbers -99..999 right-aligned in three columns, four bytes apart: "-99" first, "999"
/// last; then one entry of blanks (BLANK_TRIPLE), for three columns left empty, and two blanks
/// more, so that four bytes read from the last one or two columns of any entry stay inside.
inline constexpr std::size_t BLANK_TRIPLE = 1099;
inline constexpr std::size_t SIGNED_TRIPLES_SIZE = 4 * (BLANK_TRIPLE + 1) + 2;
inline constexpr std::array<char, SIGNED_TRIPLES_SIZE> SIGNED_TRIPLES = [] {
  std::array<char, SIGNED_TRIPLES_SIZE> table{};
  table.fill(' ');
  for (int n = -99; n <= 999; ++n) {
    std::size_t at = 4 * static_cast<std::size_t>(n + 99) + 3;
    unsigned magnitude = static_cast<unsigned>(n < 0 ? -n : n);
    do {
      table[--at] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (n < 0) table[--at] = '-';
  }
  return table;
}();

/// 10^n for n <= 19.
constexpr std::uint64_t power_of_ten(std::size_t n) noexcept {
  std::uint64_t power = 1;
  for (std::size_t i = 0; i < n; ++i) power *= 10;
  return power;
}

namespace detail {

/// The smallest and largest integers that fit W columns: -(10^(W-1) - 1) and 10^W - 1.
template <std::size_t W>
constexpr std::int32_t LOWEST_FITTING = -static_cast<std::int32_t>(power_of_ten(W - 1) - 1);
template <std::size_t W>
constexpr std::int32_t HIGHEST_FITTING = static_cast<std::int32_t>(power_of_ten(W) - 1);

/// An integer of W <= 3 columns: every value that fits, -99 .. 999 at most, as the last W
/// columns of its entry in SIGNED_TRIPLES (the columns before them are blanks for such a value).
template <std::size_t W>
inline bool render_from_triples(std::int32_t value, char* columns) noexcept {
  static_assert(W >= 1 && W <= 3);
  if (value < LOWEST_FITTING<W> || value > HIGHEST_FITTING<W>) return false;
  std::memcpy(columns, SIGNED_TRIPLES.data() + 4 * static_cast<std::size_t>(value + 99) + (3 - W), W);
  return true;
}

/// An integer of 4 <= W <= 9 columns: every value that fits, digit by digit from the last column.
template <std::size_t W>
inline bool render_by_digits(std::int32_t value, char* columns) noexcept {
  static_assert(W >= 4 && W <= 9);
  if (value < LOWEST_FITTING<W> || value > HIGHEST_FITTING<W>) return false;
  auto magnitude = static_cast<std::uint32_t>(value < 0 ? -value : value);
  std::size_t column = W;
  do {
    columns[--column] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) columns[--column] = '-';
  while (column > 0) columns[--column] = ' ';
  return true;
}

}  // namespace detail

/// render_integer_in_full for a constant width W <= 9: every value that fits, the labels' two
/// and three columns by one copy from a table whatever their sign or digits. False, with the
/// columns untouched, for a value too wide.
template <std::size_t W>
inline bool render_integer_constant_width(std::int32_t value, char* columns) noexcept {
  if constexpr (W <= 3) {
    return detail::render_from_triples<W>(value, columns);
  } else {
    return detail::render_by_digits<W>(value, columns);
  }
}

namespace detail {

/// True when (n * multiplier) >> shift is n / divisor for every n below `below`.
constexpr bool divides_by_multiplying(std::uint64_t multiplier, int shift, std::uint64_t divisor,
                                      std::uint64_t below) noexcept {
  for (std::uint64_t n = 0; n < below; ++n) {
    if ((n * multiplier) >> shift != n / divisor) return false;
  }
  return true;
}

/// The eight digits of a number below 10^8 as text in one word, the most significant in lane 0
/// (the lowest byte): `halves` holds its first four digits' value (a number below 10^4) in its
/// low 32 bits and its last four's in its high 32. Each step splits every lane in two at once.
/// A lane n < 10^4 splits into q = n / 100 and r = n - 100 q as (n << 16) - q * ((100 << 16) - 1)
/// = (r << 16) + q, and a 16-bit lane m < 100 into m / 10 and its last digit the same way. The
/// quotients come from multiplying by a rounded-up reciprocal: n * 10486 >> 20 (10486 / 2^20 =
/// 1/100 + 24 / (100 * 2^20)) is n / 100 for n < 43690, and m * 103 >> 10 (103 / 2^10 = 1/10 +
/// 6 / (10 * 2^10)) is m / 10 for m < 170; both are checked over their whole range below. No
/// product leaves its lane: 9999 * 10486 < 2^27 and 99 * 103 < 2^14.
constexpr std::uint64_t digits_of_halves(std::uint64_t halves) noexcept {
  const std::uint64_t hundreds = ((halves * 10486) >> 20) & 0x0000007F0000007F;
  const std::uint64_t pairs = (halves << 16) - hundreds * ((100 << 16) - 1);
  const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000F;
  return ((pairs << 8) - tens * ((10 << 8) - 1)) | 0x3030303030303030;
}
static_assert(divides_by_multiplying(10486, 20, 100, 10000) && 9999 * 10486 < (1 << 27));
static_assert(divides_by_multiplying(103, 10, 10, 100) && 99 * 103 < (1 << 14));

/// Stores lanes 0 .. COUNT-1 of a text word (lane 0 in the lowest byte) to `to` in that order:
/// memory order on a little-endian machine, byte-reversed first on a big-endian one.
template <std::size_t COUNT>
inline void store_text(std::uint64_t text, char* to) noexcept {
  static_assert(COUNT <= 8);
  static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);
  if constexpr (std::endian::native == std::endian::big) {
    text = (text & 0x00FF00FF00FF00FF) << 8 | ((text >> 8) & 0x00FF00FF00FF00FF);
    text = (text & 0x0000FFFF0000FFFF) << 16 | ((text >> 16) & 0x0000FFFF0000FFFF);
    text = text << 32 | text >> 32;
  }
  std::memcpy(to, &text, COUNT);
}

/// The fixed-point shapes written as one number: W - 1 columns of digits (nine to eleven) of
/// which D (one to seven) are decimals, so that the point falls among the low eight digits and
/// what is above them fits three columns.
template <std::size_t W, std::size_t D>
inline constexpr bool ONE_NUMBER_SHAPE = D >= 1 && D <= 7 && W >= 10 && W <= 12;

/// x * 10^D rounded half away from zero, exactly, for a positive x of 1 <= x < 2^(41 - D): with
/// x = m / 2^f (m the 53-bit mantissa, f its fraction bits, here D + 12 .. 52), it is
/// floor((m * 5^D + 2^(s-1)) / 2^s) with s = f - D. m * 5^D needs up to 70 bits, so m is taken
/// as h * 2^11 + l: the sum is 2^11 (h * 5^D + 2^(s-12)) + l * 5^D, and flooring by 2^11 first
/// and by 2^(s-11) after gives the same floor. h * 5^D + 2^(s-12) + l * 5^D / 2^11 stays below
/// 2^60 (checked below). Every value a ONE_NUMBER_SHAPE field holds lies in the range. False
/// for any value outside it, negative ones included (their sign bit sets the exponent above it).
template <std::size_t D>
inline bool scaled_exactly(std::uint64_t bits, std::uint64_t& scaled) noexcept {
  constexpr std::uint64_t FIVE_POWER = power_of_ten(D) >> D;  // 10^D = 5^D * 2^D
  static_assert(D <= 7 && (std::uint64_t{1} << 42) * FIVE_POWER + (std::uint64_t{1} << 41) < (std::uint64_t{1} << 60));
  const int fraction_bits = 1023 + 52 - static_cast<int>(bits >> 52);
  if (fraction_bits < static_cast<int>(D) + 12 || fraction_bits > 52) return false;
  const int shift = fraction_bits - static_cast<int>(D);
  const std::uint64_t mantissa = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const std::uint64_t high_part = (mantissa >> 11) * FIVE_POWER + (std::uint64_t{1} << (shift - 12));
  scaled = (high_part + (((mantissa & ((1 << 11) - 1)) * FIVE_POWER) >> 11)) >> (shift - 11);
  return true;
}

/// Blanks over the leading '0' lanes of `text`, among its first COUNT lanes.
template <unsigned COUNT>
inline std::uint64_t blank_leading_zeros(std::uint64_t text) noexcept {
  for (unsigned lane = 0; lane < COUNT && ((text >> (8 * lane)) & 0xFF) == '0'; ++lane) {
    text ^= std::uint64_t{'0' ^ ' '} << (8 * lane);
  }
  return text;
}

/// Writes a ONE_NUMBER_SHAPE field from `scaled` < 10^(W - 1), the value times 10^D.
template <std::size_t W, std::size_t D>
inline void write_one_number(std::uint64_t scaled, char* columns) noexcept {
  constexpr std::size_t HIGH_COLUMNS = W - 9;  // the columns above the low eight digits
  const std::uint64_t high = scaled / 100000000;
  // The low eight digits' two halves, each from a quotient of the scaled value itself, so that
  // neither division waits for the other.
  const std::uint64_t upper = scaled / 10000;
  std::uint64_t text = digits_of_halves((upper - high * 10000) | (scaled - upper * 10000) << 32);
  // Without digits above the low eight, blanks over the leading zeros of the integer lanes,
  // all but the last.
  if (high == 0) text = blank_leading_zeros<7 - D>(text);
  // Three overlapping stores, each covering what the one before got wrong: four bytes of the
  // label table (blanks where nothing stands above the low eight digits; the last of the four,
  // or of the next entry, is not its own), the eight digits one column right of their place,
  // then the integer lanes and the point in their place.
  constexpr unsigned INTEGER_BITS = 8 * (8 - D);  // the lanes left of the point
  const std::size_t entry = high != 0 ? static_cast<std::size_t>(high) + 99 : BLANK_TRIPLE;  // high < 1000
  static_assert(4 * BLANK_TRIPLE + (3 - HIGH_COLUMNS) + 4 <= SIGNED_TRIPLES_SIZE);
  std::memcpy(columns, SIGNED_TRIPLES.data() + 4 * entry + (3 - HIGH_COLUMNS), 4);
  store_text<8>(text, columns + HIGH_COLUMNS + 1);
  const std::uint64_t integer_lanes = text & ((std::uint64_t{1} << INTEGER_BITS) - 1);
  store_text<9 - D>(integer_lanes | std::uint64_t{'.'} << INTEGER_BITS, columns + HIGH_COLUMNS);
}

}  // namespace detail

/// render_fixed_in_full for a constant W <= 20 and D <= 9 with D + 2 <= W. In a
/// detail::ONE_NUMBER_SHAPE field, positive values of 1 or more that fit, taken exactly as one
/// number |x| * 10^D, so that the digits are those of render_fixed_in_full. False, with the
/// columns untouched, for every other value, and for every value in a field of another shape.
template <std::size_t W, std::size_t D>
inline bool render_fixed_constant_width(double value, char* columns) noexcept {
  static_assert(W <= 20 && D <= 9 && D + 2 <= W);
  if constexpr (detail::ONE_NUMBER_SHAPE<W, D>) {
    std::uint64_t scaled = 0;
    if (!detail::scaled_exactly<D>(std::bit_cast<std::uint64_t>(value), scaled)) return false;
    if (scaled >= power_of_ten(W - 1)) return false;
    detail::write_one_number<W, D>(scaled, columns);
    return true;
  } else {
    return false;
  }
}

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

/// Digits of |value| < 1 through the 10^-decimals place, at most max_digits (>= 1), written to
/// at[-1]..at[max_digits-1]: the scaled generator of render_fixed_in_full, which writes a
/// magnitude of 1 or more from its exact digits instead.
FixedDigits fixed_digits(double value, int decimals, std::size_t max_digits, char* at) noexcept;

}  // namespace records
