// Input lines and output records written by hand from the two layouts, for the tests that run
// the whole conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace test_support {

/// Bytes of one output record in the file: 66 columns, CR, LF.
inline constexpr std::size_t RECORD_BYTES = 68;

/// `text` right-aligned in `width` columns.
inline std::string right_aligned(std::string_view text, std::size_t width) {
  if (text.size() > width) throw std::logic_error("text wider than its field: " + std::string(text));
  return std::string(width - text.size(), ' ') + std::string(text);
}

/// An integer as the output shows it: right-aligned, asterisks when it does not fit.
inline std::string integer_columns(std::int64_t value, std::size_t width) {
  const std::string text = std::to_string(value);
  return text.size() > width ? std::string(width, '*') : right_aligned(text, width);
}

/// Puts `text` into `line` from its 1-based `column`; the text must be exactly `width` long.
inline void place(std::string& line, std::size_t column, std::size_t width, std::string_view text) {
  if (text.size() != width) throw std::logic_error("field text of the wrong width: \"" + std::string(text) + "\"");
  line.replace(column - 1, width, text);
}

/// The texts of the seven fields of an input line, each as wide as its columns. The defaults
/// are the worked E example: first state 3/1, second 2/1, digit 0, frequency 12.345678.
struct KorvFields {
  std::string first_a = " 3";            ///< columns 7-8
  std::string first_b = "  1";           ///< columns 12-14
  std::string second_a = " 2";           ///< columns 16-17
  std::string second_b = "  1";          ///< columns 21-23
  std::string digit = "0";               ///< column 27
  std::string species = "E";             ///< column 32
  std::string frequency = " 12.345678";  ///< columns 57-66
};

/// The 66 columns of an input line (no line end); the columns no field names hold `filler`.
inline std::string korv_line(const KorvFields& fields = {}, char filler = ' ') {
  std::string line(66, filler);
  place(line, 7, 2, fields.first_a);
  place(line, 12, 3, fields.first_b);
  place(line, 16, 2, fields.second_a);
  place(line, 21, 3, fields.second_b);
  place(line, 27, 1, fields.digit);
  place(line, 32, 1, fields.species);
  place(line, 57, 10, fields.frequency);
  return line;
}

/// The labels of one state as read.
struct State {
  std::int64_t a = 0;
  std::int64_t b = 0;
};

/// What one output record shows; the rules add the rest.
struct DuntaFields {
  std::string frequency;  ///< the 12 columns of the frequency times 1000
  State first;
  char first_sign = ' ';
  State second;
  char second_sign = ' ';
};

/// The 68 bytes of an output record: leads 0, each state's labels and a + 1, the signs, the
/// trailer 1 and 1005, six blanks, CR LF.
inline std::string dunta_record(const DuntaFields& fields) {
  std::string record(66, ' ');
  place(record, 1, 12, fields.frequency);
  place(record, 13, 2, integer_columns(0, 2));
  place(record, 17, 2, integer_columns(fields.first.a, 2));
  place(record, 21, 3, integer_columns(fields.first.b, 3));
  record[25] = fields.first_sign;
  place(record, 28, 2, integer_columns(fields.first.a + 1, 2));
  place(record, 32, 1, integer_columns(0, 1));
  place(record, 35, 2, integer_columns(fields.second.a, 2));
  place(record, 39, 3, integer_columns(fields.second.b, 3));
  record[43] = fields.second_sign;
  place(record, 46, 2, integer_columns(fields.second.a + 1, 2));
  place(record, 50, 1, "1");
  place(record, 54, 4, "1005");
  return record + "\r\n";
}

/// The worked E example as an input line ending in CR LF.
inline std::string example_line() { return korv_line() + "\r\n"; }

/// The record of `example_line`: 12345.678 at five decimals, next labels 4 and 3, blank signs.
inline std::string example_record() {
  return dunta_record({.frequency = " 12345.67800", .first = {3, 1}, .second = {2, 1}});
}

}  // namespace test_support
