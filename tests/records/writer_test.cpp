// The record writer through write_record on real files: blanks in skipped columns, the record
// ending at its last value with CR LF, one platform write per record, values that do not fit,
// bytes copied as they are, the record area growing for long records, and the write conditions.
//
// Asterisks for a value too wide, the cut of an earlier output and a read-only output have
// their homes in the end-to-end tests (conversion_test.cpp, foundation_test.cpp); the copies
// here pin the writer's own part: one write per record, and the quiet result a branch takes.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "records/diagnostics.h"
#include "records/unit_connection.h"
#include "records/writer.h"
#include "tests/support/scratch_directory.h"

namespace records {
namespace {

constexpr StatementBranches NO_BRANCHES{};
constexpr StatementBranches QUIET{.quiet_output_conversion = true};
constexpr StatementBranches ERROR_BRANCH{.error_branch = true};
constexpr std::int32_t UNIT = 58;

constexpr std::int32_t status_of(std::uint32_t number) { return static_cast<std::int32_t>(number); }

/// The bytes of every platform write since the test began.
std::vector<std::string> writes;

platform::OsError recording_write(platform::FileHandle file, const char* bytes, std::size_t count) noexcept {
  writes.emplace_back(bytes, count);
  return platform::native_file_calls().write(file, bytes, count);
}

platform::OsError failing_write(platform::FileHandle, const char* bytes, std::size_t count) noexcept {
  writes.emplace_back(bytes, count);
  return ENOSPC;
}

/// An open refused for writing, as for a file marked read-only: the retry for reading succeeds.
platform::OpenResult refuse_writing(const char* path, platform::OpenAccess access,
                                    platform::OpenCreation creation) noexcept {
  if (access == platform::OpenAccess::read_write) return {platform::NO_FILE, EACCES};
  return platform::native_file_calls().open(path, access, creation);
}

/// A scratch current directory with unit 58 connected to "out.txt", its writes recorded.
class WriterTest : public test_support::ScratchDirectoryTest {
 protected:
  void SetUp() override {
    ScratchDirectoryTest::SetUp();
    writes.clear();
    platform::file_calls().write = recording_write;
  }

  static void connect_output() {
    ASSERT_EQ(connect_unit({UNIT, "out.txt", BlankMode::null, FileStatus::unknown}, ERROR_BRANCH), 0);
  }
  std::string output_path() const { return scratch_.file("out.txt"); }
  static std::string blanks(std::size_t count) { return std::string(count, ' '); }
};

// ---- framing and columns -------------------------------------------------------------------

using RecordWriting = WriterTest;

TEST_F(RecordWriting, SkippedColumnsAreBlank) {
  connect_output();
  const FieldSpec layout[] = {FieldSpec::skip(3),       FieldSpec::integer(2), FieldSpec::skip(2),
                              FieldSpec::characters(1), FieldSpec::skip(1),    FieldSpec::real(6, 2)};
  const OutputItem items[] = {OutputItem::of(5), OutputItem::of("x", 1), OutputItem::of(1.5)};
  ASSERT_EQ(write_record(UNIT, layout, items, QUIET), 0);
  // Columns 1-3 skipped, 4-5 " 5", 6-7 skipped, 8 "x", 9 skipped, 10-15 "  1.50".
  const std::string record = "    5  x   1.50\r\n";
  EXPECT_EQ(writes, std::vector<std::string>{record});
  EXPECT_EQ(scratch_.read("out.txt"), record);
}

TEST_F(RecordWriting, RecordEndsAtItsLastValue) {
  connect_output();
  // Skips after the last value move the position but do not lengthen the record; the walk
  // also stops at a value field that has no value left.
  const FieldSpec trailing_skip[] = {FieldSpec::integer(1), FieldSpec::skip(5)};
  const FieldSpec field_without_value[] = {FieldSpec::integer(1), FieldSpec::skip(2), FieldSpec::integer(1)};
  const OutputItem items[] = {OutputItem::of(7)};
  ASSERT_EQ(write_record(UNIT, trailing_skip, items, QUIET), 0);
  ASSERT_EQ(write_record(UNIT, field_without_value, items, QUIET), 0);
  EXPECT_EQ(writes, (std::vector<std::string>{"7\r\n", "7\r\n"}));
}

TEST_F(RecordWriting, TrailingBlanksOfAFieldArePartOfTheRecord) {
  connect_output();
  const FieldSpec layout[] = {FieldSpec::integer(1), FieldSpec::characters(6)};
  const OutputItem items[] = {OutputItem::of(1), OutputItem::of("      ", 6)};
  ASSERT_EQ(write_record(UNIT, layout, items, QUIET), 0);
  EXPECT_EQ(scratch_.read("out.txt"), "1      \r\n");
}

TEST_F(RecordWriting, OneWritePerRecord) {
  connect_output();
  const FieldSpec layout[] = {FieldSpec::integer(4)};
  for (const std::int32_t value : {1, 22, 333}) {
    const OutputItem items[] = {OutputItem::of(value)};
    ASSERT_EQ(write_record(UNIT, layout, items, QUIET), 0);
    EXPECT_FALSE(find_unit(UNIT)->busy.load());
  }
  EXPECT_EQ(writes, (std::vector<std::string>{"   1\r\n", "  22\r\n", " 333\r\n"}));
  EXPECT_EQ(scratch_.read("out.txt"), "   1\r\n  22\r\n 333\r\n");
}

TEST_F(RecordWriting, ZeroByteLandsAsAZeroByte) {
  connect_output();
  const FieldSpec layout[] = {FieldSpec::characters(1), FieldSpec::skip(1), FieldSpec::characters(3)};
  const OutputItem items[] = {OutputItem::of("\0", 1), OutputItem::of("a\0b", 3)};
  ASSERT_EQ(write_record(UNIT, layout, items, QUIET), 0);
  EXPECT_EQ(scratch_.read("out.txt"), std::string("\0 a\0b\r\n", 7));
}

TEST_F(RecordWriting, CharacterFieldTakesAnyValueAsItsBytes) {
  connect_output();
  const std::int32_t integer = 0x64636261;
  const double real = -1234.5;
  const FieldSpec layout[] = {FieldSpec::characters(4), FieldSpec::characters(8)};
  const OutputItem items[] = {OutputItem::of(integer), OutputItem::of(real)};
  ASSERT_EQ(write_record(UNIT, layout, items, QUIET), 0);
  std::string expected(12, '\0');
  std::memcpy(expected.data(), &integer, 4);
  std::memcpy(expected.data() + 4, &real, 8);
  EXPECT_EQ(scratch_.read("out.txt"), expected + "\r\n");
  if constexpr (std::endian::native == std::endian::little) {
    EXPECT_EQ(expected.substr(0, 4), "abcd");
  }
}

TEST_F(RecordWriting, FirstRecordCutsALongerOldFile) {
  scratch_.write("out.txt", std::string(1000, 'o') + "\r\n");
  connect_output();
  const FieldSpec layout[] = {FieldSpec::integer(2)};
  const OutputItem first[] = {OutputItem::of(1)};
  const OutputItem second[] = {OutputItem::of(2)};
  ASSERT_EQ(write_record(UNIT, layout, first, QUIET), 0);
  EXPECT_EQ(scratch_.read("out.txt"), " 1\r\n");
  ASSERT_EQ(write_record(UNIT, layout, second, QUIET), 0);
  EXPECT_EQ(scratch_.read("out.txt"), " 1\r\n 2\r\n");
}

// ---- values that do not fit ----------------------------------------------------------------

using ValueOverflow = WriterTest;

TEST_F(ValueOverflow, RecordWrittenInFullAndOneQuietResult) {
  connect_output();
  const FieldSpec layout[] = {FieldSpec::integer(2), FieldSpec::skip(1),    FieldSpec::real(12, 5),
                              FieldSpec::skip(1),    FieldSpec::integer(1), FieldSpec::characters(2)};
  const OutputItem items[] = {OutputItem::of(100), OutputItem::of(1000000.0), OutputItem::of(5),
                              OutputItem::of("ok", 2)};
  ::testing::internal::CaptureStderr();
  const std::int32_t status = write_record(UNIT, layout, items, QUIET);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(status, status_of(63));
  EXPECT_EQ(writes, std::vector<std::string>{"** ************ 5ok\r\n"});
  EXPECT_FALSE(find_unit(UNIT)->busy.load());
  // The run goes on: the next record is written normally.
  const OutputItem fitting[] = {OutputItem::of(10), OutputItem::of(0.5), OutputItem::of(5), OutputItem::of("ok", 2)};
  EXPECT_EQ(write_record(UNIT, layout, fitting, QUIET), 0);
  EXPECT_EQ(scratch_.read("out.txt"), "** ************ 5ok\r\n10      0.50000 5ok\r\n");
}

TEST_F(ValueOverflow, PrintedOnceWithoutTheQuietMark) {
  // Class 2: printed, and the statement goes on with 63 as its result.
  connect_output();
  const FieldSpec layout[] = {FieldSpec::integer(1), FieldSpec::integer(1)};
  const OutputItem items[] = {OutputItem::of(10), OutputItem::of(-1)};
  ::testing::internal::CaptureStderr();
  const std::int32_t status = write_record(UNIT, layout, items, NO_BRANCHES);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "korv2dunta: error (63): output conversion error, unit 58, file " + output_path() + "\r\n");
  EXPECT_EQ(status, status_of(63));
  EXPECT_EQ(scratch_.read("out.txt"), "**\r\n");
}

TEST_F(ValueOverflow, ErrorBranchTakesItSilently) {
  connect_output();
  const FieldSpec layout[] = {FieldSpec::integer(2)};
  const OutputItem items[] = {OutputItem::of(-10)};
  ::testing::internal::CaptureStderr();
  const std::int32_t status = write_record(UNIT, layout, items, ERROR_BRANCH);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(status, status_of(63));
  EXPECT_EQ(scratch_.read("out.txt"), "**\r\n");
}

// ---- the record area -----------------------------------------------------------------------

using RecordArea = WriterTest;

TEST_F(RecordArea, LongRecordGrowsWithBlanks) {
  connect_output();
  // Columns 1-3, then 131-135 across the initial 133-column room, then 696-700.
  const FieldSpec layout[] = {FieldSpec::integer(3), FieldSpec::skip(127), FieldSpec::integer(5), FieldSpec::skip(560),
                              FieldSpec::characters(5)};
  const OutputItem items[] = {OutputItem::of(1), OutputItem::of(12345), OutputItem::of("abcde", 5)};
  ASSERT_EQ(write_record(UNIT, layout, items, QUIET), 0);
  const std::string record = "  1" + blanks(127) + "12345" + blanks(560) + "abcde" + "\r\n";
  ASSERT_EQ(record.size(), 702u);
  EXPECT_EQ(writes, std::vector<std::string>{record});
}

TEST_F(RecordArea, RecordsAroundTheRoomAndTheBufferSize) {
  connect_output();
  std::string expected_file;
  for (const std::size_t length : {132u, 133u, 134u, 645u, 646u, 8187u, 8188u, 8189u, 8190u, 8192u, 9000u, 20000u}) {
    SCOPED_TRACE(length);
    const FieldSpec layout[] = {FieldSpec::skip(static_cast<std::uint16_t>(length - 1)), FieldSpec::characters(1)};
    const OutputItem items[] = {OutputItem::of("z", 1)};
    writes.clear();
    ASSERT_EQ(write_record(UNIT, layout, items, QUIET), 0);
    const std::string record = blanks(length - 1) + "z\r\n";
    EXPECT_EQ(writes, std::vector<std::string>{record});
    expected_file += record;
  }
  EXPECT_EQ(scratch_.read("out.txt"), expected_file);
}

TEST_F(RecordArea, NothingOfOneRecordSurvivesIntoTheNext) {
  connect_output();
  const FieldSpec long_layout[] = {FieldSpec::characters(700)};
  const std::string full(700, '#');
  const OutputItem long_items[] = {OutputItem::of(full.data(), full.size())};
  ASSERT_EQ(write_record(UNIT, long_layout, long_items, QUIET), 0);
  const FieldSpec short_layout[] = {FieldSpec::skip(650), FieldSpec::characters(1)};
  const FieldSpec wide_layout[] = {FieldSpec::skip(699), FieldSpec::characters(1)};
  const OutputItem one[] = {OutputItem::of("x", 1)};
  ASSERT_EQ(write_record(UNIT, short_layout, one, QUIET), 0);
  ASSERT_EQ(write_record(UNIT, wide_layout, one, QUIET), 0);
  EXPECT_EQ(writes, (std::vector<std::string>{full + "\r\n", blanks(650) + "x\r\n", blanks(699) + "x\r\n"}));
}

// ---- conditions ----------------------------------------------------------------------------

using WriteConditions = WriterTest;
using WriteConditionsDeathTest = WriterTest;

TEST_F(WriteConditions, ReadOnlyUnitIsRefusedBeforeAnyByte) {
  scratch_.write("out.txt", "old\r\n");
  platform::file_calls().open = refuse_writing;
  connect_output();
  ASSERT_TRUE(find_unit(UNIT)->marks.read_only);
  const FieldSpec layout[] = {FieldSpec::integer(2)};
  const OutputItem items[] = {OutputItem::of(1)};
  EXPECT_EQ(write_record(UNIT, layout, items, ERROR_BRANCH), status_of(47));
  EXPECT_TRUE(writes.empty());
  EXPECT_EQ(scratch_.read("out.txt"), "old\r\n");
  EXPECT_FALSE(find_unit(UNIT)->busy.load());
}

TEST_F(WriteConditionsDeathTest, ReadOnlyUnitDiagnostic) {
  scratch_.write("out.txt", "old\r\n");
  platform::file_calls().open = refuse_writing;
  connect_output();
  const FieldSpec layout[] = {FieldSpec::integer(2)};
  const OutputItem items[] = {OutputItem::of(1)};
  EXPECT_EXIT((void)write_record(UNIT, layout, items, QUIET), ::testing::ExitedWithCode(47),
              "^korv2dunta: severe \\(47\\): write to READONLY file, unit 58, file " +
                  test_support::escape_regex(output_path()) + "\r\n" + test_support::TRACEBACK + "$");
  EXPECT_EQ(scratch_.read("out.txt"), "old\r\n");
}

TEST_F(WriteConditions, KindMismatchIsRefusedAndWritesNothing) {
  connect_output();
  const FieldSpec layout[] = {FieldSpec::integer(2), FieldSpec::real(6, 2)};
  const OutputItem good[] = {OutputItem::of(1), OutputItem::of(2.0)};
  ASSERT_EQ(write_record(UNIT, layout, good, ERROR_BRANCH), 0);
  const OutputItem real_for_integer[] = {OutputItem::of(1.0), OutputItem::of(2.0)};
  const OutputItem integer_for_real[] = {OutputItem::of(1), OutputItem::of(2)};
  const OutputItem text_for_integer[] = {OutputItem::of("1", 1), OutputItem::of(2.0)};
  for (const auto* items : {real_for_integer, integer_for_real, text_for_integer}) {
    EXPECT_EQ(write_record(UNIT, layout, {items, 2}, ERROR_BRANCH), status_of(61));
    EXPECT_FALSE(find_unit(UNIT)->busy.load());
  }
  EXPECT_EQ(writes.size(), 1u);
  EXPECT_EQ(scratch_.read("out.txt"), " 1  2.00\r\n");
}

TEST_F(WriteConditionsDeathTest, KindMismatchDiagnostic) {
  connect_output();
  const FieldSpec layout[] = {FieldSpec::integer(2), FieldSpec::real(6, 2)};
  const OutputItem good[] = {OutputItem::of(1), OutputItem::of(2.0)};
  ASSERT_EQ(write_record(UNIT, layout, good, QUIET), 0);
  const OutputItem bad[] = {OutputItem::of(1), OutputItem::of(2)};
  EXPECT_EXIT((void)write_record(UNIT, layout, bad, QUIET), ::testing::ExitedWithCode(61),
              "^korv2dunta: severe \\(61\\): format/variable-type mismatch, unit 58, file " +
                  test_support::escape_regex(output_path()) + "\r\n" + test_support::TRACEBACK + "$");
  // Earlier records stay in the file.
  EXPECT_EQ(scratch_.read("out.txt"), " 1  2.00\r\n");
}

TEST_F(WriteConditions, FailedWriteIsAnErrorDuringWriteAndCutsNothing) {
  scratch_.write("out.txt", "old contents\r\n");
  connect_output();
  platform::file_calls().write = failing_write;
  const FieldSpec layout[] = {FieldSpec::integer(2)};
  const OutputItem items[] = {OutputItem::of(1)};
  EXPECT_EQ(write_record(UNIT, layout, items, ERROR_BRANCH), status_of(38));
  EXPECT_EQ(writes, std::vector<std::string>{" 1\r\n"});
  EXPECT_EQ(scratch_.read("out.txt"), "old contents\r\n");
  EXPECT_FALSE(find_unit(UNIT)->busy.load());
}

TEST_F(WriteConditionsDeathTest, FailedWriteDiagnostic) {
  connect_output();
  platform::file_calls().write = failing_write;
  const FieldSpec layout[] = {FieldSpec::integer(2)};
  const OutputItem items[] = {OutputItem::of(1)};
  EXPECT_EXIT(
      (void)write_record(UNIT, layout, items, QUIET), ::testing::ExitedWithCode(38),
      "^korv2dunta: No space left on device\r\nkorv2dunta: severe \\(38\\): error during write, unit 58, file " +
          test_support::escape_regex(output_path()) + "\r\n" + test_support::TRACEBACK + "$");
}

TEST_F(WriteConditionsDeathTest, AreaThatCannotGrowIsARecordOverflow) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer's allocator does not return null under an address-space limit";
#endif
  scratch_.write("out.txt", "old\r\n");
  connect_output();
  // 20000 skips of 65535 columns would need 1.3 GB of record area: more than the limit below,
  // and more than the 256 MB guest address space the tests get under user-mode emulation,
  // where the limit set here does not bind (see tests/CMakeLists.txt).
  const std::vector<FieldSpec> layout(20000, FieldSpec::skip(65535));
  std::vector<FieldSpec> with_value = layout;
  with_value.push_back(FieldSpec::characters(1));
  const OutputItem items[] = {OutputItem::of("x", 1)};
  void* frames[4];
  (void)platform::capture_stack(frames, 4, 0);  // loads the unwinder before memory runs short
  const auto limited_write = [&] {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t in_use = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
    rlimit limit{};
    ::getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = in_use + (32u << 20);
    ::setrlimit(RLIMIT_AS, &limit);
    (void)write_record(UNIT, with_value, items, QUIET);
  };
  EXPECT_EXIT(limited_write(), ::testing::ExitedWithCode(66),
              "^korv2dunta: severe \\(66\\): output statement overflows record, unit 58, file " +
                  test_support::escape_regex(output_path()) + "\r\n" + test_support::TRACEBACK + "$");
  EXPECT_EQ(scratch_.read("out.txt"), "old\r\n");
}

TEST_F(WriteConditions, UnitChecksComeBeforeAnyByte) {
  connect_output();
  const FieldSpec layout[] = {FieldSpec::integer(2)};
  const OutputItem items[] = {OutputItem::of(1)};
  find_unit(UNIT)->marks.direct_access = true;
  EXPECT_EQ(write_record(UNIT, layout, items, ERROR_BRANCH), status_of(259));
  find_unit(UNIT)->marks.direct_access = false;
  find_unit(UNIT)->marks.formatted = false;
  EXPECT_EQ(write_record(UNIT, layout, items, ERROR_BRANCH), status_of(257));
  find_unit(UNIT)->marks.formatted = true;
  EXPECT_TRUE(writes.empty());
}

}  // namespace
}  // namespace records
