// The constant-width forms of the field rules must agree with the full conversions wherever
// they take a field or a value, and must decline, touching nothing, where they do not.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <utility>

#include "records/field_parse.h"
#include "records/field_render.h"

namespace records {
namespace {

/// The field's bytes as a line holds them, between other bytes (digits, letters, blanks and
/// signs by turns, picked by `n`), which a constant-width form must never read.
std::string among_other_bytes(const std::string& field, std::size_t n) {
  static constexpr char NEIGHBOURS[] = "7 x-A.9";
  return NEIGHBOURS[n % 7] + field + NEIGHBOURS[(n + 3) % 7];
}

/// Calls `check` with every text of W bytes drawn from `alphabet`, and a pointer to the same
/// bytes among others.
template <std::size_t W, typename Check>
void for_every_text(const std::string& alphabet, Check check) {
  std::string text(W, ' ');
  std::size_t combinations = 1;
  for (std::size_t i = 0; i < W; ++i) combinations *= alphabet.size();
  for (std::size_t n = 0; n < combinations; ++n) {
    std::size_t rest = n;
    for (std::size_t i = 0; i < W; ++i) {
      text[i] = alphabet[rest % alphabet.size()];
      rest /= alphabet.size();
    }
    const std::string line = among_other_bytes(text, n);
    check(text, line.data() + 1);
  }
}

template <std::size_t W>
void expect_integer_constant_width_agrees(std::size_t& taken) {
  for_every_text<W>(" -+0159x.\t", [&](const std::string& text, const char* in_line) {
    std::int32_t value = 12345;
    const bool taken_here = parse_integer_constant_width<W>(in_line, value);
    const IntegerParse full = parse_integer_in_full(text, true);
    if (taken_here) {
      ++taken;
      ASSERT_EQ(full.status, ParseStatus::ok) << "[" << text << "]";
      ASSERT_EQ(value, full.value) << "[" << text << "]";
    } else {
      ASSERT_EQ(value, 12345) << "[" << text << "] declined but written";
    }
  });
}

TEST(IntegerConstantWidth, AgreesWithTheFullRulesOnEveryShortField) {
  std::size_t taken = 0;
  expect_integer_constant_width_agrees<1>(taken);
  expect_integer_constant_width_agrees<2>(taken);
  expect_integer_constant_width_agrees<3>(taken);
  expect_integer_constant_width_agrees<4>(taken);
  EXPECT_GT(taken, 500u);  // leading blanks, a sign and digits are taken, not passed on
  // The last two columns are looked up by their bytes: every pair of bytes, behind blanks.
  std::size_t pairs_taken = 0;
  for (unsigned first = 0; first < 256; ++first) {
    for (unsigned last = 0; last < 256; ++last) {
      const std::string text{' ', static_cast<char>(first), static_cast<char>(last)};
      const std::string line = among_other_bytes(text, first + last);
      std::int32_t two = 12345;
      std::int32_t three = 12345;
      const bool taken_here = parse_integer_constant_width<2>(line.data() + 2, two);
      ASSERT_EQ(parse_integer_constant_width<3>(line.data() + 1, three), taken_here) << "[" << text << "]";
      const IntegerParse full = parse_integer_in_full(text, true);
      if (taken_here) {
        ++pairs_taken;
        ASSERT_EQ(full.status, ParseStatus::ok) << "[" << text << "]";
        ASSERT_TRUE(two == full.value && three == full.value) << "[" << text << "]";
      } else {
        ASSERT_TRUE(two == 12345 && three == 12345) << "[" << text << "] declined but written";
      }
    }
  }
  EXPECT_EQ(pairs_taken, 130u);  // a blank, a sign or a digit, then a digit
}

TEST(IntegerConstantWidth, TakesTheLabelShapes) {
  const struct {
    const char* text;
    std::int32_t value;
  } cases[] = {{"  7", 7}, {" 12", 12}, {"-14", -14}, {" -5", -5}, {" +3", 3}, {"007", 7}, {"+12", 12}, {"123", 123}};
  for (const auto& c : cases) {
    std::int32_t value = -1;
    ASSERT_TRUE(parse_integer_constant_width<3>(c.text, value)) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
  std::int32_t value = 0;
  EXPECT_EQ(parse_integer_constant_width<9>("999999999", value) && value == 999999999, true);
  EXPECT_FALSE(parse_integer_constant_width<3>("1-2", value));  // a sign after a digit is the full rules' error
  EXPECT_FALSE(parse_integer_constant_width<3>("--1", value));
  // Blanks among or after the digits are left to the full rules, which skip them.
  EXPECT_FALSE(parse_integer_constant_width<3>("1 2", value));
  EXPECT_FALSE(parse_integer_constant_width<3>("- 3", value));
  EXPECT_FALSE(parse_integer_constant_width<3>("12 ", value));
  // So is a field without a digit in its last column, blank or a lone sign, which they read as 0.
  EXPECT_FALSE(parse_integer_constant_width<3>("   ", value));
  EXPECT_FALSE(parse_integer_constant_width<3>("  -", value));
  EXPECT_FALSE(parse_integer_constant_width<1>(" ", value));
  EXPECT_FALSE(parse_integer_constant_width<3>("x 1", value));
  EXPECT_FALSE(parse_integer_constant_width<3>("-+1", value));
}

/// One field of W columns: read by the constant-width form exactly as by the full rules, or declined
/// and left untouched.
template <std::size_t W>
void expect_fixed_field_agrees(const std::string& text, const char* in_line, int decimals, std::size_t& taken) {
  double value = 42.0;
  const bool taken_here = parse_fixed_constant_width<W>(in_line, decimals, value);
  const FixedParse full = parse_fixed_in_full(text, decimals, true);
  if (taken_here) {
    ++taken;
    ASSERT_EQ(full.status, ParseStatus::ok) << "[" << text << "]";
    ASSERT_EQ(std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(full.value)) << "[" << text << "]";
  } else {
    ASSERT_EQ(value, 42.0) << "[" << text << "] declined but written";
  }
}

template <std::size_t W>
void expect_fixed_constant_width_agrees(int decimals, std::size_t& taken) {
  for_every_text<W>(" -+0179.e", [&](const std::string& text, const char* in_line) {
    expect_fixed_field_agrees<W>(text, in_line, decimals, taken);
  });
}

TEST(FixedConstantWidth, AgreesWithTheFullRulesOnEveryShortField) {
  std::size_t taken = 0;
  for (const int decimals : {0, 3, 7}) {
    expect_fixed_constant_width_agrees<1>(decimals, taken);
    expect_fixed_constant_width_agrees<3>(decimals, taken);
    expect_fixed_constant_width_agrees<5>(decimals, taken);
  }
  EXPECT_GT(taken, 10000u);
  // The first two of ten columns are looked up by their bytes: every pair, before tails that
  // need the head to hold a number, blanks, or a sign.
  for (const char* tail : {"12345.67", "  -1.234", "    1234"}) {
    for (unsigned first = 0; first < 256; ++first) {
      for (unsigned second = 0; second < 256; ++second) {
        const std::string text = std::string{static_cast<char>(first), static_cast<char>(second)} + tail;
        const std::string line = among_other_bytes(text, first + second);
        ASSERT_NO_FATAL_FAILURE(expect_fixed_field_agrees<10>(text, line.data() + 1, 7, taken));
      }
    }
  }
}

TEST(FixedConstantWidth, AgreesWithTheFullRulesOnRandomFrequencyFields) {
  // Ten columns as in a line list: random digits, point positions, signs and blank runs.
  std::mt19937_64 random(0xF1E1D);
  std::size_t taken = 0;
  for (int n = 0; n < 200000; ++n) {
    std::string text(10, ' ');
    const auto draw = [&random](std::size_t below) { return static_cast<std::size_t>(random() % below); };
    const std::size_t start = draw(10);
    for (std::size_t i = start; i < 10; ++i) text[i] = static_cast<char>('0' + draw(10));
    if (draw(8) != 0) text[start + draw(10 - start)] = '.';
    if (start > 0 && draw(4) == 0) text[start - 1] = '-';
    if (draw(50) == 0) text[draw(10)] = "e+ x:/"[draw(6)];  // ':' and '/' lie next to the digits
    double value = 42.0;
    const int decimals = static_cast<int>(random() % 9);
    const std::string line = among_other_bytes(text, static_cast<std::size_t>(n));
    const bool taken_here = parse_fixed_constant_width<10>(line.data() + 1, decimals, value);
    const FixedParse full = parse_fixed_in_full(text, decimals, true);
    if (!taken_here) continue;
    ++taken;
    ASSERT_EQ(full.status, ParseStatus::ok) << "[" << text << "]";
    ASSERT_EQ(std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(full.value)) << "[" << text << "]";
  }
  EXPECT_GT(taken, 150000u);
}

TEST(FixedConstantWidth, TakesTheFrequencyShapesAcrossItsFirstColumnsAndTheLastEight) {
  const struct {
    const char* text;
    double value;
  } cases[] = {{"70.7733336", 70.7733336},
               {"529.132479", 529.132479},
               {" 43.507656", 43.507656},
               {"-900.00000", -900.0},
               {"   9.99999", 9.99999},
               {"    -9.999", -9.999},
               {"  +99.9999", 99.9999},
               {" -12345678", -1.2345678},
               {"1234567890", 123.456789},
               {" 12.", 12.0},
               {" -.5", -0.5},
               {"-0.0", 0.0}};
  for (const auto& c : cases) {
    double value = 42.0;
    const std::size_t width = std::strlen(c.text);
    const bool taken = width == 10 ? parse_fixed_constant_width<10>(c.text, 7, value)
                                   : parse_fixed_constant_width<4>(c.text, 7, value);
    ASSERT_TRUE(taken) << c.text;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(c.value)) << c.text;
  }
  // Sixteen digits pass 2^53 only just; a point, or a blank after a digit, among the columns before the
  // last eight is left to the full rules, as are fields with no digit.
  double value = 42.0;
  EXPECT_TRUE(parse_fixed_constant_width<16>("9007199254740992", 0, value) && value == 9007199254740992.0);
  for (const char* text : {"9007199254740993", "1.00000000000000", "1 23456789012345"}) {
    EXPECT_FALSE(parse_fixed_constant_width<16>(text, 0, value)) << text;
  }
  for (const char* text : {"9.99999999", "-.99999999", "9 .9999999", "         -", "        -.", "--1.000000"}) {
    EXPECT_FALSE(parse_fixed_constant_width<10>(text, 7, value)) << text;
  }
  EXPECT_EQ(value, 9007199254740992.0);
}

TEST(EightDigitValue, EveryHalfAgainstSomeOthers) {
  // Lanes of the digits of `value`, the most significant in lane 0.
  const auto lanes_of = [](std::uint32_t value) {
    std::uint64_t lanes = 0;
    for (int lane = 7; lane >= 0; --lane, value /= 10) lanes |= std::uint64_t{value % 10} << (8 * lane);
    return lanes;
  };
  for (std::uint32_t half = 0; half < 10000; ++half) {
    for (const std::uint32_t other : {0U, 1U, 5000U, 9999U}) {
      ASSERT_EQ(detail::eight_digit_value(lanes_of(half * 10000 + other)), half * 10000 + other);
      ASSERT_EQ(detail::eight_digit_value(lanes_of(other * 10000 + half)), other * 10000 + half);
    }
  }
}

template <std::size_t W>
void expect_integer_render_agrees() {
  for (std::int32_t value = -12000; value <= 12000; ++value) {
    char constant[W + 1];
    char full[W + 1];
    std::memset(constant, '#', sizeof constant);
    std::memset(full, '#', sizeof full);
    if (render_integer_constant_width<W>(value, constant)) {
      (void)render_integer_in_full(value, W, full);
      ASSERT_EQ(std::string(constant, W + 1), std::string(full, W + 1)) << value << " in " << W;
    } else {
      ASSERT_EQ(std::string(constant, W + 1), std::string(W + 1, '#')) << value << " declined but written";
    }
  }
}

TEST(IntegerRenderConstantWidth, AgreesWithTheFullRendererAroundTheLabelRange) {
  expect_integer_render_agrees<1>();
  expect_integer_render_agrees<2>();
  expect_integer_render_agrees<3>();
  expect_integer_render_agrees<4>();
  expect_integer_render_agrees<6>();
  char columns[4];
  EXPECT_TRUE(render_integer_constant_width<4>(1005, columns));
  EXPECT_EQ(std::string(columns, 4), "1005");
  EXPECT_TRUE(render_integer_constant_width<3>(-42, columns));
  EXPECT_EQ(std::string(columns, 3), "-42");
}

template <std::size_t W, std::size_t D>
void expect_fixed_render_agrees(std::mt19937_64& random, std::size_t& taken) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int n = 0; n < 40000; ++n) {
    double value = std::pow(10.0, 8.0 * unit(random));  // 1 .. 10^8, beyond the field for most widths
    switch (random() % 4) {
      case 0: value = std::floor(value) + (std::floor(unit(random) * 1e6) + 0.5) / 1e6; break;  // near ties
      case 1: value = std::bit_cast<double>(random()); break;                                   // any bits
      case 2: value = std::nextafter(std::round(value), 0.0); break;                            // carries
      default: break;
    }
    if (random() % 2 == 0) value = -value;
    char constant[W + 1];
    char full[W + 1];
    std::memset(constant, '#', sizeof constant);
    std::memset(full, '#', sizeof full);
    if (render_fixed_constant_width<W, D>(value, constant)) {
      ++taken;
      ASSERT_EQ(render_fixed_in_full(value, W, static_cast<int>(D), full), FieldOutcome::fits);
      ASSERT_EQ(std::string(constant, W + 1), std::string(full, W + 1)) << std::hexfloat << value;
    } else {
      ASSERT_EQ(std::string(constant, W + 1), std::string(W + 1, '#')) << std::hexfloat << value;
    }
  }
}

TEST(FixedRenderConstantWidth, AgreesWithTheFullRenderer) {
  std::mt19937_64 random(0xD1617);
  std::size_t taken = 0;
  // Nine to eleven digits in all, one to seven of them decimals; any other shape takes nothing.
  expect_fixed_render_agrees<12, 5>(random, taken);
  expect_fixed_render_agrees<10, 7>(random, taken);
  expect_fixed_render_agrees<10, 1>(random, taken);
  expect_fixed_render_agrees<11, 4>(random, taken);
  expect_fixed_render_agrees<12, 7>(random, taken);
  EXPECT_GT(taken, 40000u);
  std::size_t other_shapes = 0;
  expect_fixed_render_agrees<8, 0>(random, other_shapes);
  expect_fixed_render_agrees<20, 9>(random, other_shapes);
  expect_fixed_render_agrees<5, 3>(random, other_shapes);
  EXPECT_EQ(other_shapes, 0u);
  // Digits above the low eight of the scaled value, one to three of them, a carry into them,
  // and the shapes that blank or sign digits among the low eight.
  const struct {
    double value;
    const char* text;
  } cases[] = {{70773.3336, " 70773.33360"}, {529132.479, "529132.47900"},    {1000.0, "  1000.00000"},
               {999.999996, "  1000.00000"}, {100000.000004, "100000.00000"}, {999.5, "   999.50000"},
               {1.000005, "     1.00001"}};
  for (const auto& c : cases) {
    char columns[12];
    ASSERT_TRUE((render_fixed_constant_width<12, 5>(c.value, columns))) << c.text;
    EXPECT_EQ(std::string(columns, 12), c.text);
  }
}

TEST(FixedRenderConstantWidth, DeclinesWhatOnlyTheFullRendererWrites) {
  char columns[12];
  for (const double value : {0.0, 0.5, -0.25, 1e-300, 4503599627370496.0, 1e7, -1e6, std::nan(""), HUGE_VAL}) {
    std::memset(columns, '#', sizeof columns);
    EXPECT_FALSE((render_fixed_constant_width<12, 5>(value, columns))) << value;
    EXPECT_EQ(std::string(columns, 12), std::string(12, '#'));
  }
  // Negative values go to the full renderer.
  for (const auto& [value, text] : {std::pair{-70773.3336, "-70773.33360"}, std::pair{-999.5, "  -999.50000"}}) {
    EXPECT_FALSE((render_fixed_constant_width<12, 5>(value, columns))) << value;
    ASSERT_EQ(render_fixed_in_full(value, 12, 5, columns), FieldOutcome::fits);
    EXPECT_EQ(std::string(columns, 12), text);
  }
  // A carry that still fits is written; one that needs a thirteenth column is left to the full renderer.
  ASSERT_TRUE((render_fixed_constant_width<12, 5>(99999.999996, columns)));
  EXPECT_EQ(std::string(columns, 12), "100000.00000");
  EXPECT_FALSE((render_fixed_constant_width<12, 5>(999999.999996, columns)));
}

TEST(DigitsOfHalves, EveryLaneValueAndRandomWords) {
  const auto text_of = [](std::uint32_t value) {
    char bytes[8];
    detail::store_text<8>(detail::digits_of_halves(value / 10000 | std::uint64_t{value % 10000} << 32), bytes);
    return std::string(bytes, sizeof bytes);
  };
  const auto expected = [](std::uint32_t value) {
    std::string digits = std::to_string(value);
    return std::string(8 - digits.size(), '0') + digits;
  };
  // Every value of the low half, and of the high half with a few low halves.
  for (std::uint32_t value = 0; value < 10000; ++value) {
    ASSERT_EQ(text_of(value), expected(value));
    for (const std::uint32_t low : {0U, 1U, 99U, 100U, 9999U}) {
      ASSERT_EQ(text_of(value * 10000 + low), expected(value * 10000 + low));
    }
  }
  std::mt19937 random(88);
  for (int n = 0; n < 200000; ++n) {
    const auto value = static_cast<std::uint32_t>(random() % 100000000);
    ASSERT_EQ(text_of(value), expected(value));
  }
}

}  // namespace
}  // namespace records
