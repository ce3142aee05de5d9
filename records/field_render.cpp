// Field renderers of the record writer. Fixed-point digits come from a 16.16 estimate of the
// decimal exponent, one scaling by a power of ten and exact reading of binary fractions, so they
// never depend on the C library's formatting or the locale.

#include "records/field_render.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <string_view>

namespace records {
namespace {

constexpr std::uint64_t FRACTION_MASK = (std::uint64_t{1} << 52) - 1;
constexpr std::uint64_t HIDDEN_BIT = std::uint64_t{1} << 52;
constexpr unsigned EXPONENT_ALL_ONES = 0x7FF;
constexpr int EXPONENT_BIAS = 1023;

/// Size of the fixed scratch area of `render_fixed_in_full`; digits are generated from its middle.
constexpr std::size_t SCRATCH_SIZE = 128;
constexpr std::size_t SCRATCH_MIDDLE = 64;
/// Fields narrower than this use the fixed scratch area (their d is below it too); wider ones
/// allocate theirs.
constexpr std::size_t SCRATCH_WIDTH_LIMIT = 62;

/// Range of the power table: E0 of a normal double below 1 lies in -307..0, one less when
/// estimated, and the scaling multiplies by 10^-E0.
constexpr int MAX_TEN_POWER = 308;

/// The doubles nearest to 10^k, k = 0 .. MAX_TEN_POWER. The compiler rounds each literal
/// correctly, so no run-time arithmetic can disturb them.
constexpr double TEN_POWERS[] = {
    1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13,  1e14,  1e15,
    1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,  1e26,  1e27,  1e28,  1e29,  1e30,  1e31,
    1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38,  1e39,  1e40,  1e41,  1e42,  1e43,  1e44,  1e45,  1e46,  1e47,
    1e48,  1e49,  1e50,  1e51,  1e52,  1e53,  1e54,  1e55,  1e56,  1e57,  1e58,  1e59,  1e60,  1e61,  1e62,  1e63,
    1e64,  1e65,  1e66,  1e67,  1e68,  1e69,  1e70,  1e71,  1e72,  1e73,  1e74,  1e75,  1e76,  1e77,  1e78,  1e79,
    1e80,  1e81,  1e82,  1e83,  1e84,  1e85,  1e86,  1e87,  1e88,  1e89,  1e90,  1e91,  1e92,  1e93,  1e94,  1e95,
    1e96,  1e97,  1e98,  1e99,  1e100, 1e101, 1e102, 1e103, 1e104, 1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111,
    1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118, 1e119, 1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127,
    1e128, 1e129, 1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139, 1e140, 1e141, 1e142, 1e143,
    1e144, 1e145, 1e146, 1e147, 1e148, 1e149, 1e150, 1e151, 1e152, 1e153, 1e154, 1e155, 1e156, 1e157, 1e158, 1e159,
    1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168, 1e169, 1e170, 1e171, 1e172, 1e173, 1e174, 1e175,
    1e176, 1e177, 1e178, 1e179, 1e180, 1e181, 1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191,
    1e192, 1e193, 1e194, 1e195, 1e196, 1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207,
    1e208, 1e209, 1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219, 1e220, 1e221, 1e222, 1e223,
    1e224, 1e225, 1e226, 1e227, 1e228, 1e229, 1e230, 1e231, 1e232, 1e233, 1e234, 1e235, 1e236, 1e237, 1e238, 1e239,
    1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248, 1e249, 1e250, 1e251, 1e252, 1e253, 1e254, 1e255,
    1e256, 1e257, 1e258, 1e259, 1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269, 1e270, 1e271,
    1e272, 1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279, 1e280, 1e281, 1e282, 1e283, 1e284, 1e285, 1e286, 1e287,
    1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298, 1e299, 1e300, 1e301, 1e302, 1e303,
    1e304, 1e305, 1e306, 1e307, 1e308,
};
static_assert(std::size(TEN_POWERS) == MAX_TEN_POWER + 1);

/// Biased exponent field of a double.
unsigned biased_exponent(std::uint64_t bits) noexcept { return static_cast<unsigned>(bits >> 52) & EXPONENT_ALL_ONES; }

/// A finite, non-negative binary value mantissa * 2^exponent, held exactly.
struct BinaryValue {
  std::uint64_t mantissa;
  int exponent;
};

/// The magnitude of a finite double as mantissa * 2^exponent (sign bit ignored).
BinaryValue decompose(std::uint64_t bits) noexcept {
  const unsigned biased = biased_exponent(bits);
  const std::uint64_t fraction = bits & FRACTION_MASK;
  if (biased == 0) return {fraction, 1 - EXPONENT_BIAS - 52};
  return {fraction | HIDDEN_BIT, static_cast<int>(biased) - EXPONENT_BIAS - 52};
}

/// q = p + p * 2^-53 rounded to nearest, p the double nearest 10^k (0 <= k <= MAX_TEN_POWER).
/// p * 2^-53 is between one half and one unit in the last place of p, and exactly one half only
/// when p is a power of two (10^0 = 1, which ties to itself). So q is the next double above p,
/// except that 1 stays as it is.
BinaryValue nudged_power_of_ten(int k) noexcept {
  auto bits = std::bit_cast<std::uint64_t>(TEN_POWERS[k]);
  if ((bits & FRACTION_MASK) != 0) ++bits;
  return decompose(bits);
}

/// a * b rounded to nearest, ties to even, to 53 significant bits, in integer arithmetic: the
/// result is the IEEE double product whatever the processor's floating-point precision (an x87
/// unit would round it twice). The product is formed in two 64-bit words from 32-bit halves.
/// Both mantissas are below 2^53, and the result must lie in the normal range (s is above 2^-5).
BinaryValue rounded_product(BinaryValue a, BinaryValue b) noexcept {
  constexpr std::uint64_t LOW_HALF = 0xFFFFFFFF;
  const std::uint64_t a_low = a.mantissa & LOW_HALF;
  const std::uint64_t a_high = a.mantissa >> 32;
  const std::uint64_t b_low = b.mantissa & LOW_HALF;
  const std::uint64_t b_high = b.mantissa >> 32;
  const std::uint64_t low_low = a_low * b_low;
  const std::uint64_t high_low = a_high * b_low;
  const std::uint64_t low_high = a_low * b_high;
  const std::uint64_t middle = (low_low >> 32) + (high_low & LOW_HALF) + low_high;  // < 2^64
  const std::uint64_t high = a_high * b_high + (high_low >> 32) + (middle >> 32);
  const std::uint64_t low = (middle << 32) | (low_low & LOW_HALF);

  // The product has at most 106 bits, so at most 53 are cut and all of them lie in `low`.
  const int length = high != 0 ? 64 + static_cast<int>(std::bit_width(high)) : static_cast<int>(std::bit_width(low));
  int shift = length > 53 ? length - 53 : 0;
  if (shift == 0) return {low, a.exponent + b.exponent};
  std::uint64_t kept = (low >> shift) | (high << (64 - shift));
  const bool half_bit = ((low >> (shift - 1)) & 1) != 0;
  const bool below_half = (low & ((std::uint64_t{1} << (shift - 1)) - 1)) != 0;
  if (half_bit && (below_half || (kept & 1) != 0)) {
    ++kept;
    if (kept == std::uint64_t{1} << 53) {
      kept >>= 1;
      ++shift;
    }
  }
  return {kept, a.exponent + b.exponent + shift};
}

/// A binary fraction in [0, 1), held exactly in 32-bit words (least significant first), from
/// which decimal digits are read one at a time. Enough words for the fraction of any double.
class BinaryFraction {
 public:
  /// The fractional part of `value`, exactly; a value below 2^-1074 (no double is) counts as 0.
  explicit BinaryFraction(BinaryValue value) noexcept {
    std::uint64_t mantissa = value.mantissa;
    if (value.exponent >= 0 || value.exponent < -MAX_FRACTION_BITS || mantissa == 0) return;
    const int fraction_bits = -value.exponent;  // 1 .. 1074
    if (fraction_bits < 64) mantissa &= (std::uint64_t{1} << fraction_bits) - 1;
    word_count_ = (fraction_bits + 31) / 32;
    // Align so that the binary point sits just above the top word.
    const int shift = 32 * word_count_ - fraction_bits;  // 0 .. 31
    for (int i = 0; i < word_count_; ++i) {
      const int low_bit = 32 * i - shift;  // bit of `mantissa` that lands in bit 0 of word i
      std::uint64_t part = 0;
      if (low_bit < 0) {
        part = mantissa << -low_bit;
      } else if (low_bit < 64) {
        part = mantissa >> low_bit;
      }
      words_[i] = static_cast<std::uint32_t>(part);
    }
  }

  /// Multiplies the fraction by ten and returns the integer part that left it: the next digit.
  unsigned next_digit() noexcept {
    std::uint64_t carry = 0;
    for (int i = 0; i < word_count_; ++i) {
      const std::uint64_t product = std::uint64_t{words_[i]} * 10 + carry;
      words_[i] = static_cast<std::uint32_t>(product);
      carry = product >> 32;
    }
    return static_cast<unsigned>(carry);
  }

 private:
  static constexpr int MAX_FRACTION_BITS = 1074;
  static constexpr int MAX_WORDS = (MAX_FRACTION_BITS + 31) / 32;
  std::uint32_t words_[MAX_WORDS] = {};
  int word_count_ = 0;
};

/// Adds one unit in the last of the `count` digits at `first`, carrying through nines: true when
/// the carry ran out of the first digit (every digit was a nine, or there was none), which
/// leaves them all zeros.
bool add_unit_to_last(char* first, std::size_t count) noexcept {
  for (std::size_t i = count; i > 0; --i) {
    if (first[i - 1] != '9') {
      ++first[i - 1];
      return false;
    }
    first[i - 1] = '0';
  }
  return true;
}

/// E0 = floor(L * c) + 1 for a normal value below 1: L is log2 of the value in 16.16 fixed point
/// (unbiased exponent plus the top 16 fraction bits, negative below 1) and c = 0x4D104D43 / 2^32
/// is log10(2) rounded up (log10(2) * 2^32 = 1292913986.08), so the product is 16.48 and the
/// arithmetic shift by 48 floors it. L never exceeds log2 of the value and c errs up on a
/// negative L, so E0 is the exact digit count or one less, never more.
int estimate_decimal_exponent(std::uint64_t bits) noexcept {
  const std::int64_t unbiased = static_cast<std::int64_t>(biased_exponent(bits)) - EXPONENT_BIAS;
  const std::int64_t log2_16_16 = unbiased * 65536 + static_cast<std::int64_t>((bits >> 36) & 0xFFFF);
  return static_cast<int>((log2_16_16 * 0x4D104D43) >> 48) + 1;
}

/// Fills all columns with asterisks.
FieldOutcome fill_asterisks(std::size_t width, char* columns) noexcept {
  std::fill_n(columns, width, '*');
  return FieldOutcome::overflow;
}

/// Writes NaN or Infinity left-aligned after one blank; asterisks when the word does not fit.
FieldOutcome render_special(bool is_nan, bool negative, std::size_t width, char* columns) noexcept {
  const std::string_view word = is_nan ? " NaN" : negative ? " -Infinity" : " Infinity";
  if (word.size() > width) return fill_asterisks(width, columns);
  std::copy(word.begin(), word.end(), columns);
  std::fill(columns + word.size(), columns + width, ' ');
  return FieldOutcome::fits;
}

/// Lays out a rounded value right-aligned: sign, E integer digits (or a lone "0"), ".", and the
/// d fraction digits taken from `digits` + E, where `digits` is null for zero or lies in a
/// scratch area whose bytes around the digit string are all '0'.
FieldOutcome lay_out(const char* digits, int exponent, bool negative, std::size_t decimals, std::size_t width,
                     char* columns) noexcept {
  const std::size_t integer_digits = exponent > 0 ? static_cast<std::size_t>(exponent) : 0;
  std::size_t needed = decimals + 1 + (negative ? 1 : 0) + integer_digits;
  if (exponent == 0 && needed < width) ++needed;  // the leading zero of 0.xxx
  if (needed > width) return fill_asterisks(width, columns);

  std::size_t left = width;  // columns[left..width) are filled
  left -= decimals;
  if (digits == nullptr) {
    std::fill_n(columns + left, decimals, '0');
  } else {
    std::copy_n(digits + exponent, decimals, columns + left);
  }
  columns[--left] = '.';
  if (integer_digits > 0) {
    left -= integer_digits;
    std::copy_n(digits, integer_digits, columns + left);
  } else if (decimals + 1 < width && !(negative && width == decimals + 2)) {
    columns[--left] = '0';
  }
  if (negative) columns[--left] = '-';
  std::fill_n(columns, left, ' ');
  return FieldOutcome::fits;
}

/// Decimal digits of mantissa x 2^shift (a binary64 integer of up to 1024 bits), least
/// significant first; returns their count.
std::size_t big_integer_digits(std::uint64_t mantissa, int shift, char* digits) noexcept {
  constexpr std::size_t LIMBS = 34;  // 53 + 971 bits, in 32-bit limbs, with room to spare
  std::uint32_t limbs[LIMBS] = {};
  const auto word = static_cast<std::size_t>(shift / 32);
  const int bit = shift % 32;
  // Spread the 53-bit mantissa over three 32-bit limbs from `word` on.
  const std::uint64_t low = mantissa << bit;                         // bits 0..63 of the shifted value
  const std::uint64_t high = bit == 0 ? 0 : mantissa >> (64 - bit);  // bits 64..
  limbs[word] = static_cast<std::uint32_t>(low);
  limbs[word + 1] = static_cast<std::uint32_t>(low >> 32);
  limbs[word + 2] = static_cast<std::uint32_t>(high);
  std::size_t used = word + 3;
  std::size_t count = 0;
  while (used > 0) {
    // Divide by 10^9, most significant limb first; the remainder is the next nine digits.
    std::uint64_t remainder = 0;
    for (std::size_t i = used; i-- > 0;) {
      const std::uint64_t current = (remainder << 32) | limbs[i];
      limbs[i] = static_cast<std::uint32_t>(current / 1'000'000'000);
      remainder = current % 1'000'000'000;
    }
    while (used > 0 && limbs[used - 1] == 0) --used;
    for (int k = 0; k < 9 && (used > 0 || remainder != 0); ++k) {
      digits[count++] = static_cast<char>('0' + remainder % 10);
      remainder /= 10;
    }
  }
  return count;
}

/// Renders |x| >= 1 exactly: the digits of floor(x), then d fraction digits read from x's
/// binary fraction, rounded half away from zero on what remains. For integer parts below
/// 10^15 these are exactly the digits the scaled generator yields; beyond that its integer
/// digits drift from floor(x), which would print a different number, so they are not used.
FieldOutcome render_at_least_one(std::uint64_t bits, std::size_t decimals, std::size_t width, char* columns) noexcept {
  const int exponent = static_cast<int>(biased_exponent(bits)) - EXPONENT_BIAS - 52;
  const std::uint64_t mantissa = (bits & FRACTION_MASK) | (std::uint64_t{1} << 52);
  const bool negative = (bits >> 63) != 0;

  // The integer digits go straight into their columns, right to left, up to the point.
  std::size_t left = width - decimals - 1;  // columns[left..) hold the point and the fraction
  const std::size_t sign_columns = negative ? 1 : 0;
  if (width < decimals + 2 + sign_columns) return fill_asterisks(width, columns);
  std::uint64_t fraction = 0;
  int fraction_bits = 0;
  if (exponent >= 0) {
    char digits[320];  // least significant first; 2^1024 has 309 digits
    const std::size_t count = big_integer_digits(mantissa, exponent, digits);
    if (count + decimals + 1 + sign_columns > width) return fill_asterisks(width, columns);
    for (std::size_t i = 0; i < count; ++i) columns[--left] = digits[i];
  } else {
    fraction_bits = -exponent;  // 1..52, since |x| >= 1
    std::uint64_t integer = mantissa >> fraction_bits;
    fraction = mantissa & ((std::uint64_t{1} << fraction_bits) - 1);
    do {
      if (left == sign_columns) return fill_asterisks(width, columns);
      columns[--left] = static_cast<char>('0' + integer % 10);
      integer /= 10;
    } while (integer != 0);
  }

  // Fraction digits straight into their columns: fraction < 2^52, so ten times it fits.
  char* fraction_columns = columns + (width - decimals);
  for (std::size_t i = 0; i < decimals; ++i) {
    fraction *= 10;
    fraction_columns[i] = static_cast<char>('0' + (fraction >> fraction_bits));
    fraction &= (std::uint64_t{1} << fraction_bits) - 1;
  }
  columns[width - decimals - 1] = '.';
  if (fraction_bits > 0 && fraction >= (std::uint64_t{1} << (fraction_bits - 1))) {
    // Halves round away from zero; trailing nines turn into zeros, across the point too.
    std::size_t i = width;
    while (i > left && (columns[i - 1] == '9' || columns[i - 1] == '.')) {
      if (columns[i - 1] == '9') columns[i - 1] = '0';
      --i;
    }
    if (i > left) {
      ++columns[i - 1];
    } else {
      if (left == sign_columns) return fill_asterisks(width, columns);
      columns[--left] = '1';
    }
  }
  if (negative) columns[--left] = '-';
  std::fill_n(columns, left, ' ');
  return FieldOutcome::fits;
}

}  // namespace

FieldOutcome render_integer_in_full(std::int32_t value, std::size_t width, char* columns) noexcept {
  const bool negative = value < 0;
  // Two's complement negation in unsigned arithmetic, so -2147483648 has its full magnitude.
  std::uint32_t magnitude = static_cast<std::uint32_t>(value);
  if (negative) magnitude = 0U - magnitude;

  char digits[10];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);

  const std::size_t needed = count + (negative ? 1 : 0);
  if (needed > width) return fill_asterisks(width, columns);
  std::size_t column = width;
  for (std::size_t i = 0; i < count; ++i) columns[--column] = digits[i];
  if (negative) columns[--column] = '-';
  std::fill_n(columns, column, ' ');
  return FieldOutcome::fits;
}

FixedDigits fixed_digits(double value, int decimals, std::size_t max_digits, char* at) noexcept {
  FixedDigits result;
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const unsigned biased = biased_exponent(bits);
  // Zero, subnormals, infinities and NaN have no digits; magnitudes of 1 or more are written
  // from their exact digits, never from these.
  if (biased == 0 || biased >= EXPONENT_BIAS) return result;

  // s = x * q, a double in [2^-5, 1) once E0 is right: q lies a little above 10^-E0, so a value
  // below 10^E0 scales to below 1.
  const BinaryValue x = decompose(bits);
  int e0 = estimate_decimal_exponent(bits);
  BinaryValue s = rounded_product(x, nudged_power_of_ten(-e0));
  if (static_cast<int>(std::bit_width(s.mantissa)) + s.exponent > 0) {  // s >= 1: E0 was one short
    ++e0;
    s = rounded_product(x, nudged_power_of_ten(-e0));
  }
  const std::int64_t wanted = std::int64_t{e0} + decimals;
  if (wanted < 0) return result;
  const std::size_t keep = std::min(static_cast<std::size_t>(wanted), max_digits);

  // The kept digits (zeros once the expansion has ended), then the one that decides the rounding.
  BinaryFraction scaled(s);
  for (std::size_t i = 0; i < keep; ++i) at[i] = static_cast<char>('0' + scaled.next_digit());
  result.first = at;
  result.count = keep;
  result.exponent = e0;
  // Halves round away from zero. A carry out of the first digit puts a "1" before the zeros it
  // leaves: one digit more, still at most max_digits (the zero that falls off is the last).
  if (scaled.next_digit() >= 5 && add_unit_to_last(at, keep)) {
    at[-1] = '1';
    result.first = at - 1;
    result.count = std::min(keep + 1, max_digits);
    ++result.exponent;
  }
  if (result.count == 0) return FixedDigits{};
  result.negative = (bits >> 63) != 0;
  result.treated_as_zero = false;
  return result;
}

namespace {
FieldOutcome render_below_one(double value, std::size_t d, std::size_t width, char* columns) noexcept;
}  // namespace

FieldOutcome render_fixed_in_full(double value, std::size_t width, int decimals, char* columns) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const bool negative = (bits >> 63) != 0;
  const unsigned biased = biased_exponent(bits);
  if (biased == EXPONENT_ALL_ONES) {
    return render_special((bits & FRACTION_MASK) != 0, negative, width, columns);
  }
  // Every finite value needs the point and d fraction columns.
  if (decimals < 0 || static_cast<std::size_t>(decimals) >= width) {
    return fill_asterisks(width, columns);
  }
  const auto d = static_cast<std::size_t>(decimals);
  // Zero and subnormals (below 2^-1022, so zero when rounded to 307 or fewer decimals) are
  // written as an unsigned zero.
  if (biased == 0) return lay_out(nullptr, 0, false, d, width, columns);

  if (biased >= EXPONENT_BIAS) return render_at_least_one(bits, d, width, columns);
  return render_below_one(value, d, width, columns);
}

namespace {

/// Renders 0 < |x| < 1 through the scaled digit generator, in the scratch area.
FieldOutcome render_below_one(double value, std::size_t d, std::size_t width, char* columns) noexcept {
  const auto decimals = static_cast<int>(d);
  // Digits go to `at`; the bytes from d places left of it to `width` places right of it stay
  // '0' except for the digits, so fraction digits of E < 0 are read straight from the area.
  char fixed_area[SCRATCH_SIZE];
  std::unique_ptr<char[]> wide_area;
  char* area = fixed_area;
  std::size_t area_size = SCRATCH_SIZE;
  std::size_t at_offset = SCRATCH_MIDDLE;
  if (width >= SCRATCH_WIDTH_LIMIT) {
    at_offset = d + 1;
    // width < PTRDIFF_MAX since the columns exist, and d < width, so this cannot wrap.
    area_size = at_offset + width;
    wide_area.reset(new (std::nothrow) char[area_size]);
    if (!wide_area) return fill_asterisks(width, columns);
    area = wide_area.get();
  }
  std::fill_n(area, area_size, '0');

  const FixedDigits digits = fixed_digits(value, decimals, width, area + at_offset);
  if (digits.treated_as_zero) return lay_out(nullptr, 0, false, d, width, columns);
  return lay_out(digits.first, digits.exponent, digits.negative, d, width, columns);
}

}  // namespace

}  // namespace records
