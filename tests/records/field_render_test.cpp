// Field renderer tests: exact bytes of integer, fixed-point and character columns, with fixed-point
// digits checked against an exact decimal expansion of each double (x = m * 2^e, expanded exactly).

#include "records/field_render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace records {
namespace {

constexpr std::size_t GUARD = 8;
constexpr char GUARD_BYTE = '#';

struct Rendered {
  std::string text;
  FieldOutcome outcome;
};

/// Runs `render` on `width` columns framed by guard bytes and checks that nothing outside them changed.
template <typename Render>
Rendered in_columns(std::size_t width, Render render) {
  std::string area(width + 2 * GUARD, GUARD_BYTE);
  const FieldOutcome outcome = render(area.data() + GUARD);
  EXPECT_EQ(area.substr(0, GUARD), std::string(GUARD, GUARD_BYTE)) << "wrote left of its columns";
  EXPECT_EQ(area.substr(GUARD + width), std::string(GUARD, GUARD_BYTE)) << "wrote right of its columns";
  return {area.substr(GUARD, width), outcome};
}

Rendered integer_field(std::int32_t value, std::size_t width) {
  return in_columns(width, [&](char* columns) { return render_integer_in_full(value, width, columns); });
}

Rendered fixed_field(double value, std::size_t width, int decimals) {
  return in_columns(width, [&](char* columns) { return render_fixed_in_full(value, width, decimals, columns); });
}

std::string character_field(const char* bytes, std::size_t length, std::size_t width) {
  return in_columns(width,
                    [&](char* columns) {
                      render_characters(bytes, length, width, columns);
                      return FieldOutcome::fits;
                    })
      .text;
}

// ---------------------------------------------------------------------------------------------
// Independent reference: exact decimal expansion of a double, rounded half away from zero.

/// Exact decimal digits of |x|: integer part without leading zeros (empty below 1) and fraction part.
struct Expansion {
  std::string integer;
  std::string fraction;
};

/// |x| = m * 2^e exactly; for e < 0 that is m * 5^-e / 10^-e, so the digits of m * 5^-e are the answer.
Expansion expand_exactly(double x) {
  constexpr std::uint32_t BASE = 1000000000;
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
  int e = -1074;
  if (biased != 0) {
    m |= std::uint64_t{1} << 52;
    e = biased - 1075;
  }
  std::vector<std::uint32_t> limbs;  // base 10^9, least significant first
  for (; m != 0; m /= BASE) limbs.push_back(static_cast<std::uint32_t>(m % BASE));
  const auto multiply = [&limbs](std::uint32_t factor) {
    std::uint64_t carry = 0;
    for (std::uint32_t& limb : limbs) {
      const std::uint64_t product = std::uint64_t{limb} * factor + carry;
      limb = static_cast<std::uint32_t>(product % BASE);
      carry = product / BASE;
    }
    if (carry != 0) limbs.push_back(static_cast<std::uint32_t>(carry));
  };
  for (int i = 0; i < e; ++i) multiply(2);
  for (int i = 0; i < -e; ++i) multiply(5);

  std::string digits;
  for (auto it = limbs.rbegin(); it != limbs.rend(); ++it) {
    const std::string part = std::to_string(*it);
    if (!digits.empty()) digits.append(9 - part.size(), '0');
    digits += part;
  }
  const std::size_t places = e < 0 ? static_cast<std::size_t>(-e) : 0;
  if (digits.size() <= places) digits.insert(0, places + 1 - digits.size(), '0');
  Expansion result{digits.substr(0, digits.size() - places), digits.substr(digits.size() - places)};
  result.integer.erase(0, std::min(result.integer.find_first_not_of('0'), result.integer.size()));
  result.fraction.erase(result.fraction.find_last_not_of('0') + 1);
  return result;
}

/// x rounded half away from zero at d decimals from its exact expansion, in w columns: "-", integer
/// digits (a "0" when there are none, dropped when the field is one column short), ".", d digits.
std::string exact_reference(double x, std::size_t width, int decimals) {
  const auto d = static_cast<std::size_t>(decimals);
  const Expansion exact = expand_exactly(x);
  std::string fraction = exact.fraction;
  fraction.resize(std::max(fraction.size(), d + 1), '0');
  std::string digits = exact.integer + fraction.substr(0, d);
  if (fraction[d] >= '5') {  // the rest of an exact expansion is >= one half iff its first digit is >= 5
    std::size_t i = digits.size();
    while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
    if (i == 0) {
      digits.insert(0, "1");
    } else {
      ++digits[i - 1];
    }
  }
  std::string whole = digits.substr(0, digits.size() - d);
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
  const std::string decimals_text = digits.substr(digits.size() - d);
  const bool zero = whole.empty() && decimals_text.find_first_not_of('0') == std::string::npos;
  const std::string sign = std::signbit(x) && !zero ? "-" : "";
  std::string text = sign + (whole.empty() ? "0" : whole) + "." + decimals_text;
  if (text.size() > width && whole.empty()) text = sign + "." + decimals_text;
  if (text.size() > width) return std::string(width, '*');
  return std::string(width - text.size(), ' ') + text;
}

/// `text` right-aligned in `width` columns.
std::string padded(std::size_t width, const std::string& text) { return std::string(width - text.size(), ' ') + text; }

double ulps_away(double x, int steps) {
  const double toward = steps < 0 ? 0.0 : std::numeric_limits<double>::infinity();
  for (int i = 0; i < std::abs(steps); ++i) x = std::nextafter(x, toward);
  return x;
}

TEST(ExactReference, ExpandsDoublesExactly) {
  EXPECT_EQ(expand_exactly(0.1).fraction, "1000000000000000055511151231257827021181583404541015625");
  EXPECT_EQ(expand_exactly(12345.678).integer, "12345");
  EXPECT_EQ(expand_exactly(12345.678).fraction, "677999999999883584678173065185546875");
  EXPECT_EQ(expand_exactly(0x1p60).integer, "1152921504606846976");
  EXPECT_EQ(exact_reference(0.015625, 12, 5), "     0.01563");
  EXPECT_EQ(exact_reference(-0.000004, 12, 5), "     0.00000");
  EXPECT_EQ(exact_reference(-0.5, 7, 5), "-.50000");
}

// ---------------------------------------------------------------------------------------------

struct IntegerCase {
  std::int32_t value;
  std::size_t width;
  const char* text;
};

TEST(IntegerColumns, WidthsOneToFour) {
  const IntegerCase cases[] = {
      {0, 1, "0"},
      {9, 1, "9"},
      {10, 1, "*"},
      {-1, 1, "*"},
      {0, 2, " 0"},
      {3, 2, " 3"},
      {99, 2, "99"},
      {-9, 2, "-9"},
      {100, 2, "**"},
      {-10, 2, "**"},
      {1, 3, "  1"},
      {-5, 3, " -5"},
      {999, 3, "999"},
      {-99, 3, "-99"},
      {1000, 3, "***"},
      {-100, 3, "***"},
      {1005, 4, "1005"},
      {9999, 4, "9999"},
      {-999, 4, "-999"},
      {10000, 4, "****"},
      {-1000, 4, "****"},
      {-2147483647 - 1, 4, "****"},
      {2147483647, 4, "****"},
  };
  for (const IntegerCase& c : cases) {
    const Rendered r = integer_field(c.value, c.width);
    EXPECT_EQ(r.text, c.text) << c.value << " in " << c.width;
    const bool asterisks = c.text[0] == '*';
    EXPECT_EQ(r.outcome, asterisks ? FieldOutcome::overflow : FieldOutcome::fits) << c.value << " in " << c.width;
  }
}

TEST(IntegerColumns, FullRangeOfInt32) {
  EXPECT_EQ(integer_field(-2147483647 - 1, 11).text, "-2147483648");
  EXPECT_EQ(integer_field(-2147483647 - 1, 10).text, "**********");
  EXPECT_EQ(integer_field(2147483647, 10).text, "2147483647");
  EXPECT_EQ(integer_field(-2147483647 - 1, 13).text, "  -2147483648");
}

TEST(IntegerColumns, ZeroWidthWritesNothing) {
  const Rendered r = integer_field(0, 0);
  EXPECT_EQ(r.text, "");
  EXPECT_EQ(r.outcome, FieldOutcome::overflow);
}

TEST(IntegerColumns, AgreesWithPrintfForEveryValueInNarrowFields) {
  for (std::size_t width = 1; width <= 5; ++width) {
    for (std::int32_t value = -12000; value <= 12000; ++value) {
      char text[32];
      const int length = std::snprintf(text, sizeof text, "%*d", static_cast<int>(width), value);
      const std::string expected =
          static_cast<std::size_t>(length) > width ? std::string(width, '*') : std::string(text);
      const Rendered r = integer_field(value, width);
      ASSERT_EQ(r.text, expected) << value << " in " << width;
      ASSERT_EQ(r.outcome, expected[0] == '*' ? FieldOutcome::overflow : FieldOutcome::fits);
    }
  }
}

// ---------------------------------------------------------------------------------------------

struct FixedCase {
  double value;
  std::size_t width;
  int decimals;
  const char* text;
};

void expect_fixed(const FixedCase& c) {
  const Rendered r = fixed_field(c.value, c.width, c.decimals);
  EXPECT_EQ(r.text, c.text) << c.value << " as " << c.width << "." << c.decimals;
  const bool asterisks = c.text[0] == '*';
  EXPECT_EQ(r.outcome, asterisks ? FieldOutcome::overflow : FieldOutcome::fits) << c.value;
}

TEST(FixedColumns, ConverterFieldTwelveFive) {
  const FixedCase cases[] = {
      {12345.678, 12, 5, " 12345.67800"},
      {0.5, 12, 5, "     0.50000"},
      {-0.5, 12, 5, "    -0.50000"},
      {0.05, 12, 5, "     0.05000"},
      {999999.99999, 12, 5, "999999.99999"},
      {-99999.99999, 12, 5, "-99999.99999"},
      {1000000.0, 12, 5, "************"},
      {-100000.0, 12, 5, "************"},
      {999999.999996, 12, 5, "************"},
      {1.0, 12, 5, "     1.00000"},
      {-1.0, 12, 5, "    -1.00000"},
      {0.000006, 12, 5, "     0.00001"},
      {-0.000006, 12, 5, "    -0.00001"},
      {1e300, 12, 5, "************"},
      {std::numeric_limits<double>::max(), 12, 5, "************"},
  };
  for (const FixedCase& c : cases) expect_fixed(c);
}

TEST(FixedColumns, ScaledFrequencyOfTheSampleRecord) {
  // The record's frequency is read as 12.345678 and multiplied by 1000 before it is written.
  expect_fixed({12.345678 * 1000.0, 12, 5, " 12345.67800"});
}

TEST(FixedColumns, ZeroAndValuesRoundingToZeroHaveNoSign) {
  const double values[] = {0.0, -0.0, -0.000004, -0.0000001, 0.000004, 0.0000049, -1e-300};
  for (double v : values) expect_fixed({v, 12, 5, "     0.00000"});
}

TEST(FixedColumns, SubnormalsAreWrittenAsZero) {
  // Below 2^-1022 a value rounds to zero at any of these decimals; no sign survives.
  const double tiny = std::numeric_limits<double>::denorm_min();
  expect_fixed({tiny, 12, 5, "     0.00000"});
  expect_fixed({-tiny, 12, 5, "     0.00000"});
  expect_fixed({-std::numeric_limits<double>::min() / 2, 12, 5, "     0.00000"});
  expect_fixed({std::numeric_limits<double>::min(), 12, 5, "     0.00000"});
}

TEST(FixedColumns, NotANumberAndInfinityLeftAligned) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  expect_fixed({nan, 12, 5, " NaN        "});
  expect_fixed({-nan, 12, 5, " NaN        "});
  expect_fixed({inf, 12, 5, " Infinity   "});
  expect_fixed({-inf, 12, 5, " -Infinity  "});
  expect_fixed({-inf, 10, 5, " -Infinity"});
  expect_fixed({inf, 9, 0, " Infinity"});
  expect_fixed({nan, 4, 0, " NaN"});
}

TEST(FixedColumns, SpecialValuesTooWideForTheFieldGiveAsterisks) {
  const double inf = std::numeric_limits<double>::infinity();
  expect_fixed({-inf, 9, 2, "*********"});
  expect_fixed({inf, 8, 2, "********"});
  expect_fixed({std::numeric_limits<double>::quiet_NaN(), 3, 1, "***"});
}

TEST(FixedColumns, NarrowFieldsGiveUpTheLeadingZeroFirst) {
  // A "0" stands before the point of a value below 1 only while there is room for it; a negative
  // value in exactly d + 2 columns keeps its sign instead.
  const FixedCase cases[] = {
      {0.5, 7, 5, "0.50000"},    {0.5, 6, 5, ".50000"},  {0.5, 5, 5, "*****"},   {-0.5, 8, 5, "-0.50000"},
      {-0.5, 7, 5, "-.50000"},   {-0.5, 6, 5, "******"}, {0.05, 6, 5, ".05000"}, {-0.05, 7, 5, "-.05000"},
      {-0.05, 8, 5, "-0.05000"}, {0.0, 7, 5, "0.00000"}, {0.0, 6, 5, ".00000"},  {-0.0, 6, 5, ".00000"},
      {12.5, 4, 1, "12.5"},      {12.5, 3, 1, "***"},    {-12.5, 5, 1, "-12.5"}, {-12.5, 4, 1, "****"},
      {99.96, 5, 1, "100.0"},    {99.96, 4, 1, "****"},
  };
  for (const FixedCase& c : cases) expect_fixed(c);
}

TEST(FixedColumns, NoDecimalsStillWritesThePoint) {
  const FixedCase cases[] = {
      {2.5, 4, 0, "  3."}, {0.4, 2, 0, "0."},   {-0.4, 3, 0, " 0."},
      {0.5, 3, 0, " 1."},  {-0.5, 3, 0, "-1."}, {-0.5, 2, 0, "**"},
  };
  for (const FixedCase& c : cases) expect_fixed(c);
}

TEST(FixedColumns, DecimalsThatCannotFitGiveAsterisks) {
  expect_fixed({1.0, 5, 5, "*****"});
  expect_fixed({0.0, 5, 5, "*****"});
  expect_fixed({1.0, 5, 7, "*****"});
  expect_fixed({1.0, 5, -1, "*****"});
  const Rendered r = fixed_field(1.0, 0, 0);
  EXPECT_EQ(r.text, "");
  EXPECT_EQ(r.outcome, FieldOutcome::overflow);
}

TEST(FixedColumns, LongFieldsOnBothSidesOfTheScratchLimit) {
  // From 62 columns on the field gets its own scratch area. x in [0.1, 1) scales by 10^0 = 1, so
  // its digits are the exact expansion of the double:
  // 0.1 = 0.1000000000000000055511151231257827021181583404541015625 and
  // 1/3 = 0.333333333333333314829616256247390992939472198486328125.
  const std::string tenth = "0.1000000000000000055511151231257827021181583404541015625";
  const std::string third = "0.333333333333333314829616256247390992939472198486328125";
  expect_fixed({0.1, 62, 58, padded(62, tenth + "000").c_str()});
  expect_fixed({0.1, 61, 58, padded(61, tenth + "000").c_str()});
  expect_fixed({1.0 / 3.0, 80, 70, padded(80, third + std::string(16, '0')).c_str()});
  expect_fixed({1.0 / 3.0, 200, 190, padded(200, third + std::string(136, '0')).c_str()});
  expect_fixed({-1.0 / 3.0, 61, 55, padded(61, "-" + third + "0").c_str()});
  expect_fixed({-1.0 / 3.0, 61, 54, padded(61, "-" + third).c_str()});
  expect_fixed({123.0, 70, 3, padded(70, "123.000").c_str()});
  // 1e66 as a double is exactly this 66-digit integer; with ".000" it fills the 70 columns.
  expect_fixed({1e66, 70, 3, "999999999999999945322333868247445125709646570021247924665841614848.000"});
  expect_fixed({1e66, 69, 3, "*********************************************************************"});
}

// ---------------------------------------------------------------------------------------------

TEST(FixedRounding, HalfwayValuesRoundAwayFromZero) {
  // Each of these is exactly halfway in binary, so only the tie rule decides.
  const FixedCase cases[] = {
      {1.015625, 12, 5, "     1.01563"},
      {0.015625, 12, 5, "     0.01563"},
      {-1.015625, 12, 5, "    -1.01563"},
      {0.5, 3, 0, " 1."},
      {-2.5, 4, 0, " -3."},
      {0.125, 6, 2, "  0.13"},
      {-0.375, 6, 2, " -0.38"},
  };
  for (const FixedCase& c : cases) expect_fixed(c);
}

TEST(FixedRounding, TiesDifferFromHalfEvenFormatting) {
  // A formatter that rounds exact ties to even (the C library's %12.5f does, under the default
  // rounding mode) writes the digit before the tie unchanged when it is even: "     0.01562",
  // "     0.14062", "    -1.01562" and " 12345.01562". These fields always round ties away.
  const FixedCase cases[] = {
      {0.015625, 12, 5, "     0.01563"},
      {0.140625, 12, 5, "     0.14063"},
      {-1.015625, 12, 5, "    -1.01563"},
      {12345.015625, 12, 5, " 12345.01563"},
  };
  for (const FixedCase& c : cases) expect_fixed(c);
}

TEST(FixedRounding, CarryAddsALeadingDigit) {
  const FixedCase cases[] = {
      {9.5, 4, 0, " 10."},
      {0.96875, 5, 1, "  1.0"},
      {99.9990234375, 7, 2, " 100.00"},
      {99.9990234375, 5, 2, "*****"},
      {99.9990234375, 7, 3, " 99.999"},
      // 1 - 2^-18 = 0.999996185302734375
      {-0.999996185302734375, 9, 5, " -1.00000"},
      {-0.999996185302734375, 8, 5, "-1.00000"},
  };
  for (const FixedCase& c : cases) expect_fixed(c);
}

TEST(FixedRounding, DigitsAtOneAndAboveAreTheExactOnes) {
  const FixedCase cases[] = {
      // 12345.678 = 12345.67799999999988...: fraction digits 67799, next 9 rounds up.
      {12345.678, 12, 5, " 12345.67800"},
      {10.5, 5, 1, " 10.5"},
      // 999999.999996 = 999999.99999599996...: .99999 and next 5 round up through every nine.
      {999999.999996, 13, 5, "1000000.00000"},
      {999999.999996, 12, 5, "************"},
      {123456789.0, 12, 2, "123456789.00"},
      // 99999.7 = 99999.69999999999708...: the carry makes a sixth integer digit.
      {99999.7, 7, 0, "100000."},
      {99999.7, 6, 0, "******"},
      {1285500.0, 8, 0, "1285500."},
      {1285500.0, 4, 0, "****"},
  };
  for (const FixedCase& c : cases) expect_fixed(c);
}

TEST(FixedRounding, IntegerDigitsCorrectedWhenScalingFallsShort) {
  // 1250009 * q rounds to a double a hair below 0.1250009, whose seven digits read 1250008: the
  // integer digits are floor(x)'s own, and the fraction .25 comes from x itself.
  expect_fixed({1250009.25, 16, 2, "      1250009.25"});
  expect_fixed({-1250009.25, 16, 2, "     -1250009.25"});
}

struct ScaledCase {
  double value;
  std::size_t width;
  int decimals;
  const char* text;
  const char* exactly_rounded;
};

TEST(FixedRounding, ScaledDigitsDifferFromExactRoundingBelowOneTenth) {
  // Below 0.1 the digits are read from s = x * q rounded, with q one unit in the last place above
  // the double nearest 10^k. Each x below is the double nearest a decimal tie but lies just under
  // it; s lands on or above the tie and the value rounds up, where exact rounding of x goes down.
  //   0.034565 = 0.034564999999999998503...: E0 = -1, q = 10 + 2^-49, s = 0.34565000000000007...,
  //     digits 3456, next 5 -> 0.03457.
  //   0.000155 = 0.000154999999999999999974...: E0 = -3, q = 1000 + 2^-43, s = 0.15500000000000003...,
  //     digits 15, next 5 -> 0.00016.
  //   0.000035 = 0.000034999999999999996934...: E0 = -4, q = 10000 + 2^-39, s = 0.35000000000000003...,
  //     digit 3, next 5 -> 0.00004.
  //   0.015 = 0.014999999999999999445...: E0 = -1, s = 0.15000000000000002220..., digit 1, next 5 -> 0.02.
  //   0.045 = 0.044999999999999998335...: E0 = -1, s = 0.45000000000000007..., digit 4, next 5 -> 0.05.
  //   0.0045 = 0.0044999999999999996600...: E0 = -2, q = 100 + 2^-46, s = 0.45000000000000001110 (the
  //     double nearest 0.45), digit 4, next 5 -> 0.005.
  //   0.0000005 = 4.99999999999999977374e-7: E0 = -6, n = 0, q = 10^6 + 2^-33, s = 0.5 exactly: no
  //     digit is kept and the rounding alone makes 0.000001.
  const ScaledCase cases[] = {
      {0.034565, 12, 5, "     0.03457", "     0.03456"},
      {0.000155, 12, 5, "     0.00016", "     0.00015"},
      {0.000035, 12, 5, "     0.00004", "     0.00003"},
      {0.015, 5, 2, " 0.02", " 0.01"},
      {0.045, 5, 2, " 0.05", " 0.04"},
      {0.0045, 6, 3, " 0.005", " 0.004"},
      {0.0000005, 9, 6, " 0.000001", " 0.000000"},
  };
  for (const ScaledCase& c : cases) {
    EXPECT_EQ(fixed_field(c.value, c.width, c.decimals).text, c.text) << c.value;
    EXPECT_EQ(exact_reference(c.value, c.width, c.decimals), c.exactly_rounded) << c.value;
  }
}

TEST(FixedRounding, LongFractionsShowTheScaledValue) {
  // x = 2^-10: E0 = -3, q = 1000 + 2^-43, x * q = 0.9765625 + 2^-53 exactly, which is a double, so
  // the sixty decimals carry the digits of 2^-53 = 1.1102230246251565404236316680908203125e-16
  // from the sixteenth place of s on; the exact value has only 0.0009765625.
  const std::string digits_of_s = "9765625" + std::string(8, '0') + "11102230246251565404236316680908203125";
  expect_fixed({0x1p-10, 63, 60, padded(63, "0.000" + digits_of_s + "0000").c_str()});
  EXPECT_EQ(exact_reference(0x1p-10, 63, 60), padded(63, "0.0009765625" + std::string(50, '0')));
}

/// Draws x >= 1 below max_magnitude: log-uniform, near a decimal tie at d places, or a binary fraction.
double draw_at_least_one(std::mt19937_64& rng, double max_magnitude, int decimals) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const double magnitude = std::pow(max_magnitude, unit(rng));  // 1 .. max_magnitude
  double x = magnitude;
  switch (rng() % 3) {
    case 0: break;
    case 1: {
      const double scale = std::pow(10.0, decimals);
      const double place = std::floor(unit(rng) * scale);
      x = std::floor(magnitude) + (place + 0.5) / scale;
      x = ulps_away(x, static_cast<int>(rng() % 7) - 3);
      break;
    }
    default: {
      const int bits = 1 + static_cast<int>(rng() % static_cast<std::uint64_t>(decimals + 3));
      x = std::floor(magnitude) + std::ldexp(std::floor(unit(rng) * std::ldexp(1.0, bits)), -bits);
      break;
    }
  }
  return std::max(x, 1.0);
}

TEST(FixedRounding, MatchesExactExpansionAtOneAndAbove) {
  // At and above 1 the integer digits are exact for magnitudes below about 2^50 and the fraction
  // digits come from x itself, so every field must equal exact rounding of the double.
  struct Config {
    std::size_t width;
    int decimals;
    double max_magnitude;
  };
  const Config configs[] = {
      {12, 5, 2e6}, {12, 5, 1e3},  {20, 8, 1e11},  {25, 3, 1e15},
      {9, 0, 1e9},  {24, 17, 1e5}, {61, 40, 1e15}, {75, 50, 1e14},
  };
  std::mt19937_64 rng(0x5EED2024);
  int mismatches = 0;
  for (const Config& c : configs) {
    for (int i = 0; i < 13000; ++i) {
      double x = draw_at_least_one(rng, c.max_magnitude, c.decimals);
      if (rng() % 2 == 0) x = -x;
      const std::string expected = exact_reference(x, c.width, c.decimals);
      const Rendered r = fixed_field(x, c.width, c.decimals);
      const FieldOutcome outcome = expected[0] == '*' ? FieldOutcome::overflow : FieldOutcome::fits;
      if (r.text != expected || r.outcome != outcome) {
        ++mismatches;
        if (mismatches <= 10) {
          ADD_FAILURE() << std::hexfloat << x << " as " << c.width << "." << c.decimals << ": [" << r.text
                        << "] expected [" << expected << "]";
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(FixedRounding, BelowOneStaysWithinTheScalingError) {
  // Below 1 the digits come from x * q, within 2^-51 of x * 10^k relative, that is within five
  // units in the last place of x: the field lies between the exact roundings of x five ulps down
  // and five ulps up. From 0.1 on q is exactly 1 and the field is the exact rounding of x.
  std::mt19937_64 rng(0xB0B5EED);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (const int decimals : {5, 2, 8, 12}) {
    const std::size_t width = static_cast<std::size_t>(decimals) + 3;
    const double scale = std::pow(10.0, decimals);
    for (int i = 0; i < 6000; ++i) {
      double x = std::pow(10.0, -(decimals + 2) * unit(rng));  // 10^-(d+2) .. 1
      if (rng() % 2 == 0) x = ulps_away((std::floor(x * scale) + 0.5) / scale, static_cast<int>(rng() % 9) - 4);
      if (x <= 0.0 || x >= 1.0) continue;
      const std::string text = fixed_field(x, width, decimals).text;
      const std::string low = exact_reference(ulps_away(x, -5), width, decimals);
      const std::string high = exact_reference(ulps_away(x, 5), width, decimals);
      // Same width, same layout, positive values: byte order is numeric order.
      ASSERT_TRUE(low <= text && text <= high)
          << std::hexfloat << x << ": [" << text << "] outside [" << low << "], [" << high << "]";
      if (x >= 0.1) {
        ASSERT_EQ(text, exact_reference(x, width, decimals)) << std::hexfloat << x;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------

struct DigitsCase {
  double value;
  int decimals;
  std::size_t max_digits;
  const char* digits;
  int exponent;
  bool carried;  // a carry out of the first digit put it one byte left of `at`
};

TEST(FixedRounding, DigitGeneratorResults) {
  const DigitsCase cases[] = {
      // E0 = -5, n = 0: the rounding alone gives the digit.
      {0.000006, 5, 12, "1", -4, true},
      {-0.5, 5, 12, "50000", 0, false},
      // 1 - 2^-18 = 0.999996185302734375: .99999 and next 6 round up through every nine.
      {0.999996185302734375, 5, 12, "100000", 1, true},
      // n = 0 + 5 capped at 3: digits 123, next 4.
      {0.123456, 5, 3, "123", 0, false},
      // n = 0 + 5 capped at 3: 999 and next 9 carry; the fourth digit falls off the cap.
      {0.9999, 5, 3, "100", 1, true},
      // 0.034565 lies under its tie, but s = x * q reads 3456 and next 5.
      {0.034565, 5, 12, "3457", -1, false},
  };
  for (const DigitsCase& c : cases) {
    std::string area(40, GUARD_BYTE);
    char* at = area.data() + GUARD;
    const FixedDigits result = fixed_digits(c.value, c.decimals, c.max_digits, at);
    ASSERT_FALSE(result.treated_as_zero) << c.value;
    EXPECT_EQ(std::string(result.first, result.count), c.digits) << c.value;
    EXPECT_EQ(result.exponent, c.exponent) << c.value;
    EXPECT_EQ(result.negative, c.value < 0) << c.value;
    EXPECT_EQ(result.first, c.carried ? at - 1 : at) << c.value;
    EXPECT_EQ(area.substr(0, GUARD - 1), std::string(GUARD - 1, GUARD_BYTE)) << c.value;
    EXPECT_EQ(area.substr(GUARD + c.max_digits), std::string(area.size() - GUARD - c.max_digits, GUARD_BYTE))
        << c.value;
  }
}

TEST(FixedRounding, DigitGeneratorTreatsAsZero) {
  const double values[] = {
      1.0,  // magnitudes of 1 or more are written from their exact digits, not taken here
      -12345.678,
      0.000004,    // n = 0 and the rounding digit is 4
      -0.0000001,  // E0 = -6: n = -1
      0.0,
      -0.0,
      std::numeric_limits<double>::denorm_min(),
      std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::quiet_NaN(),
  };
  for (double v : values) {
    std::string area(40, GUARD_BYTE);
    const FixedDigits result = fixed_digits(v, 5, 12, area.data() + GUARD);
    EXPECT_TRUE(result.treated_as_zero) << v;
    EXPECT_EQ(result.count, 0U) << v;
    EXPECT_FALSE(result.negative) << v;
    EXPECT_EQ(area, std::string(40, GUARD_BYTE)) << v;
  }
}

// ---------------------------------------------------------------------------------------------

TEST(CharacterColumns, CopiesExactlyWidthBytes) {
  EXPECT_EQ(character_field("abcdef", 6, 6), "abcdef");
  EXPECT_EQ(character_field("abcdef", 6, 3), "abc");
  EXPECT_EQ(character_field("      ", 6, 6), "      ");
  EXPECT_EQ(character_field("E", 1, 1), "E");
}

TEST(CharacterColumns, ShortValuesGetLeadingBlanks) {
  EXPECT_EQ(character_field("ab", 2, 5), "   ab");
  EXPECT_EQ(character_field("", 0, 3), "   ");
  EXPECT_EQ(character_field(nullptr, 0, 2), "  ");
}

TEST(CharacterColumns, BytesAreNotTranslated) {
  const char zero[] = {'\0'};
  EXPECT_EQ(character_field(zero, 1, 1), std::string(1, '\0'));
  const char mixed[] = {'\t', '\r', '\n', '\x7F', '\xFF', '\0'};
  EXPECT_EQ(character_field(mixed, 6, 6), std::string(mixed, 6));
  EXPECT_EQ(character_field(mixed, 6, 8), std::string("  ") + std::string(mixed, 6));
}

TEST(CharacterColumns, ZeroWidthWritesNothing) { EXPECT_EQ(character_field("abc", 3, 0), ""); }

}  // namespace
}  // namespace records

namespace records {
namespace {

// Found by fuzzing: scaling by 10^-E0 loses integer digits of values with 16 or more of them,
// which then printed as another number. Integer parts are written exactly.
TEST(FixedColumns, WideIntegerPartsAreExact) {
  expect_fixed({5019874274370644.0, 30, 2, padded(30, "5019874274370644.00").c_str()});
  expect_fixed({9007199254740991.0, 30, 2, padded(30, "9007199254740991.00").c_str()});
  expect_fixed({1e20, 40, 10, padded(40, "100000000000000000000.0000000000").c_str()});
  expect_fixed({-1e20, 40, 10, padded(40, "-100000000000000000000.0000000000").c_str()});
  // 999999999999999.875 is the double nearest 999999999999999.9.
  expect_fixed({999999999999999.9, 30, 0, padded(30, "1000000000000000.").c_str()});
  expect_fixed({999999999999999.9, 30, 2, padded(30, "999999999999999.88").c_str()});
  // 2^70 + 2^18 = 1180591620717411565568 + 262144.
  expect_fixed({0x1p70 + 0x1p18, 30, 1, padded(30, "1180591620717411565568.0").c_str()});
}

}  // namespace
}  // namespace records
