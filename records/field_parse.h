// Pure conversions of one fixed-column input field: integer, fixed-point real and characters.
// Each works on exactly the bytes it is given, never allocates, and never consults the locale.
//
// Each numeric rule has two forms, and only two (kept equal by field_constant_width_test and the
// parse_integer and parse_fixed fuzz targets):
//
//   parse_integer_in_full             any field, any width, both blank modes; the reader's layout
//                                     walk, and compiled layouts for W > 9
//   parse_integer_constant_width<W>   W <= 9, blanks ignored: blanks, a sign, digits, a digit
//                                     last; false otherwise; compiled layouts (compiled_layout.h)
//   parse_fixed_in_full               any field, any width, both blank modes, exponents, Infinity,
//                                     NaN; the reader's layout walk, and compiled layouts for W > 16
//   parse_fixed_constant_width<W>     W <= 16, blanks ignored: blanks, a sign, digits, one point,
//                                     none in the first W - 8 columns; compiled layouts
//
// Both real forms end in exact_decimal when the digits allow it.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
inline double exact_decimal(std::uint64_t mantissa, int power, bool negative) noexcept {
  const auto exact = static_cast<double>(mantissa);
  const double magnitude = power > 0 ? exact * EXACT_POWERS[power] : exact / EXACT_POWERS[-power];
  return negative && mantissa != 0 ? -magnitude : magnitude;  // a zero mantissa gives +0.0 as it is
}

namespace detail {

/// An integer field of W <= 9 columns read column by column from the last: digits, then blanks
/// with perhaps a sign last before them. Takes leading blanks, an optional sign and then digits
/// only, the last column a digit; false for any other field.
template <std::size_t W>
constexpr bool integer_by_columns(const char* field, std::int32_t& value) noexcept {
  std::uint32_t magnitude = 0;
  std::uint32_t scale = 1;
  std::size_t start = W;  // the first digit
  for (std::size_t k = W; k > 0 && field[k - 1] >= '0' && field[k - 1] <= '9'; --k) {
    magnitude += static_cast<std::uint32_t>(field[k - 1] - '0') * scale;
    scale *= 10;
    start = k - 1;
  }
  if (start == W) return false;
  if (start == 0) {
    value = static_cast<std::int32_t>(magnitude);
    return true;
  }
  const char before = field[start - 1];
  if (before != ' ' && before != '-' && before != '+') return false;
  for (std::size_t k = 0; k + 1 < start; ++k) {
    if (field[k] != ' ') return false;
  }
  value = before == '-' ? -static_cast<std::int32_t>(magnitude) : static_cast<std::int32_t>(magnitude);
  return true;
}

/// What LABEL_PAIRS holds for a two-column field that integer_by_columns declines.
inline constexpr std::int8_t DECLINED = -128;

/// integer_by_columns<2> of every two-byte field (-9 .. 99, or DECLINED), indexed by the
/// field's two bytes as one native 16-bit number: one load and one lookup read the commonest
/// labels, whatever their shape. Only fields with a digit last can be taken, so only those are
/// worked out (which keeps the table quick to compile); only their entries, a few kilobytes,
/// are read in a converted list.
inline constexpr std::array<std::int8_t, 65536> LABEL_PAIRS = [] {
  std::array<std::int8_t, 65536> table{};
  table.fill(DECLINED);
  for (unsigned first = 0; first < 256; ++first) {
    for (unsigned last = '0'; last <= '9'; ++last) {
      const char field[2] = {static_cast<char>(first), static_cast<char>(last)};
      const unsigned key = std::endian::native == std::endian::little ? first | last << 8 : first << 8 | last;
      std::int32_t value = 0;
      if (integer_by_columns<2>(field, value)) table[key] = static_cast<std::int8_t>(value);
    }
  }
  return table;
}();

/// An integer field of 2 <= W <= 9 columns whose columns before its last two are blank, by one
/// lookup of those two in LABEL_PAIRS: -9 .. 99 in the shapes integer_by_columns takes. False
/// for any other field.
template <std::size_t W>
inline bool integer_from_pairs(const char* field, std::int32_t& value) noexcept {
  static_assert(W >= 2 && W <= 9);
  for (std::size_t k = 0; k + 2 < W; ++k) {
    if (field[k] != ' ') return false;
  }
  std::uint16_t pair = 0;
  std::memcpy(&pair, field + W - 2, 2);
  const std::int8_t looked_up = LABEL_PAIRS[pair];
  if (looked_up == DECLINED) return false;
  value = looked_up;
  return true;
}

}  // namespace detail

/// parse_integer_in_full with blanks ignored, for a field of a constant W <= 9 columns made of
/// leading blanks, an optional sign, then digits only, the last column a digit. A label of -9
/// .. 99 behind blanks is looked up; any other field read column by column. False, with `value`
/// untouched, for any other field.
template <std::size_t W>
inline bool parse_integer_constant_width(const char* field, std::int32_t& value) noexcept {
  static_assert(W >= 1 && W <= 9);  // nine digits cannot leave the 32-bit range
  if constexpr (W >= 2) {
    if (detail::integer_from_pairs<W>(field, value)) return true;
  }
  return detail::integer_by_columns<W>(field, value);
}

namespace detail {

/// Eight text bytes as one word of eight lanes, lane 0 (the lowest byte) holding the first.
inline constexpr std::uint64_t LANES = 0x0101010101010101;
/// The high bit of every lane.
inline constexpr std::uint64_t HIGH_BITS = LANES * 0x80;

/// Loads `COUNT` <= 8 bytes into a text word, the first in lane 0 and lanes COUNT..7 zero:
/// store_text's inverse, whatever the machine's byte order.
template <std::size_t COUNT>
inline std::uint64_t load_text(const char* from) noexcept {
  static_assert(COUNT >= 1 && COUNT <= 8);
  static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);
  std::uint64_t text = 0;
  std::memcpy(&text, from, COUNT);
  if constexpr (std::endian::native == std::endian::big) {
    text = (text & 0x00FF00FF00FF00FF) << 8 | ((text >> 8) & 0x00FF00FF00FF00FF);
    text = (text & 0x0000FFFF0000FFFF) << 16 | ((text >> 16) & 0x0000FFFF0000FFFF);
    text = text << 32 | text >> 32;
  }
  return text;
}

/// The number whose decimal digits are lanes 0..7 of `digits` (each 0..9, lane 0 the most
/// significant), by three multiplications, each joining every lane with the one before it:
/// with lanes of k bits holding values v_i, multiplying by 1 + m * 2^k adds m * v_(i-1) to
/// lane i, so after a shift by k every second lane holds m * v_i + v_(i+1). Steps with m = 10,
/// 100 and 10^4 join digits into pairs (8-bit lanes, at most 99 < 2^8), pairs into quadruples
/// (16-bit lanes, at most 9999 < 2^16) and quadruples into the number (at most 10^8 - 1 <
/// 2^32): no lane ever carries into the next, and the bits that leave the word's top are
/// never kept, so the value is exact for every eight digits (checked below and by
/// field_constant_width_test).
constexpr std::uint64_t eight_digit_value(std::uint64_t digits) noexcept {
  digits = ((digits * (1 + (std::uint64_t{10} << 8))) >> 8) & 0x00FF00FF00FF00FF;
  digits = ((digits * (1 + (std::uint64_t{100} << 16))) >> 16) & 0x0000FFFF0000FFFF;
  return (digits * (1 + (std::uint64_t{10000} << 32))) >> 32;
}
static_assert(99 < (1 << 8) && 9999 < (1 << 16) && 99999999 < (std::uint64_t{1} << 32));
static_assert(eight_digit_value(0x0807060504030201) == 12345678 && eight_digit_value(LANES * 9) == 99999999);

/// The first HEAD columns of a real field, read column by column: leading blanks, an optional
/// sign, then digits only. `negative` and `number` take the sign and the digits' value; `blank`
/// stays true while nothing but blanks was met. False for anything else.
struct FieldHead {
  std::uint64_t number = 0;
  bool negative = false;
  bool blank = true;
};
template <std::size_t HEAD>
inline bool read_head(const char* field, FieldHead& head) noexcept {
  for (std::size_t k = 0; k < HEAD; ++k) {
    const char c = field[k];
    if (c >= '0' && c <= '9') {
      head.number = head.number * 10 + static_cast<std::uint64_t>(c - '0');
      head.blank = false;
    } else if (!head.blank || c != ' ') {  // a leading blank is passed over
      if (!head.blank || (c != '-' && c != '+')) return false;
      head.negative = c == '-';
      head.blank = false;
    }
  }
  return true;
}

/// The last eight columns of a real field of W columns as lanes less '0' (a digit lane holds its
/// value); a field narrower than eight has blank lanes first.
template <std::size_t W>
inline std::uint64_t tail_lanes(const char* field) noexcept {
  if constexpr (W >= 8) {
    return load_text<8>(field + W - 8) ^ (LANES * '0');
  } else {
    constexpr unsigned BLANK_BITS = 8 * (8 - W);
    return (load_text<W>(field) << BLANK_BITS | (LANES * ' ' >> (64 - BLANK_BITS))) ^ (LANES * '0');
  }
}

/// For a field whose head held only blanks: the lanes of leading blanks and of a sign after
/// them, as a mask of all their bits, in `before`; the sign in `negative`. False when no lane
/// after them is left for a digit.
inline bool lanes_before_number(std::uint64_t digits, std::uint64_t& before, bool& negative) noexcept {
  // A lane's high bit is set in (x + 0x7F) | x exactly when x is not zero. A lane of 0x81 or
  // more also carries into the next lane, which it can only mark as not blank when that lane
  // lies after the first non-blank one, past what is counted here.
  const std::uint64_t blank_off = digits ^ (LANES * (' ' ^ '0'));
  const std::uint64_t non_blank = ((blank_off + LANES * 0x7F) | blank_off) & HIGH_BITS;
  if (non_blank == 0) return false;
  const int lead = std::countr_zero(non_blank) - 7;  // 8 x the blanks
  before = (std::uint64_t{1} << lead) - 1;
  const auto first = static_cast<unsigned>(digits >> lead) & 0xFF;
  if (first == ('-' ^ '0') || first == ('+' ^ '0')) {
    negative = first == ('-' ^ '0');
    before = before << 8 | 0xFF;
  }
  // At least one digit: with blanks and a sign over lanes 0..6, lane 7 must be one.
  return (before >> 55) == 0 || (digits >> 56) < 10;
}

/// The number in the lanes of `digits` outside `before`: digits and at most one point. `value`
/// takes the number its digits make, `places` the digits after a point (-1 without one).
struct TailNumber {
  std::uint64_t value = 0;
  int places = -1;
};
inline bool tail_number(std::uint64_t digits, std::uint64_t before, TailNumber& tail) noexcept {
  // A lane's high bit is set in (x + 0x76) | x exactly when x is 10 or more, not a digit. A
  // lane of 0x8A or more also carries into the next, which then reads as a second non-digit:
  // such a field is declined, as it would be anyway.
  const std::uint64_t non_digit = ((digits + LANES * (0x80 - 10)) | digits) & HIGH_BITS & ~before;
  if ((non_digit & (non_digit - 1)) != 0) return false;  // two or more
  std::uint64_t number = digits & ~before;
  if (non_digit != 0) {
    const int point = std::countr_zero(non_digit) - 7;  // 8 x its lane
    if (((digits >> point) & 0xFF) != ('.' ^ '0')) return false;
    // The lanes before the point move one lane on, over it, leaving a zero in lane 0. The
    // lanes after it are those at and above the bit just past the point's lane, whose mask is
    // that bit's negation (none after lane 7, where the bit leaves the word).
    const std::uint64_t after = 0 - (non_digit << 1);
    number = (number & after) | ((number << 8) & ~after);
    tail.places = std::countl_zero(non_digit) / 8;
  }
  tail.value = eight_digit_value(number);
  return true;
}

}  // namespace detail

/// parse_fixed_in_full with blanks ignored, for a field of a constant W <= 16 columns made of
/// leading blanks, an optional sign, then digits and at most one point (at least one digit, a
/// mantissa of at most 2^53), and, in a field wider than 8, no point and no blank after a digit
/// or sign in its first W - 8 columns. Those columns are read column by column; the last eight
/// (or all W, behind blank lanes) as one word. False, with `value` untouched, for any other field.
template <std::size_t W>
inline bool parse_fixed_constant_width(const char* field, int decimals, double& value) noexcept {
  static_assert(W >= 1 && W <= 16);  // sixteen digits cannot wrap the mantissa
  detail::FieldHead head;
  if (!detail::read_head<(W > 8 ? W - 8 : 0)>(field, head)) return false;
  const std::uint64_t digits = detail::tail_lanes<W>(field);
  std::uint64_t before = 0;  // the tail's lanes before the number
  if (head.blank && !detail::lanes_before_number(digits, before, head.negative)) return false;
  detail::TailNumber tail;
  if (!detail::tail_number(digits, before, tail)) return false;
  if (tail.places < 0 && (decimals < 0 || decimals > EXACT_POWERS_MAX)) return false;
  // The head's digits stand before the tail's eight, or seven beside a point.
  const std::uint64_t mantissa = head.number * (tail.places < 0 ? 100000000 : 10000000) + tail.value;
  if constexpr (W == 16) {
    if (mantissa > (std::uint64_t{1} << 53)) return false;
  }
  value = exact_decimal(mantissa, -(tail.places < 0 ? decimals : tail.places), head.negative);
  return true;
}

/// Fills `area` of `length` bytes from a character field: right part if shorter, blank-padded if longer.
void parse_characters(std::string_view field, char* area, std::size_t length) noexcept;

}  // namespace records
