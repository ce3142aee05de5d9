// End-to-end conversion: the built program run on hand-written line lists (tests/data), on a
// large generated list checked against an independent model, under a comma-decimal locale, and
// on inputs whose bad field ends the run with a diagnostic.
//
// This file is the home of these scenarios; the tests that repeat one elsewhere (the Windows
// suite, the converter's layouts, the record layer) say what their copy adds:
// - nothing to write leaves the output empty: emptied, or created empty when missing (golden
//   cases empty_input_empties_output, empty_input_creates_output, nothing_kept_empties_output);
// - an earlier output is cut after this run's first record (existing_output_cut);
// - a line holding only control-Z ends the input (control_z_ends_input);
// - a value too wide for its columns is written as asterisks and nothing is said
//   (overflow_columns);
// - a bad field ends the run, after the records before it, with the input conversion error and
//   the line naming its record, columns and bytes (ConversionBadField: each kind of bad text
//   in every field; the bad_field_* golden cases).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "run_support.h"
#include "tests/support/files.h"
#include "tests/support/lines.h"
#include "tests/support/traceback_text.h"

namespace e2e {
namespace {

using namespace test_support;

/// Longest a small run may take before it counts as hung.
constexpr std::chrono::milliseconds SMALL_RUN_LIMIT{20000};

/// A file of a hand-written golden case (tests/data/`name`).
std::string golden_path(const std::string& name, const std::string& file) {
  return std::string(source_dir()) + "/tests/data/" + name + "/" + file;
}

/// A file every golden case has; throws when it is missing.
std::string golden_file(const std::string& name, const std::string& file) {
  const std::string path = golden_path(name, file);
  std::optional<std::string> bytes = read_bytes(path);
  if (!bytes) throw std::runtime_error("cannot read " + path);
  return *std::move(bytes);
}

/// Runs the program in the directory; a run that outlives its limit is killed and fails.
RunResult run_in(const ScratchDirectory& scratch, RunOptions options = {}) {
  if (options.time_limit.count() == 0) options.time_limit = SMALL_RUN_LIMIT;
  return run_program(scratch.path(), options);
}

/// Checks standard error against `expected`, in which "{dir}" stands for the run's directory and
/// a line "{traceback}" for the traceback; everything else must match byte for byte.
void expect_error_output(const std::string& actual, std::string expected, const std::string& dir) {
  for (std::size_t at = expected.find("{dir}"); at != std::string::npos; at = expected.find("{dir}", at)) {
    expected.replace(at, 5, dir);
    at += dir.size();
  }
  const std::string marker = "{traceback}\n";
  const std::size_t at = expected.find(marker);
  if (at == std::string::npos) {
    EXPECT_EQ(actual, expected);
    return;
  }
  expect_severe_report(actual, expected.substr(0, at), expected.substr(at + marker.size()));
}

/// The diagnostic line of an invalid input field, then the traceback marker.
std::string input_conversion_diagnostic() {
  return severe_line(64, "input conversion error", 55, "{dir}/" + INPUT_NAME) + "{traceback}\n";
}

// ---------------------------------------------------------------------------------------------
// Golden cases: input, earlier output, expected output, exit status and standard error, all
// written by hand. Among them how a run leaves the output file: created or emptied when
// nothing is kept, cut after this run's first record, unchanged when the run fails before it.

/// The input with every column of 1-66 that the layout does not examine filled with digits
/// and letters (short lines lengthened), but for lines holding only control-Z: no byte of the
/// output or the diagnostics may change.
std::string with_unexamined_columns_filled(const std::string& input) {
  // The layout's fields: first.a, first.b, second.a, second.b, digit, species, frequency.
  static constexpr std::pair<std::size_t, std::size_t> FIELDS[] = {{7, 8},   {12, 14}, {16, 17}, {21, 23},
                                                                   {27, 27}, {32, 32}, {57, 66}};
  const auto examined = [](std::size_t column) {
    return std::any_of(std::begin(FIELDS), std::end(FIELDS),
                       [column](const auto& field) { return column >= field.first && column <= field.second; });
  };
  std::string filled;
  for (std::size_t start = 0; start < input.size();) {
    std::size_t end = input.find('\n', start);
    end = end == std::string::npos ? input.size() : end + 1;
    std::string line = input.substr(start, end - start);
    start = end;
    std::size_t body = line.size() - (line.ends_with('\n') ? 1 : 0);
    if (body > 0 && line[body - 1] == '\r') --body;
    if (line.substr(0, body) != "\x1A") {
      if (body < 66) line.insert(body, 66 - body, ' ');
      for (std::size_t column = 1; column <= 66; ++column) {
        if (!examined(column)) line[column - 1] = "9Az0q5"[column % 6];
      }
    }
    filled += line;
  }
  return filled;
}

class ConversionGolden : public ::testing::TestWithParam<const char*> {};

TEST_P(ConversionGolden, OutputStatusAndDiagnosticMatch) {
  const std::string name = GetParam();
  const std::string golden_input = golden_file(name, "input.txt");
  for (const std::string& input : {golden_input, with_unexamined_columns_filled(golden_input)}) {
    SCOPED_TRACE(input == golden_input ? "as written" : "unexamined columns filled");
    ScratchDirectory scratch;
    scratch.write(INPUT_NAME, input);
    if (const std::optional<std::string> prior = read_bytes(golden_path(name, "prior.txt"))) {
      scratch.write(OUTPUT_NAME, *prior);
    }

    const RunResult run = run_in(scratch);

    ASSERT_FALSE(run.timed_out);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exit_status, std::stoi(golden_file(name, "status.txt")));
    expect_error_output(run.error_output, golden_file(name, "stderr.txt"), scratch.path());
    ASSERT_TRUE(scratch.exists(OUTPUT_NAME));
    EXPECT_EQ(scratch.read(OUTPUT_NAME), golden_file(name, "expected.txt"));
    EXPECT_EQ(scratch.read(INPUT_NAME), input) << "the input file must never change";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ConversionGolden,
                         ::testing::Values("examples", "mixed_symmetry", "existing_output_cut", "bad_field_first_line",
                                           "bad_field_late_line", "bad_field_escaped", "overflow_columns",
                                           "zero_and_negative", "infinity_nan", "line_ends", "control_z_ends_input",
                                           "label_forms", "nothing_kept_empties_output", "empty_input_empties_output",
                                           "empty_input_creates_output"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// ---------------------------------------------------------------------------------------------
// Bad fields: each ends the run at its line with the row-64 diagnostic and the context line,
// after the record of the good line before it has reached the output file.

struct BadFieldCase {
  const char* name;
  std::string line;     ///< the bad line, without its line end
  std::string context;  ///< the context line's text after "record 2, "
};

/// A field text with one raw byte in it.
std::string with_byte(const std::string& before, char byte, const std::string& after) {
  return before + std::string(1, byte) + after;
}

/// One case per kind of invalid text, in every numeric field of the layout.
std::vector<BadFieldCase> bad_field_cases() {
  // Each case changes one field of the worked E example.
  return {
      {"LetterInFirstA", korv_line({.first_a = "1a"}), "columns 7-8: \"1a\""},
      {"LeadingLetterInFirstA", korv_line({.first_a = "x3"}), "columns 7-8: \"x3\""},
      {"PointInFirstB", korv_line({.first_b = "1.0"}), "columns 12-14: \"1.0\""},
      {"LetterBetweenDigitsInFirstB", korv_line({.first_b = "1x1"}), "columns 12-14: \"1x1\""},
      {"SecondSignInSecondA", korv_line({.second_a = "+-"}), "columns 16-17: \"+-\""},
      {"LonePointInSecondA", korv_line({.second_a = " ."}), "columns 16-17: \" .\""},
      {"TrailingMinusInSecondB", korv_line({.second_b = " 3-"}), "columns 21-23: \" 3-\""},
      {"LetterBeforeBlanksInSecondB", korv_line({.second_b = "x  "}), "columns 21-23: \"x  \""},
      {"LetterAfterBlankInSecondB", korv_line({.second_b = " x1"}), "columns 21-23: \" x1\""},
      {"UnderscoreInDigit", korv_line({.digit = "_"}), "columns 27-27: \"_\""},
      {"LetterInDigit", korv_line({.digit = "x"}), "columns 27-27: \"x\""},
      {"CarriageReturnInsideIntegerField", korv_line({.first_a = " \r"}), "columns 7-8: \" \\x0D\""},
      {"BlanksAfterInfinity", korv_line({.frequency = "Infinity  "}), "columns 57-66: \"Infinity  \""},
      {"BlanksAroundInfinity", korv_line({.frequency = " Infinity "}), "columns 57-66: \" Infinity \""},
      {"LetterInFraction", korv_line({.frequency = "  12.x4567"}), "columns 57-66: \"  12.x4567\""},
      {"LetterAfterExponent", korv_line({.frequency = "  1.5E3x  "}), "columns 57-66: \"  1.5E3x  \""},
      {"SignedNaN", korv_line({.frequency = "      -NaN"}), "columns 57-66: \"      -NaN\""},
      {"SecondDecimalPoint", korv_line({.frequency = "    12.3.4"}), "columns 57-66: \"    12.3.4\""},
      {"ValueTooLarge", korv_line({.frequency = "     1E400"}), "columns 57-66: \"     1E400\""},
      {"FiveDigitExponent", korv_line({.frequency = "   1E12345"}), "columns 57-66: \"   1E12345\""},
      {"PointInExponent", korv_line({.frequency = "  1.0E+2.5"}), "columns 57-66: \"  1.0E+2.5\""},
      {"UnderscoreInReal", korv_line({.frequency = "    12_345"}), "columns 57-66: \"    12_345\""},
      {"NulInReal", korv_line({.frequency = with_byte("   12", '\0', "3456")}), "columns 57-66: \"   12\\x003456\""},
      {"HighByteInReal", korv_line({.frequency = with_byte("   12", '\x85', "3456")}),
       "columns 57-66: \"   12\\x853456\""},
      {"TabAfterDigitsInReal", korv_line({.frequency = "  12\t34567"}), "columns 57-66: \"  12\\x0934567\""},
      {"QuoteAndBackslash", korv_line({.first_b = "\"\\1"}), "columns 12-14: \"\\\"\\\\1\""},
  };
}

/// Names a case in test listings instead of dumping its bytes.
void PrintTo(const BadFieldCase& bad, std::ostream* out) { *out << bad.name; }

class ConversionBadField : public ::testing::TestWithParam<BadFieldCase> {};

TEST_P(ConversionBadField, EndsRunAfterEarlierRecords) {
  const BadFieldCase& bad = GetParam();
  ScratchDirectory scratch;
  // The line after the bad one would be kept if the run went on.
  scratch.write(INPUT_NAME, example_line() + bad.line + "\r\n" + example_line());

  const RunResult run = run_in(scratch);

  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_status, 64) << "low 8 bits of 0xC0000040";
  expect_error_output(run.error_output, input_conversion_diagnostic() + "korv2dunta: record 2, " + bad.context + "\n",
                      scratch.path());
  EXPECT_EQ(scratch.read(OUTPUT_NAME), example_record());
}

INSTANTIATE_TEST_SUITE_P(Fields, ConversionBadField, ::testing::ValuesIn(bad_field_cases()),
                         [](const ::testing::TestParamInfo<BadFieldCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(ConversionLongLines, LinesLongerThanTheBufferAreReadWholeAndCounted) {
  // 20 000 and 9 000 bytes: each needs the 8192-byte buffer to grow, and the bytes after
  // column 66 must neither reach a field nor shift the next line.
  std::string tail;
  for (std::size_t i = 0; tail.size() < 20000; ++i) tail += "x9,-. " + std::to_string(i);
  // Fields in column order: first.a, first.b, second.a, second.b, digit, species, frequency.
  const std::string long_kept = korv_line({" 5", "  5", " 4", "  4", "1", "A", "   0.25000"}) + tail + "\n";
  const std::string long_dropped =
      korv_line({" 1", "  1", " 1", "  1", "1", "e", "   0.25000"}) + std::string(9000, ' ') + "\r\n";
  const std::string bad = korv_line({"?1", "  1", " 1", "  1", "1", "E", "   0.25000"}) + "\r\n";
  ScratchDirectory scratch;
  scratch.write(INPUT_NAME, example_line() + long_kept + long_dropped + bad + example_line());

  const RunResult run = run_in(scratch);

  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 64);
  expect_error_output(run.error_output, input_conversion_diagnostic() + "korv2dunta: record 4, columns 7-8: \"?1\"\n",
                      scratch.path());
  EXPECT_EQ(scratch.read(OUTPUT_NAME), example_record() + dunta_record({"   250.00000", {5, 5}, '-', {4, 4}, '+'}));
}

// ---------------------------------------------------------------------------------------------
// A large generated line list, checked record by record against a model of the rules that
// works on the generator's exact values (integers), never on the program's arithmetic.

/// SplitMix64: a small generator whose sequence is fixed by its seed on every platform.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
  /// The next 64 random bits.
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  /// A value in [0, n); the modulo bias is irrelevant for test data.
  std::uint64_t below(std::uint64_t n) { return next() % n; }
  /// A value in [low, high].
  std::int64_t between(std::int64_t low, std::int64_t high) {
    return low + static_cast<std::int64_t>(below(static_cast<std::uint64_t>(high - low + 1)));
  }
  /// True with probability 1/n.
  bool one_in(std::uint64_t n) { return below(n) == 0; }

 private:
  std::uint64_t state_;
};

/// A frequency given exactly in units of 10^-5 as the 12 output columns with 5 decimals.
std::string frequency_columns(std::int64_t units) {
  const std::uint64_t magnitude = units < 0 ? 0 - static_cast<std::uint64_t>(units) : static_cast<std::uint64_t>(units);
  std::string fraction = std::to_string(magnitude % 100000);
  fraction.insert(0, 5 - fraction.size(), '0');
  const std::string text = (units < 0 ? "-" : "") + std::to_string(magnitude / 100000) + "." + fraction;
  return text.size() > 12 ? std::string(12, '*') : right_aligned(text, 12);
}

/// Parity sign of a state of an A line. The third label is always 0, so the sign is set only
/// when 0 is a - b or a - b + 1, and then it is "+" exactly when a (that is, a - 0) is even.
char parity_sign(std::int64_t a, std::int64_t b) {
  if (a - b != 0 && a - b + 1 != 0) return ' ';
  return a % 2 == 0 ? '+' : '-';
}

/// What the generator wrote in the frequency columns.
struct Frequency {
  enum class Kind { number, placeholder, not_a_number, infinity, minus_infinity } kind = Kind::number;
  std::int64_t units = 0;  ///< exact value times 10^5, for numbers
  std::string text;        ///< the ten columns
};

/// Integer text of `value` for a field of `width`, sometimes with leading zeros or a plus sign.
std::string label_text(SplitMix64& rng, std::int64_t value, std::size_t width) {
  std::string text = std::to_string(value);
  if (value >= 0 && rng.one_in(5)) {
    text.insert(0, width - text.size(), '0');
  } else if (value >= 0 && text.size() < width && rng.one_in(6)) {
    text.insert(0, "+");
  }
  return right_aligned(text, width);
}

/// Labels of one state; b is often a or a + 1, the cases where the parity sign is set.
State generate_state(SplitMix64& rng) {
  State state;
  state.a = rng.one_in(10) ? rng.between(-9, 99) : rng.between(0, 30);
  switch (rng.below(3)) {
    case 0: state.b = state.a; break;
    case 1: state.b = state.a + 1; break;
    default: state.b = rng.one_in(10) ? rng.between(-99, 999) : rng.between(0, 40); break;
  }
  return state;
}

/// `count` random decimal digits.
std::string random_digits(SplitMix64& rng, std::int64_t count) {
  std::string digits;
  for (std::int64_t i = 0; i < count; ++i) digits += static_cast<char>('0' + rng.below(10));
  return digits;
}

/// Value of a digit string (at most 18 digits).
std::int64_t digits_value(const std::string& digits) {
  std::int64_t value = 0;
  for (const char digit : digits) value = value * 10 + (digit - '0');
  return value;
}

/// Ten frequency columns whose exact decimal value has at most 5 decimals after scaling, so
/// that the rounded output text cannot depend on binary rounding.
Frequency generate_frequency(SplitMix64& rng) {
  Frequency freq;
  const std::uint64_t pick = rng.below(100);
  if (pick < 45) {
    // No decimal point: an integer count of 10^-7 units, so value * 1000 = N / 10^4.
    const bool negative = rng.one_in(3);
    std::string digits = rng.one_in(40) ? std::string("900") : random_digits(rng, rng.between(1, 9));
    const std::int64_t n = digits_value(digits);
    freq.units = (negative ? -n : n) * 10;
    freq.text = right_aligned((negative ? "-" : "") + digits, 10);
  } else if (pick < 88) {
    // A written decimal point with k decimals: value * 1000 = M * 10^(3 - k), k <= 8.
    const bool negative = rng.one_in(3);
    const std::int64_t decimals = rng.between(0, 8);
    const std::int64_t integer_digits = rng.between(0, 9 - (negative ? 1 : 0) - decimals);
    const std::string integer_part = random_digits(rng, integer_digits);
    const std::string fraction = random_digits(rng, decimals);
    std::int64_t units = digits_value(integer_part + fraction);
    for (std::int64_t i = decimals; i < 8; ++i) units *= 10;
    freq.units = negative ? -units : units;
    std::string text = (negative ? "-" : "") + integer_part + "." + fraction;
    // Blanks are ignored anywhere in a numeric field: put one inside now and then.
    if (text.size() < 10 && rng.one_in(4)) text.insert(rng.below(text.size() + 1), " ");
    freq.text = rng.one_in(4) ? text + std::string(10 - text.size(), ' ') : right_aligned(text, 10);
  } else if (pick < 91) {
    static const char* const PLACEHOLDERS[] = {"-900.00000", "  -900.000", "    -900.0", "     -900."};
    freq.kind = Frequency::Kind::placeholder;
    freq.text = PLACEHOLDERS[rng.below(4)];
  } else if (pick < 93) {
    freq.kind = Frequency::Kind::not_a_number;
    freq.text = rng.one_in(2) ? "       NaN" : "       nan";
  } else if (pick < 95) {
    freq.kind = Frequency::Kind::infinity;
    freq.text = rng.one_in(2) ? "  Infinity" : "  INFINITY";
  } else if (pick < 96) {
    freq.kind = Frequency::Kind::minus_infinity;
    freq.text = " -Infinity";
  } else {
    freq.text = std::string(10, ' ');
  }
  return freq;
}

/// Appends skipped columns: blanks, realistic digits, or any printable byte (commas included,
/// which end numeric fields only, never skips).
void append_skipped(SplitMix64& rng, int style, std::size_t width, std::string& text) {
  for (std::size_t i = 0; i < width; ++i) {
    if (style == 0) {
      text.push_back(' ');
    } else if (style == 1) {
      text.push_back(rng.one_in(3) ? ' ' : static_cast<char>('0' + rng.below(10)));
    } else {
      text.push_back(static_cast<char>(0x21 + rng.below(0x7E - 0x21 + 1)));
    }
  }
}

/// One generated input line and the output record it must produce, if any.
struct GeneratedLine {
  std::string text;                   ///< the line as written, line end included
  std::optional<std::string> record;  ///< the expected 68 bytes when the line is kept
};

/// One random line (the last one without line end) and what the output must hold for it.
GeneratedLine generate_line(SplitMix64& rng, bool last) {
  const State first = generate_state(rng);
  const State second = generate_state(rng);
  const char digit = rng.one_in(10) ? ' ' : static_cast<char>('0' + rng.below(10));
  static const char OTHER_SPECIES[] = "ae 0123456789BXZ";
  const std::uint64_t species_pick = rng.below(20);
  const char species = species_pick < 8    ? 'A'
                       : species_pick < 16 ? 'E'
                                           : OTHER_SPECIES[rng.below(sizeof OTHER_SPECIES - 1)];
  const Frequency freq = generate_frequency(rng);
  const int style = static_cast<int>(rng.below(3));

  std::string text;
  text.reserve(100);
  append_skipped(rng, style, 6, text);
  text += label_text(rng, first.a, 2);
  append_skipped(rng, style, 3, text);
  text += label_text(rng, first.b, 3);
  append_skipped(rng, style, 1, text);
  text += label_text(rng, second.a, 2);
  append_skipped(rng, style, 3, text);
  text += label_text(rng, second.b, 3);
  append_skipped(rng, style, 3, text);
  text += digit;
  append_skipped(rng, style, 4, text);
  text += species;
  append_skipped(rng, style, 24, text);
  text += freq.text;
  bool frequency_read = true;
  bool species_read = true;
  if (rng.one_in(100)) {
    // A short line: one that ends before the frequency reads 0.0; one that ends before the
    // species reads a blank species.
    const std::size_t length =
        rng.one_in(2) ? static_cast<std::size_t>(rng.between(32, 56)) : static_cast<std::size_t>(rng.between(23, 26));
    text.resize(length);
    frequency_read = false;
    species_read = length >= 32;
  } else if (rng.one_in(4)) {
    append_skipped(rng, 2, static_cast<std::size_t>(rng.between(1, 30)), text);
  }
  if (!last) text += rng.one_in(2) ? "\n" : "\r\n";

  GeneratedLine line{std::move(text), std::nullopt};
  const char read_species = species_read ? species : ' ';
  if (read_species != 'A' && read_species != 'E') return line;
  std::string frequency = frequency_columns(0);
  if (frequency_read) {
    switch (freq.kind) {
      case Frequency::Kind::placeholder:
      case Frequency::Kind::not_a_number: return line;
      case Frequency::Kind::infinity: frequency = " Infinity   "; break;
      case Frequency::Kind::minus_infinity: frequency = " -Infinity  "; break;
      case Frequency::Kind::number:
        // Exactly -900 as read is the placeholder however it is written (units count the
        // value after scaling by 1000, in 10^-5).
        if (freq.units == -900LL * 1000 * 100000) return line;
        frequency = frequency_columns(freq.units);
        break;
    }
  }
  const bool a_branch = read_species == 'A';
  line.record = dunta_record({frequency, first, a_branch ? parity_sign(first.a, first.b) : ' ', second,
                              a_branch ? parity_sign(second.a, second.b) : ' '});
  return line;
}

/// Shows a line's bytes with control bytes escaped, for failure messages.
std::string visible(const std::string& bytes) {
  std::string shown;
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    if (value >= 0x20 && value < 0x7F) {
      shown += byte;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", value);
      shown += escaped;
    }
  }
  return shown;
}

TEST(ConversionLarge, TwoHundredThousandLinesMatchModel) {
  constexpr std::size_t LINE_COUNT = 200000;
  SplitMix64 rng(0x4B4F5256E5D00908ULL);
  std::vector<GeneratedLine> lines;
  lines.reserve(LINE_COUNT);
  std::string input;
  input.reserve(LINE_COUNT * 80);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < LINE_COUNT; ++i) {
    lines.push_back(generate_line(rng, i + 1 == LINE_COUNT));
    input += lines.back().text;
    if (lines.back().record) ++kept;
  }
  // The generator must exercise both outcomes in quantity, or the check below means little.
  ASSERT_GT(kept, LINE_COUNT / 2);
  ASSERT_LT(kept, LINE_COUNT - LINE_COUNT / 10);

  ScratchDirectory scratch;
  scratch.write(INPUT_NAME, input);
  RunOptions options;
  options.time_limit = std::chrono::milliseconds(240000);
  const RunResult run = run_program(scratch.path(), options);

  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.signal, 0);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.error_output, "");
  const std::string output = scratch.read(OUTPUT_NAME);
  EXPECT_EQ(output.size(), kept * RECORD_BYTES) << "expected " << kept << " records";

  std::size_t offset = 0;
  std::size_t mismatches = 0;
  for (std::size_t i = 0; i < lines.size() && mismatches < 5; ++i) {
    if (!lines[i].record) continue;
    const std::size_t at = offset;
    offset += RECORD_BYTES;
    if (at < output.size() && output.compare(at, RECORD_BYTES, *lines[i].record) == 0) continue;
    const std::string actual = at < output.size() ? output.substr(at, RECORD_BYTES) : std::string();
    ++mismatches;
    ADD_FAILURE() << "input line " << (i + 1) << ": \"" << visible(lines[i].text) << "\"\n  expected \""
                  << visible(*lines[i].record) << "\"\n  actual   \"" << visible(actual) << "\"";
  }
  EXPECT_EQ(mismatches, 0u);
}

// ---------------------------------------------------------------------------------------------
// Locale: the data path uses no locale, so a comma-decimal locale changes no byte.

/// True when `locale -a` lists the locale (it prints "de_DE.utf8" for "de_DE.UTF-8").
bool locale_listed(const std::string& wanted) {
  const auto normalise = [](std::string name) {
    std::string out;
    for (const char c : name) {
      if (c != '-' && !std::isspace(static_cast<unsigned char>(c))) out += static_cast<char>(std::tolower(c));
    }
    return out;
  };
  FILE* list = ::popen("locale -a 2>/dev/null", "r");
  if (list == nullptr) return false;
  bool found = false;
  char name[256];
  while (std::fgets(name, sizeof name, list) != nullptr) {
    if (normalise(name) == normalise(wanted)) found = true;
  }
  ::pclose(list);
  return found;
}

/// Removes the locale variables from this process while it lives, so that the ones a run
/// adds are the only ones the program sees.
class LocaleVariablesCleared {
 public:
  LocaleVariablesCleared() {
    for (const char* name : NAMES) {
      if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
      ::unsetenv(name);
    }
  }
  ~LocaleVariablesCleared() {
    for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
  }
  LocaleVariablesCleared(const LocaleVariablesCleared&) = delete;
  LocaleVariablesCleared& operator=(const LocaleVariablesCleared&) = delete;

 private:
  static constexpr const char* NAMES[] = {"LC_ALL", "LC_NUMERIC", "LC_CTYPE", "LANG", "LANGUAGE"};
  std::vector<std::pair<std::string, std::string>> saved_;
};

TEST(ConversionLocale, CommaDecimalLocaleChangesNoByte) {
  if (!locale_listed("de_DE.UTF-8")) GTEST_SKIP() << "locale de_DE.UTF-8 is not installed";
  const LocaleVariablesCleared cleared;
  for (const char* name : {"examples", "zero_and_negative", "mixed_symmetry"}) {
    SCOPED_TRACE(name);
    const std::string input = golden_file(name, "input.txt");

    ScratchDirectory plain;
    plain.write(INPUT_NAME, input);
    RunOptions c_locale;
    c_locale.environment = {"LC_ALL=C", "LANG=C"};
    const RunResult plain_run = run_in(plain, c_locale);

    ScratchDirectory german;
    german.write(INPUT_NAME, input);
    RunOptions de_locale;
    de_locale.environment = {"LC_ALL=de_DE.UTF-8", "LANG=de_DE.UTF-8", "LC_NUMERIC=de_DE.UTF-8"};
    const RunResult german_run = run_in(german, de_locale);

    EXPECT_EQ(plain_run.exit_status, 0);
    EXPECT_EQ(german_run.exit_status, 0);
    EXPECT_EQ(plain_run.error_output, "");
    EXPECT_EQ(german_run.error_output, "");
    const std::string expected = golden_file(name, "expected.txt");
    EXPECT_EQ(plain.read(OUTPUT_NAME), expected);
    EXPECT_EQ(german.read(OUTPUT_NAME), expected);
  }
}

}  // namespace
}  // namespace e2e
