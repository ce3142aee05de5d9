// The code compiled for a constant layout must read and write exactly as the general walk of
// the same layout does: same values, same conditions, same bytes, same context line.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
constexpr StatementBranches ERROR_BRANCH{false, false, true, false};
constexpr std::int32_t IN = 31;
constexpr std::int32_t OUT = 32;

/// What one read produced.
struct ReadResult {
  std::int32_t status;
  std::int32_t first;
  double second;
  char text[2];
  std::int32_t third;
  double fourth;
  bool operator==(const ReadResult& other) const {
    return status == other.status && first == other.first && std::memcmp(&second, &other.second, sizeof second) == 0 &&
           std::memcmp(text, other.text, sizeof text) == 0 && third == other.third &&
           std::memcmp(&fourth, &other.fourth, sizeof fourth) == 0;
  }
};

using CompiledLayoutTest = test_support::ScratchDirectoryTest;

ReadResult read_one(bool compiled) {
  ReadResult result{};
  const InputItem items[] = {InputItem::of(result.first), InputItem::of(result.second), InputItem::of(result.text, 2),
                             InputItem::of(result.third), InputItem::of(result.fourth)};
  result.status = compiled ? read_compiled_record<FIELDS>(IN, items, ERROR_BRANCH)
                           : read_record(IN, RecordLayout(FIELDS), items, ERROR_BRANCH);
  return result;
}

TEST_F(CompiledLayoutTest, ReadsAsTheGeneralWalk) {
  std::mt19937 random(20261208);
  const char alphabet[] = "0123456789     +-.,Ex\t";
  std::string text;
  for (int line = 0; line < 4000; ++line) {
    const std::size_t length = random() % 45;
    for (std::size_t i = 0; i < length; ++i) text += alphabet[random() % (sizeof alphabet - 1)];
    text += '\n';
  }
  scratch_.write("a.txt", text);
  scratch_.write("b.txt", text);
  scratch_.write("c.txt", text);
  ASSERT_EQ(connect_unit({IN, "a.txt", BlankMode::null, FileStatus::old}, ERROR_BRANCH), 0);
  ASSERT_EQ(connect_unit({IN + 100, "b.txt", BlankMode::null, FileStatus::old}, ERROR_BRANCH), 0);
  ASSERT_EQ(connect_unit({IN + 200, "c.txt", BlankMode::null, FileStatus::old}, ERROR_BRANCH), 0);
  // Unit IN reads through the compiled code with items, unit IN + 200 with variables, unit
  // IN + 100 through the walk, line by line.
  for (int line = 0; line < 4000; ++line) {
    const ReadResult compiled = read_one(true);
    ReadResult variables{};
    std::span<char> text_area(variables.text, 2);
    variables.status = read_compiled_values<FIELDS>(IN + 200, ERROR_BRANCH, variables.first, variables.second,
                                                    text_area, variables.third, variables.fourth);
    ReadResult general{};
    const InputItem items[] = {InputItem::of(general.first), InputItem::of(general.second),
                               InputItem::of(general.text, 2), InputItem::of(general.third),
                               InputItem::of(general.fourth)};
    general.status = read_record(IN + 100, RecordLayout(FIELDS), items, ERROR_BRANCH);
    ASSERT_EQ(compiled, general) << "line " << line + 1;
    ASSERT_EQ(variables, general) << "line " << line + 1;
  }
  EXPECT_EQ(read_one(true).status, -1);
}

TEST_F(CompiledLayoutTest, WritesAsTheGeneralWalk) {
  ASSERT_EQ(connect_unit({OUT, "a.txt", BlankMode::null, FileStatus::unknown}, ERROR_BRANCH), 0);
  ASSERT_EQ(connect_unit({OUT + 100, "b.txt", BlankMode::null, FileStatus::unknown}, ERROR_BRANCH), 0);
  ASSERT_EQ(connect_unit({OUT + 200, "c.txt", BlankMode::null, FileStatus::unknown}, ERROR_BRANCH), 0);
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
    const std::int32_t compiled = write_compiled_record<FIELDS>(OUT, items, ERROR_BRANCH);
    const std::int32_t general = write_record(OUT + 100, RecordLayout(FIELDS), items, ERROR_BRANCH);
    const std::int32_t variables = write_compiled_values<FIELDS>(
        OUT + 200, ERROR_BRANCH, items[0].integer, items[1].real, std::string_view(items[2].bytes, items[2].length),
        items[3].integer, items[4].real);
    ASSERT_EQ(compiled, general) << "record " << record;
    ASSERT_EQ(variables, general) << "record " << record;
  }
  close_all_units();
  EXPECT_EQ(scratch_.read("a.txt"), scratch_.read("b.txt"));
  EXPECT_EQ(scratch_.read("c.txt"), scratch_.read("b.txt"));
  EXPECT_EQ(scratch_.read("a.txt").size(), 3000u * (2 + 3 + 1 + 10 + 2 + 1 + 3 + 12 + 2));
}

TEST_F(CompiledLayoutTest, FewerOrMismatchedItemsGoAsInTheGeneralStatement) {
  constexpr std::int32_t TYPE_MISMATCH_STATUS = 61;  // the row of the type mismatch condition
  // Three records: fewer items than fields, an item of the wrong kind, then all items right.
  // skip 2, integer 3, skip 1, real 10.7, text 2, integer 1, skip 3, real 12.5
  const std::string line = std::string("   12 ") + "       3.5" + "AB" + "7" + "   " + "    99.12345" + "\n";
  const std::string text = line + line + line;
  scratch_.write("a.txt", text);
  scratch_.write("b.txt", text);
  ASSERT_EQ(connect_unit({IN, "a.txt", BlankMode::null, FileStatus::old}, ERROR_BRANCH), 0);
  ASSERT_EQ(connect_unit({IN + 100, "b.txt", BlankMode::null, FileStatus::old}, ERROR_BRANCH), 0);
  const auto both = [&](auto make_items) {
    ReadResult compiled{};
    ReadResult general{};
    const auto compiled_items = make_items(compiled);
    const auto general_items = make_items(general);
    compiled.status = read_compiled_record<FIELDS>(IN, compiled_items, ERROR_BRANCH);
    general.status = read_record(IN + 100, RecordLayout(FIELDS), general_items, ERROR_BRANCH);
    EXPECT_EQ(compiled, general);
    return compiled;
  };
  const ReadResult fewer = both([](ReadResult& r) {
    return std::vector<InputItem>{InputItem::of(r.first), InputItem::of(r.second), InputItem::of(r.text, 2)};
  });
  EXPECT_EQ(fewer.status, 0);
  EXPECT_EQ(fewer.first, 12);
  EXPECT_EQ(fewer.third, 0);  // no item, never read
  const ReadResult mismatched = both([](ReadResult& r) {
    return std::vector<InputItem>{InputItem::of(r.first), InputItem::of(r.third), InputItem::of(r.text, 2)};
  });
  EXPECT_EQ(mismatched.status, TYPE_MISMATCH_STATUS);
  const ReadResult whole = both([](ReadResult& r) {
    return std::vector<InputItem>{InputItem::of(r.first), InputItem::of(r.second), InputItem::of(r.text, 2),
                                  InputItem::of(r.third), InputItem::of(r.fourth)};
  });
  EXPECT_EQ(whole.status, 0);
  EXPECT_EQ(whole.third, 7);
  EXPECT_EQ(whole.fourth, 99.12345);

  ASSERT_EQ(connect_unit({OUT, "c.txt", BlankMode::null, FileStatus::unknown}, ERROR_BRANCH), 0);
  ASSERT_EQ(connect_unit({OUT + 100, "d.txt", BlankMode::null, FileStatus::unknown}, ERROR_BRANCH), 0);
  const OutputItem short_list[] = {OutputItem::of(std::int32_t{5}), OutputItem::of(2.5)};
  EXPECT_EQ(write_compiled_record<FIELDS>(OUT, short_list, ERROR_BRANCH),
            write_record(OUT + 100, RecordLayout(FIELDS), short_list, ERROR_BRANCH));
  // A number in a text field goes as its bytes; a text in a numeric field is a type mismatch.
  const OutputItem mixed[] = {OutputItem::of(std::int32_t{5}), OutputItem::of(2.5),
                              OutputItem::of(std::int32_t{0x4142}), OutputItem::of("x", 1), OutputItem::of(1.0)};
  const std::int32_t status = write_compiled_record<FIELDS>(OUT, mixed, ERROR_BRANCH);
  EXPECT_EQ(status, write_record(OUT + 100, RecordLayout(FIELDS), mixed, ERROR_BRANCH));
  EXPECT_EQ(status, TYPE_MISMATCH_STATUS);
  close_all_units();
  EXPECT_EQ(scratch_.read("c.txt"), scratch_.read("d.txt"));
  EXPECT_EQ(scratch_.read("c.txt"), "    5  2.5000000\r\n");  // the short list ends the record after its last value
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
