// The record reader through read_record on real files: line framing (LF, CR LF, control-Z,
// a last line without line end), refills at every byte boundary, long lines and buffer
// doubling, a FIFO fed in small pieces, the layout walk with skips, short records and commas,
// and the read conditions with their diagnostics.
//
// Control-Z ending the input and a bad field's diagnostic line have their home in
// tests/e2e/conversion_test.cpp; the copies here pin the reader's own part: the framing at
// every refill boundary, and the columns and bytes the context line is made of.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "records/diagnostics.h"
#include "records/reader.h"
#include "records/unit_connection.h"
#include "tests/support/scratch_directory.h"

namespace records {
namespace {

constexpr StatementBranches ERROR_BRANCH{.error_branch = true};
constexpr StatementBranches END_BRANCH{.end_branch = true};
constexpr std::int32_t UNIT = 55;
/// Widest character field used to see a whole record; wider records take several fields.
constexpr std::size_t SLICE = 50000;

/// The status a condition comes back as under an error branch: its message number.
constexpr std::int32_t status_of(std::uint32_t number) { return static_cast<std::int32_t>(number); }

// ---- injected platform reads -------------------------------------------------------------

/// Largest number of bytes one injected read hands over; 0 means no cut.
std::size_t read_piece = 0;
/// Size asked for by every platform read since the test began.
std::vector<std::size_t> read_requests;

platform::ReadResult piecewise_read(platform::FileHandle file, char* destination, std::size_t size) noexcept {
  read_requests.push_back(size);
  const std::size_t asked = read_piece != 0 ? std::min(size, read_piece) : size;
  return platform::native_file_calls().read(file, destination, asked);
}

platform::ReadResult failing_read(platform::FileHandle, char*, std::size_t) noexcept { return {0, EIO}; }

/// Hands over one block with the file's data, then fails as a device would.
int reads_before_failure = 0;
platform::ReadResult read_then_fail(platform::FileHandle file, char* destination, std::size_t size) noexcept {
  if (reads_before_failure-- > 0) return platform::native_file_calls().read(file, destination, size);
  return {0, EIO};
}

/// A line without end: every read fills whatever it is given.
platform::ReadResult endless_read(platform::FileHandle, char* destination, std::size_t size) noexcept {
  std::memset(destination, 'x', size);
  return {size, 0};
}

// ---- references ----------------------------------------------------------------------------

/// The records a text file holds, worked out independently of the reader: split at LF, one
/// CR before the LF (or at the very end) dropped, a last piece without LF is a record, and a
/// line holding only control-Z ends the file.
std::vector<std::string> reference_records(const std::string& content) {
  std::vector<std::string> records;
  std::size_t at = 0;
  while (at < content.size()) {
    const std::size_t line_feed = content.find('\n', at);
    std::string line = content.substr(at, line_feed == std::string::npos ? std::string::npos : line_feed - at);
    at = line_feed == std::string::npos ? content.size() : line_feed + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "\x1a") break;
    records.push_back(line);
  }
  return records;
}

/// A line of `length` printable bytes that differ from line to line and along the line.
std::string pattern_line(std::size_t length, std::size_t seed) {
  static constexpr char ALPHABET[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz+-.";
  std::string line(length, ' ');
  for (std::size_t i = 0; i < length; ++i) line[i] = ALPHABET[(i * 7 + seed * 13 + i / 64) % (sizeof ALPHABET - 1)];
  return line;
}

// ---- fixture -------------------------------------------------------------------------------

/// A scratch current directory, a clean unit table and the native file calls for each test.
class ReaderTest : public test_support::ScratchDirectoryTest {
 protected:
  void SetUp() override {
    ScratchDirectoryTest::SetUp();
    read_piece = 0;
    read_requests.clear();
  }

  /// Writes the input file and connects unit 55 to it as the converter does.
  void connect_input(const std::string& bytes, BlankMode blanks = BlankMode::null) {
    scratch_.write("in.txt", bytes);
    ASSERT_EQ(connect_unit({UNIT, "in.txt", blanks, FileStatus::unknown}, ERROR_BRANCH), 0);
  }
  std::string input_path() const { return scratch_.file("in.txt"); }
  static const InputCursor& cursor() { return find_unit(UNIT)->formatting->input; }

  /// Takes the next record with an empty layout; its bytes are the cursor's record.
  static std::int32_t next_record(std::string& bytes) {
    const std::int32_t status = read_record(UNIT, {}, {}, ERROR_BRANCH);
    if (status == 0) bytes.assign(cursor().record_start, cursor().record_end);
    return status;
  }
  /// Every record until end of file; a status other than 0 or -1 fails the test.
  static std::vector<std::string> all_records() {
    std::vector<std::string> records;
    std::string bytes;
    for (;;) {
      const std::int32_t status = next_record(bytes);
      if (status == -1) break;
      EXPECT_EQ(status, 0);
      if (status != 0) break;
      records.push_back(bytes);
    }
    return records;
  }
  /// Reads the next record through character fields covering `columns` columns.
  static std::int32_t read_columns(std::string& area, std::size_t columns) {
    area.assign(columns, '\0');
    std::vector<FieldSpec> layout;
    std::vector<InputItem> items;
    for (std::size_t at = 0; at < columns; at += SLICE) {
      const std::size_t width = std::min(SLICE, columns - at);
      layout.push_back(FieldSpec::characters(static_cast<std::uint16_t>(width)));
      items.push_back(InputItem::of(area.data() + at, width));
    }
    return read_record(UNIT, layout, items, ERROR_BRANCH);
  }
};

// ---- record framing ------------------------------------------------------------------------

using RecordFraming = ReaderTest;

struct FramingCase {
  const char* name;
  std::string content;
  std::vector<std::string> records;
};

const std::vector<FramingCase>& framing_cases() {
  static const std::vector<FramingCase> cases = {
      {"lf", "abc\ndef\n", {"abc", "def"}},
      {"crlf", "abc\r\ndef\r\n", {"abc", "def"}},
      {"last line without line end", "abc\ndef", {"abc", "def"}},
      {"last line ends in CR alone", "abc\r\ndef\r", {"abc", "def"}},
      {"empty lines", "\n\r\n\n", {"", "", ""}},
      {"lone CR", "\r", {""}},
      {"CR inside is data", "a\rb\n", {"a\rb"}},
      {"only the last CR is dropped", "ab\r\r\n", {"ab\r"}},
      {"CR at the start is data", "\rab\n", {"\rab"}},
      {"blank line keeps its blanks", "   \r\n", {"   "}},
      {"control-Z ends the file", "one\n\x1a\ntwo\n", {"one"}},
      {"control-Z with CR ends the file", "one\r\n\x1a\r\ntwo\r\n", {"one"}},
      {"control-Z without line end", "one\n\x1a", {"one"}},
      {"control-Z first", "\x1a\nnever\n", {}},
      {"two control-Z are data", "\x1a\x1a\nx\n", {"\x1a\x1a", "x"}},
      {"control-Z after a blank is data", " \x1a\nx\n", {" \x1a", "x"}},
      {"control-Z then two CR is data", "\x1a\r\r\nx\n", {"\x1a\r", "x"}},
      {"other bytes untouched", std::string("\t\0\x7f\xff\x0b\x0c,\n", 8), {std::string("\t\0\x7f\xff\x0b\x0c,", 7)}},
      {"empty file", "", {}},
  };
  return cases;
}

TEST_F(RecordFraming, LinesBecomeRecords) {
  for (const FramingCase& test : framing_cases()) {
    SCOPED_TRACE(test.name);
    EXPECT_EQ(reference_records(test.content), test.records);  // the reference agrees with the hand table
    connect_input(test.content);
    EXPECT_EQ(all_records(), test.records);
    close_all_units();
  }
}

TEST_F(RecordFraming, SameRecordsWhateverTheReadSizes) {
  platform::file_calls().read = piecewise_read;
  for (const std::size_t piece : {1u, 2u, 3u, 5u}) {
    read_piece = piece;
    for (const FramingCase& test : framing_cases()) {
      SCOPED_TRACE(std::string(test.name) + ", pieces of " + std::to_string(piece));
      connect_input(test.content);
      EXPECT_EQ(all_records(), test.records);
      close_all_units();
    }
  }
}

TEST_F(RecordFraming, EndOfFileLeavesItemsAlone) {
  for (const char* content : {"", "\x1a\n", "\x1a\r\n12 x 3.5\n", "\x1a"}) {
    SCOPED_TRACE(::testing::PrintToString(std::string(content)));
    connect_input(content);
    std::int32_t number = 77;
    char letter = 'q';
    double real = 2.5;
    const FieldSpec layout[] = {FieldSpec::integer(2), FieldSpec::characters(1), FieldSpec::real(5, 1)};
    const InputItem items[] = {InputItem::of(number), InputItem::of(&letter, 1), InputItem::of(real)};
    EXPECT_EQ(read_record(UNIT, layout, items, END_BRANCH), -1);
    EXPECT_EQ(number, 77);
    EXPECT_EQ(letter, 'q');
    EXPECT_EQ(real, 2.5);
    EXPECT_FALSE(find_unit(UNIT)->busy.load());
    EXPECT_TRUE(find_unit(UNIT)->marks.connected);  // end of file leaves the unit connected
    close_all_units();
  }
}

TEST_F(RecordFraming, EveryCallConsumesOneLine) {
  // The layout uses one column; the rest of each line is discarded with it.
  connect_input("1xxxxxxxxxxxxxxxxxxxx\n2,,,,\n3\n");
  const FieldSpec layout[] = {FieldSpec::integer(1)};
  for (const std::int32_t expected : {1, 2, 3}) {
    std::int32_t value = -1;
    const InputItem items[] = {InputItem::of(value)};
    ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
    EXPECT_EQ(value, expected);
  }
  std::int32_t value = -1;
  const InputItem items[] = {InputItem::of(value)};
  EXPECT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), -1);
}

// ---- refills at block boundaries -----------------------------------------------------------

using BufferRefill = ReaderTest;

/// Lines of many lengths and both line ends, a line longer than the buffer, and a last line
/// without line end.
std::string mixed_content() {
  std::string content;
  for (std::size_t i = 0; i < 200; ++i) content += pattern_line(66, i) + (i % 3 == 0 ? "\n" : "\r\n");
  content += "\r\n\n";
  content += pattern_line(10000, 7) + "\r\n";
  for (std::size_t i = 0; i < 50; ++i) content += pattern_line(i * 5 % 131, i) + "\n";
  content += "last line";
  return content;
}

TEST_F(BufferRefill, RecordSplitAcrossReadsOfAnySize) {
  const std::string content = mixed_content();
  const std::vector<std::string> expected = reference_records(content);
  ASSERT_EQ(expected.size(), 254u);
  platform::file_calls().read = piecewise_read;
  for (const std::size_t piece : {1u, 2u, 3u, 7u, 64u, 67u, 68u, 69u, 100u, 4095u, 4096u, 8191u, 8192u, 8193u}) {
    SCOPED_TRACE("pieces of " + std::to_string(piece));
    read_piece = piece;
    connect_input(content);
    EXPECT_EQ(all_records(), expected);
    close_all_units();
  }
}

TEST_F(BufferRefill, NaturalBlockBoundariesFallEverywhere) {
  // Line lengths 0..150 in turn put the 8192-byte boundaries at many offsets of a line,
  // between CR and LF among them.
  std::string content;
  for (std::size_t i = 0; content.size() < 120000; ++i) content += pattern_line(i % 151, i) + (i % 2 ? "\r\n" : "\n");
  connect_input(content);
  EXPECT_EQ(all_records(), reference_records(content));
}

TEST_F(BufferRefill, CrEndsOneBlockAndLfStartsTheNext) {
  // 101 + 8090 bytes put the CR of the second line at offset 8191 and its LF at 8192.
  const std::string second = pattern_line(8090, 2);
  const std::string content = pattern_line(100, 1) + "\n" + second + "\r\n" + "third\r\n";
  ASSERT_EQ(content[8191], '\r');
  ASSERT_EQ(content[8192], '\n');
  connect_input(content);
  EXPECT_EQ(all_records(), (std::vector<std::string>{pattern_line(100, 1), second, "third"}));
}

TEST_F(BufferRefill, LfEndsTheBlockExactly) {
  const std::string content = pattern_line(8191, 1) + "\n" + "next\n";
  connect_input(content);
  EXPECT_EQ(all_records(), (std::vector<std::string>{pattern_line(8191, 1), "next"}));
}

TEST_F(BufferRefill, OneReadPerRefillIntoTheWholeFreePart) {
  platform::file_calls().read = piecewise_read;
  struct Case {
    const char* name;
    std::string content;
    std::vector<std::size_t> requests;
  };
  std::string hundred_lines;
  for (int i = 0; i < 100; ++i) hundred_lines += std::string(100, 'a') + "\n";
  const Case cases[] = {
      // One read serves both lines; the read at end of file asks for the whole buffer again.
      {"two short lines", "a\nb\n", {8192, 8192}},
      // 81 lines of 101 bytes fill 8181 bytes; the 11 held bytes of line 82 move to the front
      // and the refill asks for the remaining 8181.
      {"line across the block end", hundred_lines, {8192, 8181, 8192}},
      // 100000 bytes: the buffer doubles four times, each read asking for the new free half;
      // the buffer keeps its size, so the read at end of file asks for all 131072 bytes.
      {"long line", std::string(100000, 'x') + "\nnext\n", {8192, 8192, 16384, 32768, 65536, 131072}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    read_requests.clear();
    connect_input(test.content);
    EXPECT_EQ(all_records(), reference_records(test.content));
    EXPECT_EQ(read_requests, test.requests);
    close_all_units();
  }
}

// ---- long lines ----------------------------------------------------------------------------

using LongLines = ReaderTest;

TEST_F(LongLines, ReadWholeAndTheNextLineAfterThem) {
  for (const std::size_t length : {8191u, 8192u, 8193u, 10000u, 100000u}) {
    for (const char* line_end : {"\n", "\r\n"}) {
      for (const char* before : {"", "first\r\n"}) {
        SCOPED_TRACE(std::to_string(length) + (line_end[0] == '\r' ? " CR LF" : " LF") + (before[0] ? " second" : ""));
        const std::string line = pattern_line(length, length);
        connect_input(before + line + line_end + "next 1\n");
        std::string area;
        if (before[0] != '\0') {
          ASSERT_EQ(read_columns(area, 10), 0);
          EXPECT_EQ(area, "first     ");
        }
        // Columns past the record read as blanks.
        ASSERT_EQ(read_columns(area, length + 3), 0);
        EXPECT_EQ(area.size(), length + 3);
        EXPECT_TRUE(area == line + "   ")
            << "first difference at column "
            << std::mismatch(area.begin(), area.end(), line.begin()).first - area.begin() + 1;
        EXPECT_EQ(cursor().record_end - cursor().record_start, static_cast<std::ptrdiff_t>(length));
        ASSERT_EQ(read_columns(area, 8), 0);
        EXPECT_EQ(area, "next 1  ");
        EXPECT_EQ(read_columns(area, 8), -1);
        close_all_units();
      }
    }
  }
}

TEST_F(LongLines, LastLineWithoutLineEndAtTheBufferSize) {
  // The last line fills the buffer exactly (or nearly) and the file ends without LF.
  for (const std::size_t length : {8191u, 8192u, 8193u, 16384u}) {
    SCOPED_TRACE(length);
    const std::string line = pattern_line(length, 3);
    connect_input("x\n" + line);
    EXPECT_EQ(all_records(), (std::vector<std::string>{"x", line}));
    close_all_units();
  }
}

TEST_F(LongLines, BufferNeverShrinks) {
  connect_input(std::string(20000, 'y') + "\nz\n");
  std::string bytes;
  ASSERT_EQ(next_record(bytes), 0);
  EXPECT_EQ(bytes, std::string(20000, 'y'));
  EXPECT_EQ(find_unit(UNIT)->buffer_size, 32768u);
  ASSERT_EQ(next_record(bytes), 0);
  EXPECT_EQ(bytes, "z");
  EXPECT_EQ(find_unit(UNIT)->buffer_size, 32768u);
}

// ---- a FIFO --------------------------------------------------------------------------------

using Pipes = ReaderTest;

TEST_F(Pipes, RecordsComeOutWholeFromSmallWrites) {
  // A pipe delivers lines in pieces: a read that returns fewer bytes than asked is not the end
  // of the data. The input unit holds the FIFO open for writing too, so it never sees end of
  // data; a control-Z line ends the input instead.
  std::string content;
  for (std::size_t i = 0; i < 40; ++i) content += pattern_line(66, i) + (i % 2 ? "\r\n" : "\n");
  content += pattern_line(9000, 5) + "\r\n" + "\n" + "after the long line\n";
  const std::string ending = "\x1a\r\n";
  ASSERT_EQ(::mkfifo("in.txt", 0600), 0);
  ASSERT_EQ(connect_unit({UNIT, "in.txt", BlankMode::null, FileStatus::unknown}, ERROR_BRANCH), 0);
  EXPECT_FALSE(find_unit(UNIT)->disk_file);

  ::alarm(20);  // a reader that waits for data that never comes fails the test instead of hanging it
  std::thread writer([&] {
    const int fifo = ::open("in.txt", O_WRONLY);
    if (fifo < 0) return;
    const std::string all = content + ending;
    for (std::size_t at = 0; at < all.size(); at += 7) {
      const std::size_t count = std::min<std::size_t>(7, all.size() - at);
      if (::write(fifo, all.data() + at, count) != static_cast<ssize_t>(count)) break;
      if (at % 70 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ::close(fifo);
  });
  const std::vector<std::string> records = all_records();
  writer.join();
  ::alarm(0);
  EXPECT_EQ(records, reference_records(content));
}

// ---- the layout walk -----------------------------------------------------------------------

using LayoutWalk = ReaderTest;

TEST_F(LayoutWalk, FieldsTakeTheirColumns) {
  // Columns: 1-2 skipped, 3-5 integer, 6 skipped, 7-8 characters, 9-13 real (2 decimals).
  connect_input("991234xy 1234tail\n");
  std::int32_t number = 0;
  char text[2] = {};
  double real = 0.0;
  const FieldSpec layout[] = {FieldSpec::skip(2), FieldSpec::integer(3), FieldSpec::skip(1), FieldSpec::characters(2),
                              FieldSpec::real(5, 2)};
  const InputItem items[] = {InputItem::of(number), InputItem::of(text, 2), InputItem::of(real)};
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
  EXPECT_EQ(number, 123);
  EXPECT_EQ(std::string(text, 2), "xy");
  EXPECT_EQ(real, 12.34);
}

TEST_F(LayoutWalk, TabIsOneColumnAndNothingIsTranslated) {
  connect_input("\t\t 5\tz\n");
  std::int32_t number = 0;
  char text[2] = {};
  const FieldSpec layout[] = {FieldSpec::skip(2), FieldSpec::integer(2), FieldSpec::characters(2)};
  const InputItem items[] = {InputItem::of(number), InputItem::of(text, 2)};
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
  EXPECT_EQ(number, 5);
  EXPECT_EQ(std::string(text, 2), "\tz");
}

TEST_F(LayoutWalk, ColumnsAfterTheLayoutAreNeverExamined) {
  connect_input("12xy\t\x1a,,,-+.\r\n34\n");
  const FieldSpec layout[] = {FieldSpec::integer(2)};
  for (const std::int32_t expected : {12, 34}) {
    std::int32_t number = 0;
    const InputItem items[] = {InputItem::of(number)};
    ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
    EXPECT_EQ(number, expected);
  }
}

TEST_F(LayoutWalk, SkipPastTheEndLeavesBlankFields) {
  connect_input("12\n");
  std::int32_t first = -1, second = -1;
  char text[3] = {'q', 'q', 'q'};
  double real = -1.0;
  const FieldSpec layout[] = {FieldSpec::integer(2), FieldSpec::skip(40000),   FieldSpec::skip(40000),
                              FieldSpec::integer(3), FieldSpec::characters(3), FieldSpec::real(4, 1)};
  const InputItem items[] = {InputItem::of(first), InputItem::of(second), InputItem::of(text, 3), InputItem::of(real)};
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
  EXPECT_EQ(first, 12);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(std::string(text, 3), "   ");
  EXPECT_EQ(real, 0.0);
  EXPECT_FALSE(std::signbit(real));
}

TEST_F(LayoutWalk, SkipEndingOnTheLastColumn) {
  // The skip ends exactly at the record's end; the field after it lies wholly beyond.
  connect_input("abc\n");
  std::int32_t number = -1;
  const FieldSpec layout[] = {FieldSpec::skip(3), FieldSpec::integer(2)};
  const InputItem items[] = {InputItem::of(number)};
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
  EXPECT_EQ(number, 0);
}

TEST_F(LayoutWalk, EarlierItemsAreAssignedBeforeAConversionError) {
  connect_input("12 x5 7\n");
  std::int32_t first = -1, second = -1, third = -1;
  const FieldSpec layout[] = {FieldSpec::integer(2), FieldSpec::integer(3), FieldSpec::integer(2)};
  const InputItem items[] = {InputItem::of(first), InputItem::of(second), InputItem::of(third)};
  EXPECT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), status_of(64));
  EXPECT_EQ(first, 12);
  EXPECT_FALSE(find_unit(UNIT)->busy.load());
}

TEST_F(LayoutWalk, CrInsideAFieldIsData) {
  // The CR at the end of a line is dropped; one inside an integer field is a bad byte.
  connect_input("3\r\n3\rx\n");
  std::int32_t number = -1;
  const FieldSpec layout[] = {FieldSpec::integer(2)};
  const InputItem items[] = {InputItem::of(number)};
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
  EXPECT_EQ(number, 3);
  EXPECT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), status_of(64));
}

TEST_F(LayoutWalk, ItemOfAnotherKindIsAMismatch) {
  struct Case {
    FieldSpec field;
    ItemKind item;
  };
  const Case cases[] = {{FieldSpec::integer(2), ItemKind::real},       {FieldSpec::integer(2), ItemKind::characters},
                        {FieldSpec::real(4, 1), ItemKind::integer},    {FieldSpec::real(4, 1), ItemKind::characters},
                        {FieldSpec::characters(2), ItemKind::integer}, {FieldSpec::characters(2), ItemKind::real}};
  for (const Case& test : cases) {
    SCOPED_TRACE(static_cast<int>(test.field.kind) * 10 + static_cast<int>(test.item));
    connect_input("12\n");
    std::int32_t number = 0;
    double real = 0.0;
    char text[2] = {};
    const InputItem item = test.item == ItemKind::integer ? InputItem::of(number)
                           : test.item == ItemKind::real  ? InputItem::of(real)
                                                          : InputItem::of(text, 2);
    const FieldSpec layout[] = {test.field};
    EXPECT_EQ(read_record(UNIT, layout, {&item, 1}, ERROR_BRANCH), status_of(61));
    close_all_units();
  }
}

TEST_F(LayoutWalk, UnitChecksComeFirst) {
  connect_input("1\n");
  std::int32_t number = -1;
  const FieldSpec layout[] = {FieldSpec::integer(1)};
  const InputItem items[] = {InputItem::of(number)};
  find_unit(UNIT)->marks.direct_access = true;
  EXPECT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), status_of(259));
  find_unit(UNIT)->marks.direct_access = false;
  find_unit(UNIT)->marks.formatted = false;
  EXPECT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), status_of(257));
  find_unit(UNIT)->marks.formatted = true;
  EXPECT_EQ(number, -1);
  // Neither check took the line.
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
  EXPECT_EQ(number, 1);
}

// ---- short records -------------------------------------------------------------------------

using ShortRecords = ReaderTest;

TEST_F(ShortRecords, EmptyAndBlankLinesReadAsZerosAndBlanks) {
  for (const BlankMode blanks : {BlankMode::null, BlankMode::zero}) {
    SCOPED_TRACE(static_cast<int>(blanks));
    connect_input("\n\r\n          \n", blanks);
    for (int line = 0; line < 3; ++line) {
      SCOPED_TRACE(line);
      std::int32_t first = -1, second = -1;
      char letter = 'q';
      double real = -1.0;
      const FieldSpec layout[] = {FieldSpec::skip(1), FieldSpec::integer(2), FieldSpec::integer(3),
                                  FieldSpec::characters(1), FieldSpec::real(10, 7)};
      const InputItem items[] = {InputItem::of(first), InputItem::of(second), InputItem::of(&letter, 1),
                                 InputItem::of(real)};
      ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
      EXPECT_EQ(first, 0);
      EXPECT_EQ(second, 0);
      EXPECT_EQ(letter, ' ');
      EXPECT_EQ(real, 0.0);
    }
    close_all_units();
  }
}

TEST_F(ShortRecords, FieldCutByTheLineEndGetsBlanksAfterItsBytes) {
  // Blanks ignored: "1" then blanks is 1 and "12" then blanks in a 6.3 field is 0.012. Blanks
  // as zeros: the same texts are 100 and 120.000.
  struct Case {
    BlankMode blanks;
    std::int32_t number;
    double real;
  };
  for (const Case& test : {Case{BlankMode::null, 1, 0.012}, Case{BlankMode::zero, 100, 120.0}}) {
    SCOPED_TRACE(static_cast<int>(test.blanks));
    connect_input("  1\n  12\n ab\n", test.blanks);
    std::int32_t number = -1;
    double real = -1.0;
    char text[4] = {};
    const FieldSpec integer_layout[] = {FieldSpec::skip(2), FieldSpec::integer(3)};
    const InputItem integer_item[] = {InputItem::of(number)};
    ASSERT_EQ(read_record(UNIT, integer_layout, integer_item, ERROR_BRANCH), 0);
    EXPECT_EQ(number, test.number);
    const FieldSpec real_layout[] = {FieldSpec::skip(2), FieldSpec::real(6, 3)};
    const InputItem real_item[] = {InputItem::of(real)};
    ASSERT_EQ(read_record(UNIT, real_layout, real_item, ERROR_BRANCH), 0);
    EXPECT_EQ(real, test.real);
    const FieldSpec text_layout[] = {FieldSpec::skip(1), FieldSpec::characters(4)};
    const InputItem text_item[] = {InputItem::of(text, 4)};
    ASSERT_EQ(read_record(UNIT, text_layout, text_item, ERROR_BRANCH), 0);
    EXPECT_EQ(std::string(text, 4), "ab  ");
    close_all_units();
  }
}

TEST_F(ShortRecords, RealFieldOfSixtyColumnLine) {
  // Columns 57-60 hold 1234: the field reads 1234 and six blanks, 0.0001234 with 7 decimals.
  connect_input(std::string(56, ' ') + "1234\n");
  double real = -1.0;
  const FieldSpec layout[] = {FieldSpec::skip(56), FieldSpec::real(10, 7)};
  const InputItem items[] = {InputItem::of(real)};
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
  EXPECT_EQ(real, 0.0001234);
}

TEST_F(ShortRecords, CharacterAreaWiderOrNarrowerThanItsField) {
  connect_input("abcd\nabcd\n");
  char wide[6] = {};
  char narrow[2] = {};
  const FieldSpec layout[] = {FieldSpec::characters(4)};
  const InputItem wide_item[] = {InputItem::of(wide, 6)};
  ASSERT_EQ(read_record(UNIT, layout, wide_item, ERROR_BRANCH), 0);
  EXPECT_EQ(std::string(wide, 6), "abcd  ");
  const InputItem narrow_item[] = {InputItem::of(narrow, 2)};
  ASSERT_EQ(read_record(UNIT, layout, narrow_item, ERROR_BRANCH), 0);
  EXPECT_EQ(std::string(narrow, 2), "cd");
}

// ---- commas --------------------------------------------------------------------------------

using Commas = ReaderTest;

TEST_F(Commas, CommaInFirstColumnOfAFieldReadsZeroAndShiftsTheRest) {
  // The comma in column 7 ends the first field with nothing in it; the second field then
  // starts one column to the left, in columns 11-13.
  connect_input("      ,abc4569\n");
  std::int32_t first = -1, second = -1;
  const FieldSpec layout[] = {FieldSpec::skip(6), FieldSpec::integer(2), FieldSpec::skip(3), FieldSpec::integer(3)};
  const InputItem items[] = {InputItem::of(first), InputItem::of(second)};
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 456);
}

TEST_F(Commas, CommaInsideAnIntegerField) {
  // 1 then a comma in a 3-column field: the next field moves 3 - 1 - 1 = 1 column left.
  connect_input("1,234\n");
  std::int32_t first = -1, second = -1;
  const FieldSpec layout[] = {FieldSpec::integer(3), FieldSpec::integer(2)};
  const InputItem items[] = {InputItem::of(first), InputItem::of(second)};
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 23);
}

TEST_F(Commas, CommaInsideARealField) {
  // "1,5" at the start of a 10.7 field reads as 1 x 10^-7; the 5 belongs to the next field.
  connect_input("1,57\n");
  double real = -1.0;
  std::int32_t number = -1;
  const FieldSpec layout[] = {FieldSpec::real(10, 7), FieldSpec::integer(2)};
  const InputItem items[] = {InputItem::of(real), InputItem::of(number)};
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
  EXPECT_EQ(real, 1e-7);
  EXPECT_EQ(number, 57);
}

TEST_F(Commas, CommaFirstInARealFieldIsPlusZero) {
  connect_input(",5\n");
  double real = -1.0;
  std::int32_t number = -1;
  const FieldSpec layout[] = {FieldSpec::real(10, 7), FieldSpec::integer(1)};
  const InputItem items[] = {InputItem::of(real), InputItem::of(number)};
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
  EXPECT_EQ(real, 0.0);
  EXPECT_FALSE(std::signbit(real));
  EXPECT_EQ(number, 5);
}

TEST_F(Commas, CommaInACharacterFieldIsData) {
  connect_input("a,b7\n");
  char text[3] = {};
  std::int32_t number = -1;
  const FieldSpec layout[] = {FieldSpec::characters(3), FieldSpec::integer(1)};
  const InputItem items[] = {InputItem::of(text, 3), InputItem::of(number)};
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
  EXPECT_EQ(std::string(text, 3), "a,b");
  EXPECT_EQ(number, 7);
}

TEST_F(Commas, CommaAfterAFullFieldBelongsToWhatFollows) {
  // The field is full before the comma, so the comma is not consumed with it: the skip passes it.
  connect_input("12,3\n");
  std::int32_t first = -1, second = -1;
  const FieldSpec layout[] = {FieldSpec::integer(2), FieldSpec::skip(1), FieldSpec::integer(1)};
  const InputItem items[] = {InputItem::of(first), InputItem::of(second)};
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
  EXPECT_EQ(first, 12);
  EXPECT_EQ(second, 3);
}

TEST_F(Commas, CommaEndingTheLine) {
  connect_input("5,\n");
  std::int32_t first = -1, second = -1;
  const FieldSpec layout[] = {FieldSpec::integer(3), FieldSpec::integer(3)};
  const InputItem items[] = {InputItem::of(first), InputItem::of(second)};
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), 0);
  EXPECT_EQ(first, 5);
  EXPECT_EQ(second, 0);
}

// ---- read conditions -----------------------------------------------------------------------

using ReadConditions = ReaderTest;
using ReadConditionsDeathTest = ReaderTest;

TEST_F(ReadConditions, FailedReadIsAnErrorDuringRead) {
  connect_input("a\nb");
  reads_before_failure = 1;
  platform::file_calls().read = read_then_fail;
  std::string bytes;
  ASSERT_EQ(next_record(bytes), 0);
  EXPECT_EQ(bytes, "a");
  // The unfinished line "b" needs a refill, and the refill fails.
  EXPECT_EQ(next_record(bytes), status_of(39));
  EXPECT_EQ(find_unit(UNIT)->last_os_error, 0u);  // taken by the error branch
  EXPECT_FALSE(find_unit(UNIT)->busy.load());
}

TEST_F(ReadConditionsDeathTest, FailedReadPrintsThePlatformText) {
  connect_input("a\n");
  platform::file_calls().read = failing_read;
  EXPECT_EXIT((void)read_record(UNIT, {}, {}, END_BRANCH), ::testing::ExitedWithCode(39),
              "^korv2dunta: Input/output error\r\nkorv2dunta: severe \\(39\\): error during read, unit 55, file " +
                  test_support::escape_regex(input_path()) + "\r\n" + test_support::TRACEBACK + "$");
}

TEST_F(ReadConditionsDeathTest, BufferThatCannotDoubleIsRecordTooLong) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer's allocator does not return null under an address-space limit";
#endif
  connect_input("");
  platform::file_calls().read = endless_read;
  void* frames[4];
  (void)platform::capture_stack(frames, 4, 0);  // loads the unwinder before memory runs short
  const auto limited_read = [] {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t in_use = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
    rlimit limit{};
    ::getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = in_use + (48u << 20);  // room for a 32 MiB buffer, not for 64 MiB
    ::setrlimit(RLIMIT_AS, &limit);
    (void)read_record(UNIT, {}, {}, END_BRANCH);
  };
  EXPECT_EXIT(limited_read(), ::testing::ExitedWithCode(22),
              "^korv2dunta: severe \\(22\\): input record too long, unit 55, file " +
                  test_support::escape_regex(input_path()) + "\r\n" + test_support::TRACEBACK + "$");
}

TEST_F(ReadConditionsDeathTest, ConversionErrorNamesRecordColumnsAndText) {
  struct Case {
    const char* name;
    std::string content;
    std::string note;  // the line after the traceback, as a regular expression
  };
  const Case cases[] = {
      {"letter", "      12\n\n      x3\n", "korv2dunta: record 3, columns 7-8: \"x3\"\n"},
      {"field cut by the line end", "      x\n", "korv2dunta: record 1, columns 7-8: \"x\"\n"},
      {"after a comma", "      ,abcx12\n", "korv2dunta: record 1, columns 11-13: \"x12\"\n"},
      {"CR inside", "      3\r9\n", "korv2dunta: record 1, columns 7-8: \"3[^\"\r\n]+\"\n"},
  };
  const FieldSpec layout[] = {FieldSpec::skip(6), FieldSpec::integer(2), FieldSpec::skip(3), FieldSpec::integer(3)};
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    connect_input(test.content);
    std::int32_t first = 0, second = 0;
    const InputItem items[] = {InputItem::of(first), InputItem::of(second)};
    const auto read_all = [&] {
      while (read_record(UNIT, layout, items, END_BRANCH) == 0) {
      }
    };
    EXPECT_EXIT(read_all(), ::testing::ExitedWithCode(64),
                "^korv2dunta: severe \\(64\\): input conversion error, unit 55, file " +
                    test_support::escape_regex(input_path()) + "\r\n" + test_support::TRACEBACK + test.note + "$");
    close_all_units();
  }
  // A field wider than the context line's room shows its first 595 bytes.
  connect_input(std::string(700, 'x') + "\n");
  std::int32_t wide = 0;
  const FieldSpec wide_layout[] = {FieldSpec::integer(700)};
  const InputItem wide_item[] = {InputItem::of(wide)};
  EXPECT_EXIT((void)read_record(UNIT, wide_layout, wide_item, END_BRANCH), ::testing::ExitedWithCode(64),
              "korv2dunta: record 1, columns 1-700: \"x{595}\"\n$");
}

// A conversion error taken back by an error branch leaves nothing behind for a later,
// unrelated diagnostic: its bad field line goes only with its own condition.
TEST_F(ReadConditionsDeathTest, ContextLineBelongsOnlyToItsOwnConversionError) {
  connect_input("x1\n");
  std::int32_t number = 0;
  const FieldSpec layout[] = {FieldSpec::integer(2)};
  const InputItem items[] = {InputItem::of(number)};
  ASSERT_EQ(read_record(UNIT, layout, items, ERROR_BRANCH), status_of(64));
  platform::file_calls().read = failing_read;
  EXPECT_EXIT((void)read_record(UNIT, layout, items, END_BRANCH), ::testing::ExitedWithCode(39),
              "error during read, unit 55, file " + test_support::escape_regex(input_path()) + "\r\n" +
                  test_support::TRACEBACK + "$");
}

}  // namespace
}  // namespace records
