// Integer, fixed-point real and character field conversions of the record reader.
// Real fields go text scan -> significant digits and decimal exponent -> binary64 via std::from_chars.
#include "records/field_parse.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

namespace records {
namespace {

constexpr char BLANK = ' ';

/// |INT32_MIN|: the largest magnitude an integer field may hold, reached only with a minus sign.
constexpr std::uint64_t INTEGER_MAGNITUDE_LIMIT = 2147483648U;

/// Only this many significant digits enter the value; each later digit just scales it by ten.
constexpr std::size_t MAX_SIGNIFICANT_DIGITS = 27;

/// Exponents longer than this (leading zeros aside) are out of range before any arithmetic.
constexpr std::size_t MAX_EXPONENT_DIGITS = 4;

/// Bounds of E + n, the power of ten just above the value: binary64 spans about 4.9e-324 to 1.8e308.
constexpr std::int64_t MIN_MAGNITUDE = -323;
constexpr std::int64_t MAX_MAGNITUDE = 309;

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr bool is_sign(char c) noexcept { return c == '+' || c == '-'; }

/// Bytes a real field may start with: blank, tab, LF, VT, FF, CR.
constexpr bool is_leading_filler(char c) noexcept { return c == BLANK || (c >= '\t' && c <= '\r'); }

constexpr bool is_exponent_letter(char c) noexcept {
  return c == 'E' || c == 'e' || c == 'D' || c == 'd' || c == 'Q' || c == 'q';
}

constexpr char ascii_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

IntegerParse integer_failure(ParseStatus status, ParseReason reason, std::size_t offset) noexcept {
  return IntegerParse{0, status, reason, offset};
}

FixedParse fixed_ok(double value, ParseReason reason, std::size_t size) noexcept {
  return FixedParse{value, ParseStatus::ok, reason, size};
}

FixedParse fixed_invalid(ParseReason reason, std::size_t offset) noexcept {
  return FixedParse{0.0, ParseStatus::invalid, reason, offset};
}

/// The mantissa and exponent of a real field once its text has been scanned.
struct DecimalParts {
  char digits[MAX_SIGNIFICANT_DIGITS];  ///< significant digits kept, first one nonzero
  std::size_t kept;                     ///< n: how many of `digits` are used
  std::int64_t dropped;                 ///< significant digits past the first 27
  std::int64_t places;                  ///< digits written after the decimal point
  bool point;                           ///< a decimal point was written
  bool negative;                        ///< the field's sign
  bool exponent_minus;                  ///< a minus sign was written in the exponent
  std::int64_t exponent;                ///< exponent magnitude, valid while exponent_digits <= 4
  std::size_t exponent_digits;          ///< exponent digits after its leading zeros
};

/// Appends one mantissa digit; zeros before the first nonzero digit only count as decimal places.
void add_mantissa_digit(DecimalParts& parts, char digit) noexcept {
  if (parts.point) {
    ++parts.places;
  }
  if (parts.kept == 0 && digit == '0') {
    return;
  }
  if (parts.kept < MAX_SIGNIFICANT_DIGITS) {
    parts.digits[parts.kept++] = digit;
  } else {
    ++parts.dropped;
  }
}

/// Appends one exponent digit; leading zeros are not counted, and counting stops at five (already too long).
void add_exponent_digit(DecimalParts& parts, char digit) noexcept {
  if (parts.exponent_digits == 0 && digit == '0') {
    return;
  }
  if (parts.exponent_digits < MAX_EXPONENT_DIGITS + 1) {
    ++parts.exponent_digits;
    parts.exponent = parts.exponent * 10 + (digit - '0');
  }
}

/// Matches the rest of the field against `word` (lower case) from `start`, ignoring case.
FixedParse read_word(std::string_view field, std::size_t start, std::string_view word, double value) noexcept {
  for (std::size_t k = 0; k < word.size(); ++k) {
    if (start + k == field.size()) {
      return fixed_ok(0.0, ParseReason::incomplete_word, field.size());
    }
    if (ascii_lower(field[start + k]) != word[k]) {
      return fixed_invalid(ParseReason::bad_word, start + k);
    }
  }
  if (start + word.size() != field.size()) {
    return fixed_invalid(ParseReason::text_after_word, start + word.size());
  }
  return fixed_ok(value, ParseReason::none, field.size());
}

/// A value outside binary64: signed zero when the exponent was written negative, else overflow.
FixedParse out_of_range(const DecimalParts& parts, ParseReason reason, std::size_t size) noexcept {
  if (parts.exponent_minus) {
    return fixed_ok(parts.negative ? -0.0 : 0.0, reason, size);
  }
  return FixedParse{0.0, ParseStatus::overflow, reason, size};
}

/// Rounds N x 10^E to binary64 once, through a normalised "<digits>e<E>" text that from_chars reads exactly.
FixedParse to_binary(const DecimalParts& parts, int decimals, std::size_t size) noexcept {
  if (parts.kept == 0) {
    return fixed_ok(0.0, ParseReason::none, size);  // no significant digit: +0.0 whatever the sign
  }
  if (parts.exponent_digits > MAX_EXPONENT_DIGITS) {
    return out_of_range(parts, ParseReason::exponent_too_long, size);
  }
  const std::int64_t written = parts.exponent_minus ? -parts.exponent : parts.exponent;
  const std::int64_t scale = parts.point ? parts.places : std::int64_t{decimals};
  const std::int64_t power = written - scale + parts.dropped;
  const auto kept = static_cast<std::int64_t>(parts.kept);
  const std::int64_t magnitude = power + kept;
  if (magnitude < MIN_MAGNITUDE || magnitude > MAX_MAGNITUDE) {
    return out_of_range(parts, ParseReason::magnitude_out_of_range, size);
  }

  // A mantissa below 2^53 and a power of ten within 10^22 are both exact binary64 numbers,
  // so one IEEE multiplication or division rounds N x 10^E correctly. Every field of a
  // realistic line list takes this way.
  if (parts.kept <= 16 && power >= -EXACT_POWERS_MAX && power <= EXACT_POWERS_MAX) {
    std::uint64_t mantissa = 0;
    for (std::size_t k = 0; k < parts.kept; ++k)
      mantissa = mantissa * 10 + static_cast<std::uint64_t>(parts.digits[k] - '0');
    if (mantissa <= (std::uint64_t{1} << 53)) {
      return fixed_ok(exact_decimal(mantissa, static_cast<int>(power), parts.negative), ParseReason::none, size);
    }
  }

  // 27 digits, 'e', and an exponent within -350..309 fit comfortably.
  char text[MAX_SIGNIFICANT_DIGITS + 24];
  std::memcpy(text, parts.digits, parts.kept);
  char* end = text + parts.kept;
  *end++ = 'e';
  end = std::to_chars(end, text + sizeof text, power).ptr;

  double value = 0.0;
  const std::from_chars_result result = std::from_chars(text, end, value, std::chars_format::scientific);
  if (result.ec != std::errc{}) {
    // from_chars reports both underflow to zero and overflow to infinity as out of range,
    // leaving `value` untouched; the magnitude tells them apart.
    return out_of_range(parts, magnitude > 0 ? ParseReason::rounds_to_infinity : ParseReason::rounds_to_zero, size);
  }
  return fixed_ok(parts.negative ? -value : value, ParseReason::none, size);
}

/// Reads a real field's exponent from field[start] to the end: digits, blanks by the blank rule,
/// and one sign before its first counted digit. False, with `failure` set, for any other byte.
bool read_exponent(std::string_view field, std::size_t start, bool blanks_ignored, DecimalParts& parts,
                   FixedParse& failure) noexcept {
  bool exponent_sign_seen = false;
  for (std::size_t i = start; i < field.size(); ++i) {
    const char c = field[i];
    if (is_digit(c)) {
      add_exponent_digit(parts, c);
    } else if (c == BLANK) {
      if (!blanks_ignored) {
        add_exponent_digit(parts, '0');
      }
    } else if (is_sign(c)) {
      if (exponent_sign_seen || parts.exponent_digits > 0) {
        failure = fixed_invalid(ParseReason::misplaced_exponent_sign, i);
        return false;
      }
      exponent_sign_seen = true;
      parts.exponent_minus = c == '-';
    } else {
      failure = fixed_invalid(ParseReason::bad_exponent_byte, i);
      return false;
    }
  }
  return true;
}

}  // namespace

IntegerParse parse_integer_in_full(std::string_view field, bool blanks_ignored) noexcept {
  const std::size_t size = field.size();
  std::size_t i = 0;
  while (i < size && field[i] == BLANK) {
    ++i;
  }
  bool negative = false;
  if (i < size && is_sign(field[i])) {
    negative = field[i] == '-';
    ++i;
  }
  while (i < size && field[i] == BLANK) {
    ++i;
  }

  // Saturates one past the limit, so arbitrarily long fields never overflow the accumulator.
  std::uint64_t magnitude = 0;
  for (; i < size; ++i) {
    const char c = field[i];
    unsigned digit = 0;
    if (is_digit(c)) {
      digit = static_cast<unsigned>(c - '0');
    } else if (c == BLANK) {
      if (blanks_ignored) {
        continue;
      }
    } else if (c == '\t') {
      return integer_failure(ParseStatus::invalid, ParseReason::tab_in_integer, i);
    } else if (is_sign(c)) {
      return integer_failure(ParseStatus::invalid, ParseReason::second_sign, i);
    } else {
      return integer_failure(ParseStatus::invalid, ParseReason::bad_byte, i);
    }
    magnitude = magnitude * 10 + digit;
    if (magnitude > INTEGER_MAGNITUDE_LIMIT) {
      magnitude = INTEGER_MAGNITUDE_LIMIT + 1;
    }
  }

  const std::uint64_t limit = negative ? INTEGER_MAGNITUDE_LIMIT : INTEGER_MAGNITUDE_LIMIT - 1;
  if (magnitude > limit) {
    return integer_failure(ParseStatus::overflow, ParseReason::out_of_range, size);
  }
  const auto signed_magnitude = static_cast<std::int64_t>(magnitude);
  return IntegerParse{static_cast<std::int32_t>(negative ? -signed_magnitude : signed_magnitude), ParseStatus::ok,
                      ParseReason::none, size};
}

FixedParse parse_fixed_in_full(std::string_view field, int decimals, bool blanks_ignored) noexcept {
  const std::size_t size = field.size();
  DecimalParts parts{};
  std::size_t i = 0;
  while (i < size && is_leading_filler(field[i])) {
    ++i;
  }
  bool sign_written = false;
  if (i < size && is_sign(field[i])) {
    sign_written = true;
    parts.negative = field[i] == '-';
    ++i;
  }

  // Mantissa. `started` becomes true at the first digit, zero or point, after which a word
  // (Infinity, NaN) can no longer begin. The loop ends at the field's end or where the exponent starts.
  bool started = false;
  for (; i < size; ++i) {
    const char c = field[i];
    if (is_digit(c)) {
      add_mantissa_digit(parts, c);
      started = true;
    } else if (c == BLANK) {
      if (!blanks_ignored) {
        add_mantissa_digit(parts, '0');
        started = true;
      }
    } else if (c == '.') {
      if (parts.point) {
        return fixed_invalid(ParseReason::second_point, i);
      }
      parts.point = true;
      started = true;
    } else if (is_exponent_letter(c)) {
      ++i;  // the letter itself is consumed
      break;
    } else if (is_sign(c)) {
      break;  // the sign is the exponent's first byte: 12345-2 is 12345 x 10^-2
    } else if ((c == 'I' || c == 'i') && !started) {
      return read_word(
          field, i, "infinity",
          parts.negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity());
    } else if ((c == 'N' || c == 'n') && !started) {
      if (sign_written) {
        return fixed_invalid(ParseReason::signed_nan, i);
      }
      return read_word(field, i, "nan", std::numeric_limits<double>::quiet_NaN());
    } else {
      return fixed_invalid(ParseReason::bad_byte, i);
    }
  }

  // Exponent. With no byte after the letter it stays 0, which is the same as not counting it.
  FixedParse failure{};
  if (!read_exponent(field, i, blanks_ignored, parts, failure)) return failure;
  return to_binary(parts, decimals, size);
}

void parse_characters(std::string_view field, char* area, std::size_t length) noexcept {
  if (length == 0) {
    return;
  }
  const std::size_t width = field.size();
  if (length <= width) {
    std::memcpy(area, field.data() + (width - length), length);
    return;
  }
  if (width > 0) {
    std::memcpy(area, field.data(), width);
  }
  std::memset(area + width, BLANK, length - width);
}

}  // namespace records
