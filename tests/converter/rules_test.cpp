// The conversion rules: the keep/discard decisions, the scaling and the derived columns.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "converter/rules.h"

namespace converter {
namespace {

LineRecord e_record() {
  LineRecord record;
  record.first.a = 3;
  record.first.b = 1;
  record.second.a = 2;
  record.second.b = 1;
  record.species = 'E';
  record.freq = 12.345678;
  return record;
}

TEST(RecordFilter, PlaceholderFrequencyDiscards) {
  LineRecord record = e_record();
  record.freq = -900.0;
  const LineRecord before = record;
  EXPECT_FALSE(apply_conversion_rules(record));
  EXPECT_EQ(record.freq, before.freq);
  EXPECT_EQ(record.first.a_next, 0);
  EXPECT_EQ(record.trailer_code, 0);
}

TEST(RecordFilter, NearPlaceholderIsKept) {
  for (const double freq : {-0.00009, std::nextafter(-900.0, 0.0), std::nextafter(-900.0, -1000.0), 900.0}) {
    LineRecord record = e_record();
    record.freq = freq;
    EXPECT_TRUE(apply_conversion_rules(record)) << freq;
    EXPECT_EQ(record.freq, freq * 1000.0);
  }
}

TEST(RecordFilter, NotANumberDiscards) {
  LineRecord record = e_record();
  record.freq = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(apply_conversion_rules(record));
  record.freq = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(apply_conversion_rules(record));
  EXPECT_EQ(record.freq, std::numeric_limits<double>::infinity());
}

TEST(RecordFilter, OnlyUppercaseAandEAreKept) {
  for (const char species : {'a', 'e', ' ', '0', '\0', 'B', 'F'}) {
    LineRecord record = e_record();
    record.species = species;
    EXPECT_FALSE(apply_conversion_rules(record)) << static_cast<int>(species);
  }
  for (const char species : {'A', 'E'}) {
    LineRecord record = e_record();
    record.species = species;
    EXPECT_TRUE(apply_conversion_rules(record));
  }
}

TEST(DerivedFields, ERecordOfTheExample) {
  LineRecord record = e_record();
  ASSERT_TRUE(apply_conversion_rules(record));
  EXPECT_EQ(record.freq, 12.345678 * 1000.0);
  EXPECT_NEAR(record.freq, 12345.678, 1e-9);
  EXPECT_EQ(record.first.a_next, 4);
  EXPECT_EQ(record.second.a_next, 3);
  EXPECT_EQ(record.first.sign, ' ');
  EXPECT_EQ(record.second.sign, ' ');
  EXPECT_EQ(record.first.lead, 0);
  EXPECT_EQ(record.second.lead, 0);
  EXPECT_EQ(record.trailer_flag, 1);
  EXPECT_EQ(record.trailer_code, 1005);
  EXPECT_EQ(std::string(record.trailer_text, 6), "      ");
  EXPECT_EQ(record.first.c, 0);
}

TEST(DerivedFields, LabelNinetyNineGivesOneHundred) {
  LineRecord record = e_record();
  record.first.a = 99;
  ASSERT_TRUE(apply_conversion_rules(record));
  EXPECT_EQ(record.first.a_next, 100);
}

/// The A-branch sign of one state with the given labels.
char a_sign(std::int32_t a, std::int32_t b, std::int32_t c) {
  LineRecord record = e_record();
  record.species = 'A';
  record.first = {a, b, c, 0, 0, '\0'};
  EXPECT_TRUE(apply_conversion_rules(record));
  return record.first.sign;
}

TEST(ParitySign, EvenB) {
  EXPECT_EQ(a_sign(7, 2, 5), '+');   // c = a - b
  EXPECT_EQ(a_sign(7, 2, 6), '-');   // c = a - b + 1
  EXPECT_EQ(a_sign(4, 0, 4), '+');   // zero is even
  EXPECT_EQ(a_sign(4, -2, 6), '+');  // negative even
}

TEST(ParitySign, OddB) {
  EXPECT_EQ(a_sign(7, 1, 6), '-');
  EXPECT_EQ(a_sign(7, 1, 7), '+');
  EXPECT_EQ(a_sign(5, -1, 6), '-');  // negative odd: the odd case
  EXPECT_EQ(a_sign(5, -1, 7), '+');
}

TEST(ParitySign, ThirdLabelZeroAsRead) {
  // With c = 0 only a = b and a = b - 1 set a sign.
  EXPECT_EQ(a_sign(2, 2, 0), '+');
  EXPECT_EQ(a_sign(3, 3, 0), '-');
  EXPECT_EQ(a_sign(1, 2, 0), '-');
  EXPECT_EQ(a_sign(2, 3, 0), '+');
}

TEST(ParitySign, UnchangedSignIsABlankNeverAZeroByte) {
  EXPECT_EQ(a_sign(9, 2, 0), ' ');
  EXPECT_EQ(a_sign(9, 3, 0), ' ');
  LineRecord record = e_record();
  record.species = 'A';
  record.first = {9, 2, 0, 0, 0, '-'};
  ASSERT_TRUE(apply_conversion_rules(record));
  EXPECT_EQ(record.first.sign, '-');                // a sign set before stands
  EXPECT_EQ(a_sign(INT32_MIN, 1, INT32_MAX), '-');  // a - b wraps round
}

TEST(ParitySign, StatesAreIndependent) {
  LineRecord record = e_record();
  record.species = 'A';
  record.first = {2, 2, 0, 0, 0, '\0'};
  record.second = {3, 3, 0, 0, 0, '\0'};
  ASSERT_TRUE(apply_conversion_rules(record));
  EXPECT_EQ(record.first.sign, '+');
  EXPECT_EQ(record.second.sign, '-');
}

}  // namespace
}  // namespace converter
