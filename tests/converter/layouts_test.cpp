// The KORV input layout and the DUNTA output layout through read_input_record and
// write_output_record on real files in a scratch directory: which columns feed which value,
// what a short or comma-bearing line reads as, and the exact 68 bytes of every record.
//
// Two scenarios here have their home in the golden cases of e2e/conversion_test.cpp: a line
// holding only control-Z (here: the layout reads it as end of file whatever its line end, and
// the driver stops at one ending in CR LF) and the cut of a longer earlier output (here: the
// file is cut at the first write, before the second). A bad field's diagnostic and values too
// wide for their columns are tested there only.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "converter/driver.h"
#include "converter/layouts.h"
#include "records/diagnostics.h"
#include "records/units.h"
#include "tests/support/files.h"
#include "tests/support/lines.h"
#include "tests/support/scratch_directory.h"

namespace converter {
namespace {

using test_support::example_record;
using test_support::INPUT_NAME;
using test_support::korv_line;
using test_support::OUTPUT_NAME;
using test_support::place;

constexpr records::StatementBranches ERROR_BRANCH{.error_branch = true};

/// A scratch current directory holding the two line lists; tests connect the units as the
/// driver does.
class LayoutTest : public test_support::ScratchDirectoryTest {
 protected:
  void connect_input(const std::string& bytes) {
    scratch_.write(INPUT_NAME, bytes);
    ASSERT_EQ(records::connect_unit({INPUT_UNIT, INPUT_NAME, records::BlankMode::null, records::FileStatus::old},
                                    ERROR_BRANCH),
              0);
  }
  static void connect_output() {
    ASSERT_EQ(records::connect_unit({OUTPUT_UNIT, OUTPUT_NAME, records::BlankMode::null, records::FileStatus::unknown},
                                    ERROR_BRANCH),
              0);
  }
};

// ---- the input layout ----------------------------------------------------------------------

using InputLayout = LayoutTest;

TEST_F(InputLayout, ExampleRecord) {
  connect_input(korv_line() + "\r\n");
  LineRecord record;
  ASSERT_TRUE(read_input_record(record));
  EXPECT_EQ(record.first.a, 3);
  EXPECT_EQ(record.first.b, 1);
  EXPECT_EQ(record.second.a, 2);
  EXPECT_EQ(record.second.b, 1);
  EXPECT_EQ(record.digit, 0);
  EXPECT_EQ(record.species, 'E');
  EXPECT_EQ(record.freq, 12.345678);
  LineRecord untouched;
  untouched.first.a = -5;
  untouched.freq = 7.0;
  untouched.species = 'q';
  EXPECT_FALSE(read_input_record(untouched));
  EXPECT_EQ(untouched.first.a, -5);
  EXPECT_EQ(untouched.freq, 7.0);
  EXPECT_EQ(untouched.species, 'q');
}

TEST_F(InputLayout, SkippedColumnsAndColumnsAfter66AreNotExamined) {
  // Letters fill columns 1-6, 9-11, 15, 18-20, 24-26, 28-31 and 33-56, and run on past 66.
  connect_input(korv_line({}, 'x') + "xyz,,12\n");
  LineRecord record;
  ASSERT_TRUE(read_input_record(record));
  EXPECT_EQ(record.first.a, 3);
  EXPECT_EQ(record.first.b, 1);
  EXPECT_EQ(record.second.a, 2);
  EXPECT_EQ(record.second.b, 1);
  EXPECT_EQ(record.digit, 0);
  EXPECT_EQ(record.species, 'E');
  EXPECT_EQ(record.freq, 12.345678);
}

TEST_F(InputLayout, LinesEndInLfOrCrLf) {
  connect_input(korv_line() + "\n" + korv_line({.first_a = "12"}) + "\r\n" + korv_line());
  for (const std::int32_t first_a : {3, 12, 3}) {
    LineRecord record;
    ASSERT_TRUE(read_input_record(record));
    EXPECT_EQ(record.first.a, first_a);
    EXPECT_EQ(record.freq, 12.345678);
  }
  LineRecord record;
  EXPECT_FALSE(read_input_record(record));
}

TEST_F(InputLayout, ControlZLineIsEndOfFile) {
  const std::string line = korv_line() + "\r\n";
  for (const std::string& content : {line + "\x1a\n" + line, line + "\x1a\r\n" + line, line + "\x1a"}) {
    SCOPED_TRACE(::testing::PrintToString(content.substr(68)));
    connect_input(content);
    LineRecord record;
    EXPECT_TRUE(read_input_record(record));
    EXPECT_FALSE(read_input_record(record));
    records::close_all_units();
  }
}

TEST_F(InputLayout, LowercaseSpeciesReadUnchanged) {
  for (const char species : {'a', 'e'}) {
    connect_input(korv_line({.species = std::string(1, species)}) + "\r\n");
    LineRecord record;
    ASSERT_TRUE(read_input_record(record));
    EXPECT_EQ(record.species, species);
    records::close_all_units();
  }
}

TEST_F(InputLayout, MinusThreeInAThreeColumnField) {
  for (const char* text : {" -3", "-3 ", "- 3"}) {
    SCOPED_TRACE(text);
    connect_input(korv_line({.first_b = text}) + "\r\n");
    LineRecord record;
    ASSERT_TRUE(read_input_record(record));
    EXPECT_EQ(record.first.b, -3);
    records::close_all_units();
  }
}

TEST_F(InputLayout, FrequencyTexts) {
  struct Case {
    const char* text;
    double freq;
  };
  const double infinity = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"     1.5E3", 1500.0},    {"     1.5e3", 1500.0},    {"   1.5D+03", 1500.0},      {"     1.5d3", 1500.0},
      {"     1.5Q3", 1500.0},    {"     1.5q3", 1500.0},    {"  Infinity", infinity},    {" -Infinity", -infinity},
      {"  12345678", 1.2345678}, {" 12.345678", 12.345678}, {"   12345-2", 0.000012345}, {"    12.5E ", 12.5},
      {"    1E-400", 0.0},       {"       Inf", 0.0},       {"       -0.", 0.0},         {"         -", 0.0},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.text);
    connect_input(korv_line({.frequency = test.text}) + "\r\n");
    LineRecord record;
    ASSERT_TRUE(read_input_record(record));
    EXPECT_EQ(record.freq, test.freq);
    EXPECT_EQ(std::signbit(record.freq), std::signbit(test.freq));
    records::close_all_units();
  }
  connect_input(korv_line({.frequency = "       NaN"}) + "\r\n");
  LineRecord record;
  ASSERT_TRUE(read_input_record(record));
  EXPECT_TRUE(std::isnan(record.freq));
}

TEST_F(InputLayout, ShortLinesReadAsIfBlankFilled) {
  struct Case {
    const char* name;
    std::size_t length;
    char species;
    double freq;
  };
  // Cut before column 32: blank species and 0.0; before column 57: 0.0; at 60: 1234 and six
  // blanks, 0.0001234.
  const std::string line = korv_line({.frequency = "1234      "});
  const Case cases[] = {{"27 columns", 27, ' ', 0.0},
                        {"31 columns", 31, ' ', 0.0},
                        {"56 columns", 56, 'E', 0.0},
                        {"60 columns", 60, 'E', 0.0001234}};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    connect_input(line.substr(0, test.length) + "\r\n");
    LineRecord record;
    record.species = 'q';
    record.freq = -1.0;
    ASSERT_TRUE(read_input_record(record));
    EXPECT_EQ(record.first.a, 3);
    EXPECT_EQ(record.second.b, 1);
    EXPECT_EQ(record.digit, 0);
    EXPECT_EQ(record.species, test.species);
    EXPECT_EQ(record.freq, test.freq);
    records::close_all_units();
  }
}

TEST_F(InputLayout, EmptyLineReadsZerosAndABlank) {
  connect_input("\r\n");
  LineRecord record;
  record.first.a = record.first.b = record.second.a = record.second.b = record.digit = -1;
  record.species = 'q';
  record.freq = -1.0;
  ASSERT_TRUE(read_input_record(record));
  EXPECT_EQ(record.first.a, 0);
  EXPECT_EQ(record.first.b, 0);
  EXPECT_EQ(record.second.a, 0);
  EXPECT_EQ(record.second.b, 0);
  EXPECT_EQ(record.digit, 0);
  EXPECT_EQ(record.species, ' ');
  EXPECT_EQ(record.freq, 0.0);
}

TEST_F(InputLayout, CommaMovesTheLaterFieldsLeft) {
  // A comma in column 7 gives first.a = 0; first.b then comes from columns 11-13, and every
  // later field one column to the left of its place.
  std::string line(66, ' ');
  place(line, 7, 1, ",");
  place(line, 11, 2, "45");           // first.b: columns 11-13 read "45 "
  place(line, 16, 1, "7");            // second.a: columns 15-16
  place(line, 22, 1, "9");            // second.b: columns 20-22
  place(line, 26, 1, "8");            // digit: column 26
  place(line, 31, 1, "A");            // species: column 31
  place(line, 56, 10, "       1.5");  // frequency: columns 56-65
  connect_input(line + "\r\n");
  LineRecord record;
  ASSERT_TRUE(read_input_record(record));
  EXPECT_EQ(record.first.a, 0);
  EXPECT_EQ(record.first.b, 45);
  EXPECT_EQ(record.second.a, 7);
  EXPECT_EQ(record.second.b, 9);
  EXPECT_EQ(record.digit, 8);
  EXPECT_EQ(record.species, 'A');
  EXPECT_EQ(record.freq, 1.5);
}

TEST_F(InputLayout, CommaInTheFrequencyEndsIt) {
  connect_input(korv_line({.frequency = "1,5       "}) + "\r\n");
  LineRecord record;
  ASSERT_TRUE(read_input_record(record));
  EXPECT_EQ(record.freq, 1e-7);
}

// ---- the output layout ---------------------------------------------------------------------

using OutputLayout = LayoutTest;

/// The E record as the conversion rules leave it: frequency scaled, a + 1 labels, blank signs,
/// the constant columns.
LineRecord converted_e_record() {
  LineRecord record;
  record.freq = 12.345678 * 1000.0;
  record.first.a = 3;
  record.first.b = 1;
  record.first.a_next = 4;
  record.first.sign = ' ';
  record.second.a = 2;
  record.second.b = 1;
  record.second.a_next = 3;
  record.second.sign = ' ';
  record.species = 'E';
  record.trailer_flag = 1;
  record.trailer_code = 1005;
  std::memset(record.trailer_text, ' ', sizeof record.trailer_text);
  return record;
}

TEST_F(OutputLayout, ERecordByteForByte) {
  connect_output();
  write_output_record(converted_e_record());
  EXPECT_EQ(scratch_.read(OUTPUT_NAME), example_record());
}

TEST_F(OutputLayout, EveryFieldInItsColumns) {
  connect_output();
  LineRecord record;
  record.freq = -12345.67891;
  record.first = {99, 999, 0, 88, -1, '+'};
  record.second = {77, -99, 0, 66, 7, '-'};
  record.trailer_flag = 9;
  record.trailer_code = -999;
  std::memcpy(record.trailer_text, "ABCDEF", 6);
  write_output_record(record);
  std::string expected(66, ' ');
  place(expected, 1, 12, "-12345.67891");
  place(expected, 13, 2, "-1");
  place(expected, 17, 2, "99");
  place(expected, 21, 3, "999");
  place(expected, 26, 1, "+");
  place(expected, 28, 2, "88");
  place(expected, 32, 1, "7");
  place(expected, 35, 2, "77");
  place(expected, 39, 3, "-99");
  place(expected, 44, 1, "-");
  place(expected, 46, 2, "66");
  place(expected, 50, 1, "9");
  place(expected, 54, 4, "-999");
  place(expected, 61, 6, "ABCDEF");
  EXPECT_EQ(scratch_.read(OUTPUT_NAME), expected + "\r\n");
}

TEST_F(OutputLayout, EveryRecordIs68BytesWithBlankGaps) {
  connect_output();
  LineRecord record = converted_e_record();
  for (int i = 0; i < 3; ++i) {
    record.first.a = i;
    write_output_record(record);
  }
  const std::string file = scratch_.read(OUTPUT_NAME);
  ASSERT_EQ(file.size(), 3u * 68u);
  for (std::size_t at = 0; at < file.size(); at += 68) {
    EXPECT_EQ(file.substr(at + 66, 2), "\r\n");
    for (const std::size_t column : {15u, 16u, 19u, 20u, 24u, 25u, 27u, 30u, 31u, 33u, 34u, 37u,
                                     38u, 42u, 43u, 45u, 48u, 49u, 51u, 52u, 53u, 58u, 59u, 60u}) {
      EXPECT_EQ(file[at + column - 1], ' ') << "column " << column;
    }
  }
  EXPECT_EQ(file.substr(68 + 16, 2), " 1");
}

TEST_F(OutputLayout, FrequencyRoundingToZeroHasNoSign) {
  connect_output();
  for (const double freq : {-0.000004, -0.0, 0.0}) {
    LineRecord record = converted_e_record();
    record.freq = freq;
    write_output_record(record);
  }
  std::string zero = example_record();
  place(zero, 1, 12, "     0.00000");
  EXPECT_EQ(scratch_.read(OUTPUT_NAME), zero + zero + zero);
}

TEST_F(OutputLayout, ZeroByteSignsLandAsZeroBytes) {
  // A record the rules never touched keeps the zero byte in its sign columns.
  connect_output();
  LineRecord record = converted_e_record();
  record.first.sign = '\0';
  record.second.sign = '\0';
  write_output_record(record);
  std::string expected = example_record();
  expected[25] = '\0';
  expected[43] = '\0';
  EXPECT_EQ(scratch_.read(OUTPUT_NAME), expected);
}

TEST_F(OutputLayout, LongerOldFileIsCutAfterTheFirstRecord) {
  scratch_.write(OUTPUT_NAME, std::string(5000, 'o'));
  connect_output();
  write_output_record(converted_e_record());
  EXPECT_EQ(scratch_.read(OUTPUT_NAME), example_record());
  write_output_record(converted_e_record());
  EXPECT_EQ(scratch_.read(OUTPUT_NAME), example_record() + example_record());
}

// ---- both layouts in a run -----------------------------------------------------------------

using ConversionRun = LayoutTest;

TEST_F(ConversionRun, LinesAfterControlZAreNeverReached) {
  scratch_.write(INPUT_NAME, korv_line() + "\r\n\x1a\r\n" + korv_line() + "\r\n");
  convert_line_list();
  const std::string output = scratch_.read(OUTPUT_NAME);
  ASSERT_EQ(output.size(), 68u);
  EXPECT_EQ(output.substr(0, 12), " 12345.67800");
}

}  // namespace
}  // namespace converter
