// Field conversions of the record reader: integer, fixed-point real and character fields.
// Expected values are worked out by hand, taken from compiler-rounded literals, or from strtod.
#include "records/field_parse.h"

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <string_view>

namespace {

using namespace std::string_view_literals;
using records::parse_characters;
using records::parse_fixed_in_full;
using records::parse_integer_in_full;
using records::ParseReason;
using records::ParseStatus;

/// Stands for "the field's size" in the error_offset column of the tables.
constexpr std::size_t WHOLE_FIELD = std::string_view::npos;

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double DENORM_MIN = std::numeric_limits<double>::denorm_min();
constexpr double DBL_MAXIMUM = std::numeric_limits<double>::max();

/// Field text with control and non-ASCII bytes shown as \xNN, for failure messages.
std::string shown(std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f) {
      out += "\\x";
      out += HEX[byte >> 4];
      out += HEX[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// ---------------------------------------------------------------------------------------------
// Integer fields
// ---------------------------------------------------------------------------------------------

struct IntegerValueCase {
  std::string_view text;
  std::int32_t value;
};

struct IntegerFailureCase {
  std::string_view text;
  ParseStatus status;
  ParseReason reason;
  std::size_t error_offset;
};

void expect_integer_values(std::span<const IntegerValueCase> cases, bool blanks_ignored) {
  for (const IntegerValueCase& c : cases) {
    SCOPED_TRACE(shown(c.text) + (blanks_ignored ? " blanks ignored" : " blanks zero"));
    const records::IntegerParse r = parse_integer_in_full(c.text, blanks_ignored);
    EXPECT_EQ(r.status, ParseStatus::ok);
    EXPECT_EQ(r.reason, ParseReason::none);
    EXPECT_EQ(r.value, c.value);
    EXPECT_EQ(r.error_offset, c.text.size());
  }
}

void expect_integer_failures(std::span<const IntegerFailureCase> cases, bool blanks_ignored) {
  for (const IntegerFailureCase& c : cases) {
    SCOPED_TRACE(shown(c.text) + (blanks_ignored ? " blanks ignored" : " blanks zero"));
    const records::IntegerParse r = parse_integer_in_full(c.text, blanks_ignored);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.reason, c.reason);
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.error_offset, c.error_offset == WHOLE_FIELD ? c.text.size() : c.error_offset);
  }
}

TEST(IntegerField, BlanksIgnored) {
  static constexpr IntegerValueCase CASES[] = {
      {" 7", 7},        {"-3", -3}, {"- 3", -3}, {"-3 ", -3}, {" -3", -3}, {"1 2", 12},       {"12 ", 12},
      {" 1 2 3 ", 123}, {"007", 7}, {"-0", 0},   {"+5", 5},   {"+ 5 ", 5}, {"0000000000", 0}, {"  - 0 0 9", -9},
  };
  expect_integer_values(CASES, true);
}

TEST(IntegerField, BlanksAsZeros) {
  static constexpr IntegerValueCase CASES[] = {
      {" 7", 7},    {"7 ", 70}, {"1 2", 102},  {"- 3", -3},      {" - 3 ", -30},
      {"1  ", 100}, {"-0 ", 0}, {"+12 ", 120}, {"  -1 1", -101},
  };
  expect_integer_values(CASES, false);
}

TEST(IntegerField, EmptyOrLoneSignReadsZero) {
  static constexpr IntegerValueCase CASES[] = {
      {"", 0}, {" ", 0}, {"   ", 0}, {"-", 0}, {"+", 0}, {" -", 0}, {" + ", 0}, {"-  ", 0},
  };
  expect_integer_values(CASES, true);
  expect_integer_values(CASES, false);
}

TEST(IntegerField, InvalidText) {
  static constexpr IntegerFailureCase CASES[] = {
      {"3-", ParseStatus::invalid, ParseReason::second_sign, 1},
      {"--3", ParseStatus::invalid, ParseReason::second_sign, 1},
      {"+-3", ParseStatus::invalid, ParseReason::second_sign, 1},
      {"- -3", ParseStatus::invalid, ParseReason::second_sign, 2},
      {"1 -", ParseStatus::invalid, ParseReason::second_sign, 2},
      {"1.", ParseStatus::invalid, ParseReason::bad_byte, 1},
      {"x", ParseStatus::invalid, ParseReason::bad_byte, 0},
      {"1x", ParseStatus::invalid, ParseReason::bad_byte, 1},
      {"A7", ParseStatus::invalid, ParseReason::bad_byte, 0},
      {"1e5", ParseStatus::invalid, ParseReason::bad_byte, 1},
      {"1_0", ParseStatus::invalid, ParseReason::bad_byte, 1},
      {"12\r", ParseStatus::invalid, ParseReason::bad_byte, 2},
      {"\r7", ParseStatus::invalid, ParseReason::bad_byte, 0},
      {"1,2", ParseStatus::invalid, ParseReason::bad_byte, 1},
      {"\0"sv, ParseStatus::invalid, ParseReason::bad_byte, 0},
      {"\xff", ParseStatus::invalid, ParseReason::bad_byte, 0},
      {"x\t", ParseStatus::invalid, ParseReason::bad_byte, 0},
      // Invalid text wins over a value that is already out of range.
      {"99999999999x", ParseStatus::invalid, ParseReason::bad_byte, 11},
  };
  expect_integer_failures(CASES, true);
  expect_integer_failures(CASES, false);
}

TEST(IntegerField, TabAnywhereInvalid) {
  static constexpr IntegerFailureCase CASES[] = {
      {"\t", ParseStatus::invalid, ParseReason::tab_in_integer, 0},
      {"\t7", ParseStatus::invalid, ParseReason::tab_in_integer, 0},
      {" \t7", ParseStatus::invalid, ParseReason::tab_in_integer, 1},
      {"7\t", ParseStatus::invalid, ParseReason::tab_in_integer, 1},
      {"1\t2", ParseStatus::invalid, ParseReason::tab_in_integer, 1},
      {"-\t3", ParseStatus::invalid, ParseReason::tab_in_integer, 1},
      {"- \t", ParseStatus::invalid, ParseReason::tab_in_integer, 2},
  };
  expect_integer_failures(CASES, true);
  expect_integer_failures(CASES, false);
}

TEST(IntegerField, ThirtyTwoBitRange) {
  static constexpr IntegerValueCase FITS[] = {
      {"2147483647", 2147483647},
      {"+2147483647", 2147483647},
      {"-2147483648", std::numeric_limits<std::int32_t>::min()},
      {"0000000000000000000002147483647", 2147483647},
      {" - 2 147 483 648", std::numeric_limits<std::int32_t>::min()},
      {"-00000000000000000000000000000000000000000000000000"
       "00000000000000000000000000000000000000000000000001",
       -1},
  };
  expect_integer_values(FITS, true);

  static constexpr IntegerFailureCase TOO_BIG[] = {
      {"2147483648", ParseStatus::overflow, ParseReason::out_of_range, WHOLE_FIELD},
      {"-2147483649", ParseStatus::overflow, ParseReason::out_of_range, WHOLE_FIELD},
      {"4294967296", ParseStatus::overflow, ParseReason::out_of_range, WHOLE_FIELD},
      // 2^32 + 7 and 2^64 + 7: a wrapping accumulator would see 7.
      {"4294967303", ParseStatus::overflow, ParseReason::out_of_range, WHOLE_FIELD},
      {"-4294967297", ParseStatus::overflow, ParseReason::out_of_range, WHOLE_FIELD},
      {"18446744073709551623", ParseStatus::overflow, ParseReason::out_of_range, WHOLE_FIELD},
      {"99999999999", ParseStatus::overflow, ParseReason::out_of_range, WHOLE_FIELD},
      {"99999999999 ", ParseStatus::overflow, ParseReason::out_of_range, WHOLE_FIELD},
      {"99999999999999999999999999999999999999999999999999"
       "99999999999999999999999999999999999999999999999999",
       ParseStatus::overflow, ParseReason::out_of_range, WHOLE_FIELD},
  };
  expect_integer_failures(TOO_BIG, true);
}

TEST(IntegerField, TrailingBlanksAsZerosCanOverflow) {
  static constexpr IntegerValueCase FITS[] = {
      {"214748364 ", 2147483640},
      {"-214748364 ", -2147483640},
      {"21474836  ", 2147483600},
  };
  expect_integer_values(FITS, false);
  static constexpr IntegerFailureCase TOO_BIG[] = {
      {"214748365 ", ParseStatus::overflow, ParseReason::out_of_range, WHOLE_FIELD},
      {"2147483647 ", ParseStatus::overflow, ParseReason::out_of_range, WHOLE_FIELD},
  };
  expect_integer_failures(TOO_BIG, false);
}

TEST(IntegerField, NeverReadsPastField) {
  constexpr std::string_view LINE = "12x45";
  EXPECT_EQ(parse_integer_in_full(LINE.substr(0, 2), true).value, 12);
  EXPECT_EQ(parse_integer_in_full(LINE.substr(0, 2), true).status, ParseStatus::ok);
  EXPECT_EQ(parse_integer_in_full(LINE.substr(3, 2), true).value, 45);
  EXPECT_EQ(parse_integer_in_full(std::string_view{}, true).value, 0);
  EXPECT_EQ(parse_integer_in_full(std::string_view{}, true).status, ParseStatus::ok);
}

/// Reference integer reader for narrow fields: whole-string rules, no overflow possible.
struct ReferenceInteger {
  bool valid;
  std::int32_t value;
};

ReferenceInteger reference_integer(const std::string& text, bool blanks_ignored) {
  if (text.find('\t') != std::string::npos) {
    return {false, 0};
  }
  std::size_t at = text.find_first_not_of(' ');
  if (at == std::string::npos) {
    return {true, 0};
  }
  bool negative = false;
  if (text[at] == '+' || text[at] == '-') {
    negative = text[at] == '-';
    at = text.find_first_not_of(' ', at + 1);
    if (at == std::string::npos) {
      return {true, 0};
    }
  }
  std::int32_t value = 0;
  for (const char c : text.substr(at)) {
    if (c >= '0' && c <= '9') {
      value = value * 10 + (c - '0');
    } else if (c == ' ') {
      value = blanks_ignored ? value : value * 10;
    } else {
      return {false, 0};
    }
  }
  return {true, negative ? -value : value};
}

TEST(IntegerField, ExhaustiveNarrowFields) {
  static constexpr char ALPHABET[] = {' ', '0', '7', '-', '+', 'x', '\t', ','};
  constexpr std::size_t LETTERS = sizeof ALPHABET;
  int checked = 0;
  for (std::size_t length = 1; length <= 4; ++length) {
    std::size_t combinations = 1;
    for (std::size_t k = 0; k < length; ++k) {
      combinations *= LETTERS;
    }
    for (std::size_t index = 0; index < combinations; ++index) {
      std::string text;
      for (std::size_t k = 0, rest = index; k < length; ++k, rest /= LETTERS) {
        text += ALPHABET[rest % LETTERS];
      }
      for (const bool blanks_ignored : {true, false}) {
        const ReferenceInteger expected = reference_integer(text, blanks_ignored);
        const records::IntegerParse r = parse_integer_in_full(text, blanks_ignored);
        const ParseStatus want = expected.valid ? ParseStatus::ok : ParseStatus::invalid;
        if (r.status != want || r.value != expected.value) {
          ADD_FAILURE() << shown(text) << (blanks_ignored ? " ignored" : " zeros") << ": got " << r.value << " status "
                        << static_cast<int>(r.status) << ", want " << expected.value << " status "
                        << static_cast<int>(want);
        }
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 2 * (8 + 64 + 512 + 4096));
}

TEST(IntegerField, RandomWideFieldsAgainstStrtoll) {
  std::mt19937_64 rng(20240611);
  std::uniform_int_distribution<int> digit('0', '9');
  std::uniform_int_distribution<int> length(1, 25);
  std::uniform_int_distribution<int> coin(0, 3);
  for (int round = 0; round < 20000; ++round) {
    std::string digits;
    const int zeros = coin(rng) == 0 ? length(rng) : 0;
    digits.append(static_cast<std::size_t>(zeros), '0');
    for (int k = length(rng); k > 0; --k) {
      digits += static_cast<char>(digit(rng));
    }
    const int sign = coin(rng);
    const std::string text = (sign == 0 ? "-" : sign == 1 ? "+" : "") + digits;

    errno = 0;
    const long long reference = std::strtoll(text.c_str(), nullptr, 10);
    const bool fits = errno == 0 && reference >= std::numeric_limits<std::int32_t>::min() &&
                      reference <= std::numeric_limits<std::int32_t>::max();
    const records::IntegerParse r = parse_integer_in_full(text, round % 2 == 0);
    if (r.status != (fits ? ParseStatus::ok : ParseStatus::overflow) || r.value != (fits ? reference : 0)) {
      ADD_FAILURE() << text << ": got " << r.value << " status " << static_cast<int>(r.status);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Fixed-point real fields
// ---------------------------------------------------------------------------------------------

struct FixedValueCase {
  std::string_view text;
  int decimals;
  double value;
};

struct FixedZeroCase {
  std::string_view text;
  int decimals;
  bool negative;
  ParseReason reason;
};

struct FixedFailureCase {
  std::string_view text;
  int decimals;
  ParseStatus status;
  ParseReason reason;
  std::size_t error_offset;
};

std::string trace(std::string_view text, int decimals, bool blanks_ignored) {
  return shown(text) + " d=" + std::to_string(decimals) + (blanks_ignored ? " blanks ignored" : " blanks zero");
}

/// Checks ok results bit for bit, so -0.0 and +0.0 differ.
void expect_fixed_values(std::span<const FixedValueCase> cases, bool blanks_ignored) {
  for (const FixedValueCase& c : cases) {
    SCOPED_TRACE(trace(c.text, c.decimals, blanks_ignored));
    const records::FixedParse r = parse_fixed_in_full(c.text, c.decimals, blanks_ignored);
    EXPECT_EQ(r.status, ParseStatus::ok);
    EXPECT_EQ(r.reason, ParseReason::none);
    EXPECT_EQ(bits(r.value), bits(c.value)) << r.value << " vs " << c.value;
    EXPECT_EQ(r.error_offset, c.text.size());
  }
}

void expect_fixed_zeros(std::span<const FixedZeroCase> cases, bool blanks_ignored) {
  for (const FixedZeroCase& c : cases) {
    SCOPED_TRACE(trace(c.text, c.decimals, blanks_ignored));
    const records::FixedParse r = parse_fixed_in_full(c.text, c.decimals, blanks_ignored);
    EXPECT_EQ(r.status, ParseStatus::ok);
    EXPECT_EQ(r.reason, c.reason);
    EXPECT_EQ(bits(r.value), bits(c.negative ? -0.0 : 0.0)) << r.value;
    EXPECT_EQ(r.error_offset, c.text.size());
  }
}

void expect_fixed_failures(std::span<const FixedFailureCase> cases, bool blanks_ignored) {
  for (const FixedFailureCase& c : cases) {
    SCOPED_TRACE(trace(c.text, c.decimals, blanks_ignored));
    const records::FixedParse r = parse_fixed_in_full(c.text, c.decimals, blanks_ignored);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.reason, c.reason);
    EXPECT_EQ(bits(r.value), bits(0.0)) << r.value;
    EXPECT_EQ(r.error_offset, c.error_offset == WHOLE_FIELD ? c.text.size() : c.error_offset);
  }
}

TEST(FixedField, ImpliedDecimals) {
  static constexpr FixedValueCase CASES[] = {
      {"  12345678", 7, 1.2345678},
      {" 12.345678", 7, 12.345678},
      {"1234      ", 7, 0.0001234},
      {"      1234", 7, 0.0001234},
      {"12345678  ", 7, 1.2345678},
      {"0000000001", 7, 1e-7},
      {"1", 7, 1e-7},
      {" -1234567", 7, -0.1234567},
      {"1234567890", 7, 123.456789},
      {"12345678.9", 7, 12345678.9},
      {"123.", 7, 123.0},
      {".5", 7, 0.5},
      {"-.5", 7, -0.5},
      {"00012.5000", 7, 12.5},
      {"12", 0, 12.0},
      {"+1", 0, 1.0},
      {"12345", 3, 12.345},
      {"5", 2, 0.05},
      {"120", 1, 12.0},
      {"1.25", 0, 1.25},
      {"1.25", 5, 1.25},
      {"0.001", 7, 0.001},
  };
  expect_fixed_values(CASES, true);
}

TEST(FixedField, ExponentForms) {
  static constexpr FixedValueCase CASES[] = {
      {"1.5E3", 7, 1500.0},
      {"1.5D+03", 7, 1500.0},
      {"1.5e3", 7, 1500.0},
      {"1.5d3", 7, 1500.0},
      {"1.5Q3", 7, 1500.0},
      {"1.5q3", 7, 1500.0},
      {"1.5E+3", 7, 1500.0},
      {"1.5E-3", 7, 0.0015},
      {"-1.5E3", 7, -1500.0},
      {"+1.5E3", 7, 1500.0},
      {"1.5E0003", 7, 1500.0},
      {"1.5E-0003", 7, 0.0015},
      {".5E1", 7, 5.0},
      {"5E-1", 0, 0.5},
      {"15E2", 0, 1500.0},
      {"3E2", 7, 3e-5},
      {"12345E2", 7, 0.12345},
      // A sign in the mantissa starts the exponent.
      {"12345-2", 7, 0.000012345},
      {"12345+2", 7, 0.12345},
      {"1.5-3", 7, 0.0015},
      // An exponent with no digits is 0.
      {"1.5E", 7, 1.5},
      {"15E", 1, 1.5},
      {"    12.5E ", 7, 12.5},
      {"1.5E+", 7, 1.5},
      {"1.5E-", 7, 1.5},
      {"1.5-", 7, 1.5},
      // Leading exponent zeros are not counted, so a sign may still follow them.
      {"1.5E0-3", 7, 0.0015},
      {"1.5E 0 +3", 7, 1500.0},
  };
  expect_fixed_values(CASES, true);
}

TEST(FixedField, LeadingControlBytesSkipped) {
  static constexpr FixedValueCase CASES[] = {
      {"\t1.5", 7, 1.5}, {"\n1.5", 7, 1.5},     {"\v1.5", 7, 1.5},   {"\f1.5", 7, 1.5},
      {"\r1.5", 7, 1.5}, {" \t\r 1.5", 7, 1.5}, {"\t-1.5", 7, -1.5},
  };
  expect_fixed_values(CASES, true);
  expect_fixed_values(CASES, false);
  static constexpr FixedFailureCase LATER[] = {
      {"1.5\t", 7, ParseStatus::invalid, ParseReason::bad_byte, 3},
      {"-\t1.5", 7, ParseStatus::invalid, ParseReason::bad_byte, 1},
      {"1\n", 7, ParseStatus::invalid, ParseReason::bad_byte, 1},
      {"\x08"
       "1.5",
       7, ParseStatus::invalid, ParseReason::bad_byte, 0},
      {"\x0e"
       "1.5",
       7, ParseStatus::invalid, ParseReason::bad_byte, 0},
      {"\x1a", 7, ParseStatus::invalid, ParseReason::bad_byte, 0},
      {"1.5E\t3", 7, ParseStatus::invalid, ParseReason::bad_exponent_byte, 4},
  };
  expect_fixed_failures(LATER, true);
}

TEST(FixedField, BlanksIgnored) {
  static constexpr FixedValueCase CASES[] = {
      {"1 2 . 5", 7, 12.5},         {"1.5E 1 ", 7, 15.0},     {"- 1.5", 7, -1.5},      {"12345     ", 7, 0.0012345},
      {" 1 2 3 4 5", 7, 0.0012345}, {"1 . 5 E - 1", 7, 0.15}, {"- Infinity", 7, -INF},
  };
  expect_fixed_values(CASES, true);
}

TEST(FixedField, BlanksAsZeros) {
  static constexpr FixedValueCase CASES[] = {
      {"1.5       ", 7, 1.5},  {"12345     ", 7, 123.45}, {"12345678  ", 7, 123.45678},
      {"1 5", 0, 105.0},       {" 1 .5", 7, 10.5},        {"- 5", 0, -5.0},
      {"  1.5", 7, 1.5},       {"1.5E   ", 7, 1.5},       {"1.5E 3", 7, 1500.0},
      {"1.5E3  ", 7, 1.5e300}, {" -Infinity", 7, -INF},
  };
  expect_fixed_values(CASES, false);
  static constexpr FixedZeroCase FLUSHED[] = {
      {"1.5E-3     ", 7, false, ParseReason::exponent_too_long},
      {"-1.5E-3    ", 7, true, ParseReason::exponent_too_long},
  };
  expect_fixed_zeros(FLUSHED, false);
  static constexpr FixedFailureCase CASES_BAD[] = {
      {"1.5E3     ", 7, ParseStatus::overflow, ParseReason::exponent_too_long, WHOLE_FIELD},
      {"- Infinity", 7, ParseStatus::invalid, ParseReason::bad_byte, 2},
  };
  expect_fixed_failures(CASES_BAD, false);
}

TEST(FixedField, NoSignificantDigitsReadsPositiveZero) {
  static constexpr FixedZeroCase CASES[] = {
      {"", 7, false, ParseReason::none},
      {"-", 7, false, ParseReason::none},
      {".", 7, false, ParseReason::none},
      {"-0.", 7, false, ParseReason::none},
      {"-0.000", 7, false, ParseReason::none},
      {"+", 7, false, ParseReason::none},
      {"-E5", 7, false, ParseReason::none},
      {"0E99999", 7, false, ParseReason::none},
      {"-.E-", 7, false, ParseReason::none},
      {"00000", 7, false, ParseReason::none},
      {"-0000000000", 7, false, ParseReason::none},
      {"-0E400", 7, false, ParseReason::none},
      {"0.0E-400", 7, false, ParseReason::none},
      {"   ", 7, false, ParseReason::none},
      {"E", 7, false, ParseReason::none},
      {"\t-", 7, false, ParseReason::none},
      {"-   ", 7, false, ParseReason::none},
  };
  expect_fixed_zeros(CASES, true);
  expect_fixed_zeros(CASES, false);
}

TEST(FixedField, WidthZeroReadsPositiveZero) {
  for (const int decimals : {0, 7}) {
    for (const bool blanks_ignored : {true, false}) {
      const records::FixedParse r = parse_fixed_in_full(std::string_view{}, decimals, blanks_ignored);
      EXPECT_EQ(r.status, ParseStatus::ok);
      EXPECT_EQ(bits(r.value), bits(0.0));
      EXPECT_EQ(r.error_offset, 0U);
    }
  }
}

TEST(FixedField, InfinityWord) {
  static constexpr FixedValueCase CASES[] = {
      {"  Infinity", 7, INF}, {" -Infinity", 7, -INF}, {"+Infinity", 7, INF},    {"INFINITY", 7, INF},
      {"infinity", 7, INF},   {"iNfInItY", 7, INF},    {"\t-infinity", 7, -INF},
  };
  expect_fixed_values(CASES, true);
  expect_fixed_values(CASES, false);
}

TEST(FixedField, NaNWordIsQuiet) {
  for (const std::string_view text : {"NaN"sv, "nan"sv, "  NAN"sv, "\tnAn"sv}) {
    SCOPED_TRACE(shown(text));
    const records::FixedParse r = parse_fixed_in_full(text, 7, true);
    EXPECT_EQ(r.status, ParseStatus::ok);
    EXPECT_TRUE(std::isnan(r.value));
    // The quiet bit is the top bit of the binary64 fraction.
    EXPECT_EQ((bits(r.value) >> 51) & 1U, 1U);
  }
}

TEST(FixedField, IncompleteWordReadsPositiveZero) {
  static constexpr FixedZeroCase CASES[] = {
      {"       Inf", 7, false, ParseReason::incomplete_word}, {"-Inf", 7, false, ParseReason::incomplete_word},
      {"I", 7, false, ParseReason::incomplete_word},          {"Infinit", 7, false, ParseReason::incomplete_word},
      {"+infin", 7, false, ParseReason::incomplete_word},     {"N", 7, false, ParseReason::incomplete_word},
      {"Na", 7, false, ParseReason::incomplete_word},         {" nA", 7, false, ParseReason::incomplete_word},
  };
  expect_fixed_zeros(CASES, true);
}

TEST(FixedField, InvalidWords) {
  static constexpr FixedFailureCase CASES[] = {
      {"Infinity  ", 7, ParseStatus::invalid, ParseReason::text_after_word, 8},
      {"InfinityX", 7, ParseStatus::invalid, ParseReason::text_after_word, 8},
      {"NaN ", 7, ParseStatus::invalid, ParseReason::text_after_word, 3},
      {"NaNx", 7, ParseStatus::invalid, ParseReason::text_after_word, 3},
      {"-NaN", 7, ParseStatus::invalid, ParseReason::signed_nan, 1},
      {"+NaN", 7, ParseStatus::invalid, ParseReason::signed_nan, 1},
      {"+N", 7, ParseStatus::invalid, ParseReason::signed_nan, 1},
      {"Infinite", 7, ParseStatus::invalid, ParseReason::bad_word, 7},
      {"Ix", 7, ParseStatus::invalid, ParseReason::bad_word, 1},
      {"Nab", 7, ParseStatus::invalid, ParseReason::bad_word, 2},
      {"In finity", 7, ParseStatus::invalid, ParseReason::bad_word, 2},
      {"1Inf", 7, ParseStatus::invalid, ParseReason::bad_byte, 1},
      {"0Inf", 7, ParseStatus::invalid, ParseReason::bad_byte, 1},
      {".Inf", 7, ParseStatus::invalid, ParseReason::bad_byte, 1},
      {"0NaN", 7, ParseStatus::invalid, ParseReason::bad_byte, 1},
      {"1EInf", 7, ParseStatus::invalid, ParseReason::bad_exponent_byte, 2},
  };
  expect_fixed_failures(CASES, true);
  expect_fixed_failures(CASES, false);
  static constexpr FixedFailureCase BLANK_AFTER_SIGN[] = {
      {"- NaN", 7, ParseStatus::invalid, ParseReason::signed_nan, 2},
  };
  expect_fixed_failures(BLANK_AFTER_SIGN, true);
}

TEST(FixedField, InvalidText) {
  static constexpr FixedFailureCase CASES[] = {
      {"12.3.4", 7, ParseStatus::invalid, ParseReason::second_point, 4},
      {"..", 7, ParseStatus::invalid, ParseReason::second_point, 1},
      {"1_0", 7, ParseStatus::invalid, ParseReason::bad_byte, 1},
      {"1x", 7, ParseStatus::invalid, ParseReason::bad_byte, 1},
      {"1\0"sv, 7, ParseStatus::invalid, ParseReason::bad_byte, 1},
      {"A", 7, ParseStatus::invalid, ParseReason::bad_byte, 0},
      {"$1", 7, ParseStatus::invalid, ParseReason::bad_byte, 0},
      {"1,5", 7, ParseStatus::invalid, ParseReason::bad_byte, 1},
      {"1.5F3", 7, ParseStatus::invalid, ParseReason::bad_byte, 3},
      {"1.5E3.0", 7, ParseStatus::invalid, ParseReason::bad_exponent_byte, 5},
      {"1.5E1.", 7, ParseStatus::invalid, ParseReason::bad_exponent_byte, 5},
      {"1.5EE3", 7, ParseStatus::invalid, ParseReason::bad_exponent_byte, 4},
      {"1.5E3E", 7, ParseStatus::invalid, ParseReason::bad_exponent_byte, 5},
      {"1.5E3x", 7, ParseStatus::invalid, ParseReason::bad_exponent_byte, 5},
      {"1.5E+-3", 7, ParseStatus::invalid, ParseReason::misplaced_exponent_sign, 5},
      {"1.5E3-", 7, ParseStatus::invalid, ParseReason::misplaced_exponent_sign, 5},
      {"12345-2-", 7, ParseStatus::invalid, ParseReason::misplaced_exponent_sign, 7},
      {"1+-2", 7, ParseStatus::invalid, ParseReason::misplaced_exponent_sign, 2},
      {"1.5E 3 +", 7, ParseStatus::invalid, ParseReason::misplaced_exponent_sign, 7},
      // Invalid text wins over an exponent that is already too long.
      {"1E123456x", 7, ParseStatus::invalid, ParseReason::bad_exponent_byte, 8},
  };
  expect_fixed_failures(CASES, true);
  expect_fixed_failures(CASES, false);
}

TEST(FixedField, LargestAndSmallestValues) {
  static constexpr FixedValueCase CASES[] = {
      {"1.E308", 7, 1e308},
      {"1.7976931348623157E308", 7, DBL_MAXIMUM},
      {"1.7976931348623158E308", 7, DBL_MAXIMUM},
      {"-1.7976931348623157E308", 7, -DBL_MAXIMUM},
      {"2.2250738585072014E-308", 7, std::numeric_limits<double>::min()},
      {"2.2250738585072011E-308", 7, 2.2250738585072011e-308},
      {"1.E-309", 7, 1e-309},
      {"4.9406564584124654E-324", 7, DENORM_MIN},
      {"5.E-324", 7, DENORM_MIN},
      {"-5.E-324", 7, -DENORM_MIN},
      {"3.E-324", 7, DENORM_MIN},
      // Just above half the smallest subnormal, 2.47032822920623272088...e-324.
      {"2.4703282292062328E-324", 7, DENORM_MIN},
      {"5", 324, DENORM_MIN},
      {"1.E000000000005", 7, 1e5},
      {"1.E-0000000000000000005", 7, 1e-5},
  };
  expect_fixed_values(CASES, true);
}

TEST(FixedField, OutOfRangeWithMinusExponentReadsSignedZero) {
  static constexpr FixedZeroCase CASES[] = {
      {"1E-400", 7, false, ParseReason::magnitude_out_of_range},
      {"-1E-400", 7, true, ParseReason::magnitude_out_of_range},
      {"1-400", 7, false, ParseReason::magnitude_out_of_range},
      {"1.E-325", 7, false, ParseReason::magnitude_out_of_range},
      {"1.E-324", 7, false, ParseReason::rounds_to_zero},
      {"2.4703282292062327E-324", 7, false, ParseReason::rounds_to_zero},
      {"-2.4703282292062327E-324", 7, true, ParseReason::rounds_to_zero},
      {"1.E-9999", 7, false, ParseReason::magnitude_out_of_range},
      {"1.E-10000", 7, false, ParseReason::exponent_too_long},
      {"-1.E-10000", 7, true, ParseReason::exponent_too_long},
  };
  expect_fixed_zeros(CASES, true);
}

TEST(FixedField, HugeValueWithMinusExponentReadsZero) {
  // Taken literally, the out-of-range rule looks only at the exponent's sign, not at which
  // end of the range was missed.
  const std::string text = "1" + std::string(400, '0') + "E-1";
  const records::FixedParse r = parse_fixed_in_full(text, 7, true);
  EXPECT_EQ(r.status, ParseStatus::ok);
  EXPECT_EQ(r.reason, ParseReason::magnitude_out_of_range);
  EXPECT_EQ(bits(r.value), bits(0.0));
}

TEST(FixedField, OutOfRangeWithoutMinusExponentOverflows) {
  static constexpr FixedFailureCase CASES[] = {
      {"1E400", 7, ParseStatus::overflow, ParseReason::magnitude_out_of_range, WHOLE_FIELD},
      {"-1E400", 7, ParseStatus::overflow, ParseReason::magnitude_out_of_range, WHOLE_FIELD},
      {"1.E+400", 7, ParseStatus::overflow, ParseReason::magnitude_out_of_range, WHOLE_FIELD},
      {"10.E308", 7, ParseStatus::overflow, ParseReason::magnitude_out_of_range, WHOLE_FIELD},
      {"1.E9999", 7, ParseStatus::overflow, ParseReason::magnitude_out_of_range, WHOLE_FIELD},
      {"1.E10000", 7, ParseStatus::overflow, ParseReason::exponent_too_long, WHOLE_FIELD},
      {"1.E000010000", 7, ParseStatus::overflow, ParseReason::exponent_too_long, WHOLE_FIELD},
      {"1.7976931348623159E308", 7, ParseStatus::overflow, ParseReason::rounds_to_infinity, WHOLE_FIELD},
      // Too small without a written minus: the implied decimals alone pushed it below range.
      {"1", 330, ParseStatus::overflow, ParseReason::magnitude_out_of_range, WHOLE_FIELD},
      {"2", 324, ParseStatus::overflow, ParseReason::rounds_to_zero, WHOLE_FIELD},
  };
  expect_fixed_failures(CASES, true);
}

TEST(FixedField, TwentySevenSignificantDigits) {
  static constexpr FixedValueCase CASES[] = {
      {"123456789012345678901234567", 0, 123456789012345678901234567.0},
      {"1234567890123456789012345678", 0, 1234567890123456789012345670.0},
      {"0.000000000000000000000000000001234", 0, 1.234e-30},
      {"1000000000000000000000000000000000000000", 0, 1e39},
      // 2^53 + 1 is a tie: a 27th digit breaks it upwards, a dropped 28th digit does not.
      {"9007199254740993.00000000001", 0, 9007199254740994.0},
      {"9007199254740993.000000000001", 0, 9007199254740992.0},
      {"0000000000009007199254740993.00000000001", 0, 9007199254740994.0},
      // Above the halfway points in full, below them once cut to 27 digits.
      {"1.797693134862315807937289715E308", 7, DBL_MAXIMUM},
      {"1.79769313486231580793728971E308", 7, DBL_MAXIMUM},
  };
  expect_fixed_values(CASES, true);
  static constexpr FixedZeroCase CUT_TO_ZERO[] = {
      {"2.470328229206232720882843965E-324", 7, false, ParseReason::rounds_to_zero},
      {"-2.47032822920623272088284396E-324", 7, true, ParseReason::rounds_to_zero},
  };
  expect_fixed_zeros(CUT_TO_ZERO, true);
}

TEST(FixedField, TiesRoundToEven) {
  static constexpr FixedValueCase CASES[] = {
      {"9007199254740993", 0, 9007199254740992.0},
      {"9007199254740995", 0, 9007199254740996.0},
      {"90071992547409930", 1, 9007199254740992.0},
      {"4503599627370496.5", 0, 4503599627370496.0},
      {"4503599627370497.5", 0, 4503599627370498.0},
      {"0.1", 0, 0.1},
      {"0.3", 0, 0.3},
  };
  expect_fixed_values(CASES, true);
}

TEST(FixedField, NeverReadsPastField) {
  constexpr std::string_view LINE = "1.5E3 NaN Infinity";
  EXPECT_EQ(parse_fixed_in_full(LINE.substr(0, 3), 7, true).value, 1.5);
  EXPECT_TRUE(std::isnan(parse_fixed_in_full(LINE.substr(6, 3), 7, true).value));
  const records::FixedParse cut = parse_fixed_in_full(LINE.substr(10, 3), 7, true);
  EXPECT_EQ(cut.reason, ParseReason::incomplete_word);
  EXPECT_EQ(bits(cut.value), bits(0.0));
  const records::FixedParse comma = parse_fixed_in_full("1,5"sv.substr(0, 1), 7, true);
  EXPECT_EQ(comma.value, 1e-7);
}

// ----- randomized cross-check against strtod --------------------------------------------------

/// One generated real field, with its value written plainly for strtod.
struct RandomReal {
  std::string field;
  std::string plain;
  int decimals = 0;
  bool blanks_ignored = false;
  bool negative = false;
  bool exponent_minus = false;
  bool exponent_too_long = false;
  bool any_nonzero = false;
};

class RealGenerator {
 public:
  explicit RealGenerator(std::uint64_t seed) : rng_(seed) {}

  RandomReal next() {
    RandomReal r;
    r.blanks_ignored = pick(0, 1) == 1;
    r.decimals = pick(0, 12);

    const int shape = pick(0, 19);
    const int count = shape < 12 ? pick(1, 18) : shape < 16 ? pick(19, 27) : shape < 19 ? pick(28, 45) : 0;
    std::string digits(pick(0, 3) == 0 ? static_cast<std::size_t>(pick(1, 6)) : 0U, '0');
    for (int k = 0; k < count; ++k) {
      digits += static_cast<char>('0' + pick(0, 9));
    }
    r.any_nonzero = digits.find_first_not_of('0') != std::string::npos;
    const bool point = pick(0, 1) == 1;
    const auto point_at = static_cast<std::size_t>(pick(0, static_cast<int>(digits.size())));
    const int sign = pick(0, 2);
    r.negative = sign == 2;

    // 0-2: none; 3: letter with no digits; 4-7: letter; 8-9: sign-started. With no mantissa
    // byte before it, a sign-started exponent would be read as the field's own sign.
    const int exponent_kind = pick(0, digits.empty() && !point ? 7 : 9);
    std::string exponent_digits;
    std::string letter;
    std::string exponent_sign;
    if (exponent_kind >= 3) {
      if (exponent_kind < 8) {
        letter = std::string(1, "EeDdQq"[pick(0, 5)]);
      }
      const int sign_kind = exponent_kind >= 8 ? pick(1, 2) : pick(0, 2);
      exponent_sign = sign_kind == 0 ? "" : sign_kind == 1 ? "+" : "-";
      r.exponent_minus = sign_kind == 2;
      if (exponent_kind != 3) {
        const int range = pick(0, 9);
        const int value = range < 4   ? pick(0, 30)
                          : range < 8 ? pick(280, 345)
                          : range < 9 ? pick(0, 9999)
                                      : pick(10000, 99999);
        exponent_digits = std::string(static_cast<std::size_t>(pick(0, 3)), '0') + std::to_string(value);
        r.exponent_too_long = value >= 10000;
      }
    }

    // Field text: leading filler, sign, mantissa, exponent; then blanks per the blank rule.
    std::string mantissa = digits;
    if (point) {
      mantissa.insert(point_at, 1, '.');
    }
    std::string exponent = exponent_digits;
    if (!r.blanks_ignored) {
      // A blank is a 0 digit here, except as the field's first byte, where it is skipped.
      blank_some_zeros(mantissa, sign == 0 ? 1U : 0U);
      blank_some_zeros(exponent, 0);
    }
    std::string body = (sign == 0 ? "" : sign == 1 ? "+" : "-") + mantissa + letter + exponent_sign + exponent;
    if (r.blanks_ignored) {
      for (int k = pick(0, 3); k > 0; --k) {
        body.insert(static_cast<std::size_t>(pick(0, static_cast<int>(body.size()))), 1, ' ');
      }
    }
    for (int k = pick(0, 2); k > 0; --k) {
      r.field += " \t\n\v\f\r"[pick(0, 5)];
    }
    r.field += body;

    r.plain = plain_text(digits, point, point_at, r);
    if (!exponent_digits.empty()) {
      r.plain += 'e' + exponent_sign + exponent_digits;
    }
    return r;
  }

 private:
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }

  void blank_some_zeros(std::string& text, std::size_t from) {
    for (std::size_t k = from; k < text.size(); ++k) {
      if (text[k] == '0' && pick(0, 3) == 0) {
        text[k] = ' ';
      }
    }
  }

  /// The mantissa with digits past the 27th significant one zeroed and the point written out.
  static std::string plain_text(std::string digits, bool point, std::size_t point_at, const RandomReal& r) {
    std::size_t significant = 0;
    for (char& c : digits) {
      if (significant > 0 || c != '0') {
        ++significant;
      }
      if (significant > 27) {
        c = '0';
      }
    }
    if (point) {
      digits.insert(point_at, 1, '.');
    } else if (r.decimals > 0) {
      const auto places = static_cast<std::size_t>(r.decimals);
      if (digits.size() <= places) {
        digits.insert(0, places + 1 - digits.size(), '0');
      }
      digits.insert(digits.size() - places, 1, '.');
    }
    return (r.negative ? "-" : "") + digits;
  }

  std::mt19937_64 rng_;
};

TEST(FixedField, RandomAgainstStrtod) {
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  RealGenerator generator(0x6b6f7276U);
  int normal = 0;
  int subnormal = 0;
  int flushed = 0;
  int overflowed = 0;
  int no_digits = 0;
  int failures = 0;
  for (int round = 0; round < 100000 && failures < 20; ++round) {
    const RandomReal c = generator.next();
    ParseStatus want_status = ParseStatus::ok;
    double want = 0.0;
    if (!c.any_nonzero) {
      ++no_digits;
    } else {
      bool out_of_range = c.exponent_too_long;
      if (!out_of_range) {
        char* end = nullptr;
        want = std::strtod(c.plain.c_str(), &end);
        ASSERT_EQ(end, c.plain.c_str() + c.plain.size()) << c.plain;
        out_of_range = want == 0.0 || std::isinf(want);
      }
      if (out_of_range) {
        if (c.exponent_minus) {
          want = c.negative ? -0.0 : 0.0;
          ++flushed;
        } else {
          want_status = ParseStatus::overflow;
          want = 0.0;
          ++overflowed;
        }
      } else if (std::fpclassify(want) == FP_SUBNORMAL) {
        ++subnormal;
      } else {
        ++normal;
      }
    }
    const records::FixedParse r = parse_fixed_in_full(c.field, c.decimals, c.blanks_ignored);
    if (r.status != want_status || bits(r.value) != bits(want)) {
      ++failures;
      ADD_FAILURE() << trace(c.field, c.decimals, c.blanks_ignored) << " plain " << c.plain << ": got " << r.value
                    << " status " << static_cast<int>(r.status) << ", want " << want << " status "
                    << static_cast<int>(want_status);
    }
  }
  // The generator must reach every kind of result, or the comparison proves little.
  EXPECT_GT(normal, 20000);
  EXPECT_GT(subnormal, 500);
  EXPECT_GT(flushed, 2000);
  EXPECT_GT(overflowed, 2000);
  EXPECT_GT(no_digits, 1000);
}

// ---------------------------------------------------------------------------------------------
// Character fields
// ---------------------------------------------------------------------------------------------

struct CharacterCase {
  std::string_view field;
  std::size_t length;
  std::string_view area;
};

TEST(CharacterField, FillsAreaFromField) {
  static constexpr CharacterCase CASES[] = {
      {"E", 1, "E"},
      {"a", 1, "a"},
      {"e", 1, "e"},
      {" ", 1, " "},
      {"abc", 3, "abc"},
      // Shorter area: the rightmost bytes.
      {"abcdef", 3, "def"},
      {"abcdef", 1, "f"},
      // Longer area: blanks after the field.
      {"ab", 5, "ab   "},
      {"", 3, "   "},
      {"", 1, " "},
      // Bytes are data, unchanged.
      {"\t\r\0\x1a\xff"sv, 5, "\t\r\0\x1a\xff"sv},
      {",", 1, ","},
  };
  for (const CharacterCase& c : CASES) {
    SCOPED_TRACE(shown(c.field) + " into " + std::to_string(c.length));
    char area[16];
    std::fill(std::begin(area), std::end(area), '#');
    parse_characters(c.field, area, c.length);
    EXPECT_EQ(std::string_view(area, c.length), c.area);
    EXPECT_EQ(std::string_view(area + c.length, sizeof area - c.length), std::string(sizeof area - c.length, '#'));
  }
}

TEST(CharacterField, ZeroLengthAreaUntouched) {
  char area[4] = {'#', '#', '#', '#'};
  parse_characters("xyz", area, 0);
  parse_characters(std::string_view{}, area, 0);
  EXPECT_EQ(std::string_view(area, 4), "####");
}

TEST(CharacterField, NeverReadsPastField) {
  constexpr std::string_view LINE = "AEx";
  char area[3] = {'#', '#', '#'};
  parse_characters(LINE.substr(1, 1), area, 3);
  EXPECT_EQ(std::string_view(area, 3), "E  ");
}

}  // namespace
