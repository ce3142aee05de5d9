// The text of a severe report as every test that reads one expects it, composed independently
// of the program: the diagnostic line, the traceback's title line and its rows.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

/// The column titles that follow every severe diagnostic line: Image, PC, Routine, Line and
/// Source, each left-aligned in 19, 10, 19, 12 and 19 columns.
inline const std::string TRACEBACK_HEADER =
    "Image              PC        Routine            Line        Source             \n";

/// The program's own module in the 17 columns a traceback row gives it.
#ifdef _WIN32
inline const std::string PROGRAM_MODULE_COLUMNS = "korv2dunta.exe   ";
#else
inline const std::string PROGRAM_MODULE_COLUMNS = "korv2dunta       ";
#endif

/// Most rows a traceback shows.
inline constexpr std::size_t MAX_TRACEBACK_ROWS = 20;

/// The traceback as a death test's regular expression: the title line and its rows.
inline const std::string TRACEBACK = TRACEBACK_HEADER + "([^\n]{17}  [0-9A-F]{8,}  [^\n]{17}  [^\n]{10}  [^\n]*\n)*";

/// The first line of a severe diagnostic about a file.
inline std::string severe_line(int number, std::string_view text, int unit, const std::string& file) {
  return "korv2dunta: severe (" + std::to_string(number) + "): " + std::string(text) + ", unit " +
         std::to_string(unit) + ", file " + file + "\r\n";
}

/// True for one traceback row: the module in 17 columns, two blanks, the PC in 8 or more
/// upper-case hexadecimal digits, two blanks, the routine in 17 columns, two blanks, the line
/// in 10 columns, two blanks, the source, and a line feed (no carriage return).
inline bool is_traceback_row(std::string_view row) {
  if (row.empty() || row.back() != '\n') return false;
  row.remove_suffix(1);
  if (row.find_first_of("\r\n") != std::string_view::npos) return false;
  if (row.size() < 17 + 2 || row.substr(17, 2) != "  ") return false;
  row.remove_prefix(17 + 2);
  const std::size_t digits = row.find_first_not_of("0123456789ABCDEF");
  if (digits == std::string_view::npos || digits < 8) return false;
  row.remove_prefix(digits);
  if (row.size() < 2 + 17 + 2 + 10 + 2) return false;
  return row.substr(0, 2) == "  " && row.substr(2 + 17, 2) == "  " && row.substr(2 + 17 + 2 + 10, 2) == "  ";
}

/// Splits text after every line feed; a last piece without one is kept as it is.
inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::size_t next = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, next - start));
    start = next;
  }
  return lines;
}

/// Checks a severe report: `head` exactly, then a traceback (its title line and 1 to 20
/// well-formed rows, the innermost in the program's own module), then `tail` exactly.
inline void expect_severe_report(const std::string& error_output, const std::string& head,
                                 const std::string& tail = "") {
  ASSERT_TRUE(error_output.starts_with(head)) << "expected head:\n" << head << "stderr:\n" << error_output;
  ASSERT_GE(error_output.size(), head.size() + tail.size()) << error_output;
  ASSERT_TRUE(error_output.ends_with(tail)) << "expected tail:\n" << tail << "stderr:\n" << error_output;
  const std::vector<std::string> lines =
      split_lines(error_output.substr(head.size(), error_output.size() - head.size() - tail.size()));
  ASSERT_GE(lines.size(), 2u) << "no traceback rows in:\n" << error_output;
  EXPECT_EQ(lines[0], TRACEBACK_HEADER);
  EXPECT_LE(lines.size() - 1, MAX_TRACEBACK_ROWS);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_TRUE(is_traceback_row(lines[i])) << "row " << i << ": \"" << lines[i] << "\"";
  }
  EXPECT_EQ(lines[1].substr(0, 17), PROGRAM_MODULE_COLUMNS) << "innermost row: " << lines[1];
}

}  // namespace test_support
