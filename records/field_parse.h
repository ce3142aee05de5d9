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

/// parse_integer_constant_width column by column, from the last: the digits, then what stands before them.
template <std::size_t W>
constexpr bool integer_by_columns(const char* field, std::int32_t& value) noexcept {
  std::uint32_t magnitude = 0;
  std::uint32_t scale = 1;
  std::size_t start = W;  // the first digit
  for (std::size_t k = W; k > 0; --k) {
    const unsigned digit = static_cast<unsigned char>(field[k - 1]) - unsigned{'0'};
    if (digit >= 10) break;
    magnitude += digit * scale;
    scale *= 10;
    start = k - 1;
  }
  if (start == W) return false;
  if (start == 0) {
    value = static_cast<std::int32_t>(magnitude);
    return true;
  }
  // Before the digits: blanks, the last of them perhaps a sign.
  const char before = field[start - 1];
  if (before != ' ' && before != '-' && before != '+') return false;
  for (std::size_t k = 0; k + 1 < start; ++k) {
    if (field[k] != ' ') return false;
  }
  value = before == '-' ? -static_cast<std::int32_t>(magnitude) : static_cast<std::int32_t>(magnitude);
  return true;
}

/// What LABEL_PAIRS holds for a two-column field the constant-width form declines.
inline constexpr std::int8_t DECLINED = -128;

/// integer_by_columns<2> of every two-byte field (-9 .. 99, or DECLINED), indexed by the
/// field's two bytes as one native 16-bit number: one load and one lookup read the commonest
/// labels, whatever their shape. The constant-width form takes no field without a digit last, so only
/// those fields are worked out (which keeps the table quick to compile); only their entries,
/// a few kilobytes, are read in a converted list.
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

/// The entry of LABEL_PAIRS for the last two of a field's `COLUMNS` columns when the columns
/// before them are blank; DECLINED otherwise.
template <std::size_t COLUMNS>
inline std::int8_t pair_behind_blanks(const char* field) noexcept {
  static_assert(COLUMNS >= 2);
  bool blanks_first = true;
  for (std::size_t k = 0; k + 2 < COLUMNS; ++k) blanks_first = blanks_first && field[k] == ' ';
  if (!blanks_first) return DECLINED;
  std::uint16_t pair = 0;
  std::memcpy(&pair, field + COLUMNS - 2, 2);
  return LABEL_PAIRS[pair];
}

}  // namespace detail

/// parse_integer_in_full with blanks ignored, for a field of a constant W <= 9 columns made of
/// leading blanks, an optional sign, then digits only, the last column a digit. A field whose
/// columns before its last two are blank is looked up in LABEL_PAIRS; any other is read column
/// by column, from the last. False, with `value` untouched, for any other field.
template <std::size_t W>
inline bool parse_integer_constant_width(const char* field, std::int32_t& value) noexcept {
  static_assert(W >= 1 && W <= 9);  // nine digits cannot leave the 32-bit range
  if constexpr (W == 1) {
    const unsigned digit = static_cast<unsigned char>(field[0]) - unsigned{'0'};
    if (digit >= 10) return false;
    value = static_cast<std::int32_t>(digit);
    return true;
  } else {
    const std::int8_t looked_up = detail::pair_behind_blanks<W>(field);
    if (looked_up != detail::DECLINED) {
      value = looked_up;
      return true;
    }
    return detail::integer_by_columns<W>(field, value);
  }
}

/// Loads `COUNT` <= 8 bytes into a text word, the first in lane 0 (the lowest byte) and lanes
/// COUNT..7 zero: store_text's inverse, whatever the machine's byte order.
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
/// significant): neighbouring lanes, then pairs, then quadruples joined by one multiplication each.
inline std::uint64_t eight_digit_value(std::uint64_t digits) noexcept {
  digits = ((digits * (1 + (std::uint64_t{10} << 8))) >> 8) & 0x00FF00FF00FF00FF;
  digits = ((digits * (1 + (std::uint64_t{100} << 16))) >> 16) & 0x0000FFFF0000FFFF;
  return (digits * (1 + (std::uint64_t{10000} << 32))) >> 32;
}

/// parse_fixed_in_full with blanks ignored, for a field of a constant W <= 16 columns made of
/// leading blanks, an optional sign, then digits and at most one point (at least one digit, a
/// mantissa of at most 2^53), and, in a field wider than 8, no point and no blank after a digit
/// or sign in its first W - 8 columns. Those columns are read byte by byte; the last eight (or
/// all W, behind blank lanes) as one word. False, with `value` untouched, for any other field.
template <std::size_t W>
inline bool parse_fixed_constant_width(const char* field, int decimals, double& value) noexcept {
  static_assert(W >= 1 && W <= 16);  // sixteen digits cannot wrap the mantissa
  constexpr std::size_t HEAD = W > 8 ? W - 8 : 0;
  constexpr std::uint64_t LANES = 0x0101010101010101;
  // The head: blanks, a sign, digits, read column by column.
  bool negative = false;
  bool head_blank = true;  // nothing but blanks so far
  std::uint64_t head_value = 0;
  const auto head_by_columns = [&]() noexcept {
    for (std::size_t k = 0; k < HEAD; ++k) {
      const char c = field[k];
      const unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
      if (digit < 10) {
        head_value = head_value * 10 + digit;
        head_blank = false;
      } else if (!head_blank || c != ' ') {  // a leading blank is passed over
        if (!head_blank || (c != '-' && c != '+')) return false;
        negative = c == '-';
        head_blank = false;
      }
    }
    return true;
  };
  if (!head_by_columns()) return false;
  // The tail: eight lanes, the field's first byte after the blank lanes of a narrow field.
  std::uint64_t tail = 0;
  if constexpr (W >= 8) {
    tail = load_text<8>(field + HEAD);
  } else {
    tail = load_text<W>(field) << (8 * (8 - W)) | ((std::uint64_t{1} << (8 * (8 - W))) - 1) / 0xFF * ' ';
  }
  const std::uint64_t digits = tail ^ (LANES * '0');  // a digit lane holds its value
  constexpr std::uint64_t HIGH = LANES * 0x80;
  // Lanes before the number: leading blanks and a sign, only where the head held nothing.
  std::uint64_t before = 0;
  if (head_blank) {
    const std::uint64_t blank_off = digits ^ (LANES * (' ' ^ '0'));
    // A carry out of a lane of 0x81 or more can only mark the lane after a non-blank one.
    const std::uint64_t non_blank = ((blank_off + LANES * 0x7F) | blank_off) & HIGH;
    if (non_blank == 0) return false;
    const int lead = std::countr_zero(non_blank) - 7;  // 8 x the blanks
    before = (std::uint64_t{1} << lead) - 1;
    const auto first = static_cast<unsigned>(digits >> lead) & 0xFF;
    if (first == ('-' ^ '0') || first == ('+' ^ '0')) {
      negative = first == ('-' ^ '0');
      before = before << 8 | 0xFF;
    }
    // At least one digit: with blanks and a sign over lanes 0..6, lane 7 must be one.
    if ((before >> 55) != 0 && (digits >> 56) >= 10) return false;
  }
  // After them only digits and at most one point.
  // A lane of 0x8A or more carries into the next one, which can then only look like a second
  // non-digit: such a field is declined, as it would be anyway.
  const std::uint64_t non_digit = ((digits + LANES * (0x80 - 10)) | digits) & HIGH & ~before;
  if ((non_digit & (non_digit - 1)) != 0) return false;
  std::uint64_t number = digits & ~before;
  int places = decimals;
  std::uint64_t head_scale = 100000000;  // the head's digits stand before the tail's eight
  if (non_digit != 0) {
    const int point = std::countr_zero(non_digit) - 7;  // 8 x its lane
    if (((digits >> point) & 0xFF) != ('.' ^ '0')) return false;
    // The lanes before the point move one lane on, over it. Those after it are the negation
    // of the bit just past the point's lane (none after lane 7), which needs no count of its
    // place, so the digits need not wait for one.
    const std::uint64_t after = 0 - (non_digit << 1);
    number = (number & after) | ((number << 8) & ~after);
    places = std::countl_zero(non_digit) / 8;  // the lanes after the point
    head_scale = 10000000;
  } else if (decimals < 0 || decimals > EXACT_POWERS_MAX) {
    return false;
  }
  const std::uint64_t mantissa = head_value * head_scale + eight_digit_value(number);
  if constexpr (W == 16) {
    if (mantissa > (std::uint64_t{1} << 53)) return false;
  }
  value = exact_decimal(mantissa, -places, negative);
  return true;
}

/// Fills `area` of `length` bytes from a character field: right part if shorter, blank-padded if longer.
void parse_characters(std::string_view field, char* area, std::size_t length) noexcept;

}  // namespace records
