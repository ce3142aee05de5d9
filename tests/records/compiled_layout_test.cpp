// The code compiled for a constant layout must read and write exactly as the general walk of
// the same layout does: same values, same conditions, same bytes, same context line.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <string>
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
  put("a.txt", text);
  put("b.txt", text);
  ASSERT_EQ(connect_unit({IN, "a.txt", BlankMode::null, FileStatus::old}, ERROR_BRANCH), 0);
  ASSERT_EQ(connect_unit({IN + 100, "b.txt", BlankMode::null, FileStatus::old}, ERROR_BRANCH), 0);
  // Unit IN reads through the compiled code, unit IN + 100 through the walk, line by line.
  for (int line = 0; line < 4000; ++line) {
    set_diagnostic_note(nullptr);
    const ReadResult compiled = read_one(true);
    ReadResult general{};
    const InputItem items[] = {InputItem::of(general.first), InputItem::of(general.second),
                               InputItem::of(general.text, 2), InputItem::of(general.third),
                               InputItem::of(general.fourth)};
    general.status = read_record(IN + 100, RecordLayout(FIELDS), items, ERROR_BRANCH);
    ASSERT_EQ(compiled, general) << "line " << line + 1;
  }
  EXPECT_EQ(read_one(true).status, -1);
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
    const std::int32_t compiled = write_compiled_record<FIELDS>(OUT, items, ERROR_BRANCH);
    const std::int32_t general = write_record(OUT + 100, RecordLayout(FIELDS), items, ERROR_BRANCH);
    ASSERT_EQ(compiled, general) << "record " << record;
  }
  close_all_units();
  EXPECT_EQ(slurp("a.txt"), slurp("b.txt"));
  EXPECT_EQ(slurp("a.txt").size(), 3000u * (2 + 3 + 1 + 10 + 2 + 1 + 3 + 12 + 2));
}

}  // namespace
}  // namespace records
