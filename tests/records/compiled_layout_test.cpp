// The code compiled for a constant layout must read and write exactly as the general walk of
// the same layout does: same values, same conditions, same bytes, same context line.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <string_view>

#include "records/compiled_layout.h"
#include "records/reader.h"
#include "records/writer.h"
#include "tests/support/scratch_directory.h"

namespace records {
namespace {

constexpr FieldSpec FIELDS[] = {
    FieldSpec::skip(2),       FieldSpec::integer(3), FieldSpec::skip(1), FieldSpec::real(10, 7),
    FieldSpec::characters(2), FieldSpec::integer(1), FieldSpec::skip(3), FieldSpec::real(12, 5),
};
constexpr FieldSpec ONE_LETTER[] = {FieldSpec::characters(1)};
constexpr StatementBranches ERROR_BRANCH{.error_branch = true};
constexpr std::int32_t IN = 31;
constexpr std::int32_t OUT = 32;

/// What one read produced.
struct ReadResult {
  std::int32_t status;
  std::int32_t first;
  double second;
  char text[3];
  std::int32_t third;
  double fourth;
  bool operator==(const ReadResult& other) const {
    return status == other.status && first == other.first && std::memcmp(&second, &other.second, sizeof second) == 0 &&
           std::memcmp(text, other.text, sizeof text) == 0 && third == other.third &&
           std::memcmp(&fourth, &other.fourth, sizeof fourth) == 0;
  }
};

using CompiledLayoutTest = test_support::ScratchDirectoryTest;

TEST_F(CompiledLayoutTest, ReadsAsTheGeneralWalk) {
  std::mt19937 random(20261208);
  const char alphabet[] = "0123456789     +-.,Ex\t";
  std::string text;
  for (int line = 0; line < 4000; ++line) {
    if (line % 2 == 0) {  // a record of common shapes, which the compiled code reads whole
      char record[64];
      std::snprintf(record, sizeof record, "..%3d %10.7f%c%c%1d ..%12.5f\n", static_cast<int>(random() % 1099) - 99,
                    static_cast<double>(random() % 1000000000) / 1e7, 'A' + static_cast<int>(random() % 26),
                    random() % 2 == 0 ? ' ' : 'q', static_cast<int>(random() % 10),
                    static_cast<double>(random() % 100000000000) / 1e5);
      text += record;
      continue;
    }
    const std::size_t length = random() % 45;
    for (std::size_t i = 0; i < length; ++i) text += alphabet[random() % (sizeof alphabet - 1)];
    text += '\n';
  }
  scratch_.write("a.txt", text);
  scratch_.write("b.txt", text);
  ASSERT_EQ(connect_unit({IN, "a.txt", BlankMode::null, FileStatus::old}, ERROR_BRANCH), 0);
  ASSERT_EQ(connect_unit({IN + 100, "b.txt", BlankMode::null, FileStatus::old}, ERROR_BRANCH), 0);
  // Unit IN reads through the compiled code, unit IN + 100 through the walk, line by line. The
  // two-column text field goes into an area of one, two or three bytes.
  const auto read_compiled = [](std::size_t text_size) {
    ReadResult compiled{};
    std::span<char> text_area(compiled.text, text_size);
    compiled.status = read_compiled_values<FIELDS>(IN, ERROR_BRANCH, compiled.first, compiled.second, text_area,
                                                   compiled.third, compiled.fourth);
    return compiled;
  };
  for (int line = 0; line < 4000; ++line) {
    const std::size_t text_size = 1 + static_cast<std::size_t>(line) % 3;
    const ReadResult compiled = read_compiled(text_size);
    ReadResult general{};
    const InputItem items[] = {InputItem::of(general.first), InputItem::of(general.second),
                               InputItem::of(general.text, text_size), InputItem::of(general.third),
                               InputItem::of(general.fourth)};
    general.status = read_record(IN + 100, RecordLayout(FIELDS), items, ERROR_BRANCH);
    ASSERT_EQ(compiled, general) << "line " << line + 1;
  }
  EXPECT_EQ(read_compiled(2).status, -1);
}

TEST_F(CompiledLayoutTest, WritesAsTheGeneralWalk) {
  ASSERT_EQ(connect_unit({OUT, "a.txt", BlankMode::null, FileStatus::unknown}, ERROR_BRANCH), 0);
  ASSERT_EQ(connect_unit({OUT + 100, "b.txt", BlankMode::null, FileStatus::unknown}, ERROR_BRANCH), 0);
  std::mt19937_64 random(8);
  const double reals[] = {0.0, -0.0, 0.5, -0.5, 12345.678, 1e6, -99999.999995, 1e300, 1e-300, 0.015625};
  for (int record = 0; record < 3000; ++record) {
    const char text[2] = {static_cast<char>('A' + record % 26), '\0'};
    const double any = std::bit_cast<double>(random());
    const OutputItem items[] = {
        OutputItem::of(static_cast<std::int32_t>(random() % 2200) - 1100),
        OutputItem::of(record % 3 == 0 ? any : reals[random() % 10]),
        OutputItem::of(text, static_cast<std::size_t>(1 + record % 2)),
        OutputItem::of(static_cast<std::int32_t>(random() % 14) - 2),
        OutputItem::of(reals[random() % 10] * (record % 2 == 0 ? 1.0 : -7.25)),
    };
    const std::int32_t general = write_record(OUT + 100, RecordLayout(FIELDS), items, ERROR_BRANCH);
    const std::int32_t compiled = write_compiled_values<FIELDS>(OUT, ERROR_BRANCH, items[0].integer, items[1].real,
                                                                std::string_view(items[2].bytes, items[2].length),
                                                                items[3].integer, items[4].real);
    ASSERT_EQ(compiled, general) << "record " << record;
  }
  close_all_units();
  EXPECT_EQ(scratch_.read("a.txt"), scratch_.read("b.txt"));
  EXPECT_EQ(scratch_.read("a.txt").size(), 3000u * (2 + 3 + 1 + 10 + 2 + 1 + 3 + 12 + 2));
}

TEST_F(CompiledLayoutTest, UnitRefusedAsByTheGeneralStatement) {
  // Units never connected: both statements refuse them before any column.
  constexpr std::int32_t UNFORMATTED_UNIT_STATUS = 257;
  ReadResult compiled{};
  std::span<char> text_area(compiled.text, 2);
  EXPECT_EQ(read_compiled_values<FIELDS>(IN, ERROR_BRANCH, compiled.first, compiled.second, text_area, compiled.third,
                                         compiled.fourth),
            UNFORMATTED_UNIT_STATUS);
  const OutputItem items[] = {OutputItem::of(1), OutputItem::of(2.0), OutputItem::of("ab", 2), OutputItem::of(3),
                              OutputItem::of(4.0)};
  EXPECT_EQ(read_record(IN + 100, RecordLayout(FIELDS), {}, ERROR_BRANCH), UNFORMATTED_UNIT_STATUS);
  EXPECT_EQ(write_compiled_values<FIELDS>(OUT, ERROR_BRANCH, 1, 2.0, std::string_view("ab"), 3, 4.0),
            write_record(OUT + 100, RecordLayout(FIELDS), items, ERROR_BRANCH));
  EXPECT_EQ(write_record(OUT + 200, RecordLayout(FIELDS), items, ERROR_BRANCH), UNFORMATTED_UNIT_STATUS);
}

TEST_F(CompiledLayoutTest, OneColumnTextFillsItsCharAlone) {
  scratch_.write("a.txt", "xyz\n");
  ASSERT_EQ(connect_unit({IN, "a.txt", BlankMode::null, FileStatus::old}, ERROR_BRANCH), 0);
  struct {
    char letter = '?';
    char next = '!';
  } record;
  ASSERT_EQ(read_compiled_values<ONE_LETTER>(IN, ERROR_BRANCH, record.letter), 0);
  EXPECT_EQ(record.letter, 'x');
  EXPECT_EQ(record.next, '!');
}

TEST(CompiledVariables, GeneralStatementWorksOnCopies) {
  // What the general statement fills goes back to the variables; a field it leaves alone keeps
  // its value; bytes of a span are filled in place.
  std::int32_t number = 7;
  double real = 1.5;
  char letter = 'a';
  char area[2] = {'x', 'y'};
  std::span<char> text(area, 2);
  const compiled::VariableTargets<std::int32_t, double, char, std::span<char>> targets{{number, real, letter, text}};
  const std::int32_t status = targets.through_copies([](std::span<const InputItem> items) {
    EXPECT_EQ(*static_cast<std::int32_t*>(items[0].target), 7);
    *static_cast<std::int32_t*>(items[0].target) = 42;
    *static_cast<char*>(items[2].target) = 'Z';
    static_cast<char*>(items[3].target)[1] = 'q';
    return 5;
  });
  EXPECT_EQ(status, 5);
  EXPECT_EQ(number, 42);
  EXPECT_EQ(real, 1.5);
  EXPECT_EQ(letter, 'Z');
  EXPECT_EQ(std::string_view(area, 2), "xq");

  // The values go as copies: a char and an array of chars as their bytes.
  const char pair[2] = {'P', 'Q'};
  const std::int32_t negative = -3;
  const compiled::VariableValues<std::int32_t, char, char[2], std::string_view> values{{negative, 'c', pair, "long"}};
  values.through_copies([&](std::span<const OutputItem> items) {
    EXPECT_EQ(items[0].integer, -3);
    EXPECT_EQ(items[1].as_bytes(), "c");
    EXPECT_EQ(items[2].as_bytes(), "PQ");
    EXPECT_NE(items[2].bytes, pair);  // a copy
    EXPECT_EQ(items[3].as_bytes(), "long");
    return 0;
  });
}

}  // namespace
}  // namespace records
