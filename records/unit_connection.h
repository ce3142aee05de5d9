// Units and their connections, as the record library itself sees them: the process-wide
// table from unit numbers to open files, the per-unit buffer, block reads, one write per
// record, and closing at run end. The converter does not use this header; it reaches a unit
// only through the statements (units.h, reader.h, writer.h, compiled_layout.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "records/condition.h"
#include "records/units.h"

namespace records {

/// Bytes the unit buffer starts with; also the size of one block read.
inline constexpr std::uint32_t BLOCK_SIZE = 8192;
/// Record length when the connect request names none.
inline constexpr std::int32_t DEFAULT_RECORD_LENGTH = 132;
/// The bytes that end every output record, CR LF. The unit buffer always keeps room for them
/// behind the record area, so that ending a record needs no check of its own.
inline constexpr std::size_t TERMINATOR_LENGTH = 2;
/// Room for a full path, NUL included; a longer one is replaced by the trimmed name.
inline constexpr std::size_t PATH_CAPACITY = 256;
/// Lowest and highest unit numbers the table holds, and its direct and chained parts.
inline constexpr std::int32_t MIN_UNIT = -5;
inline constexpr std::int32_t MAX_UNIT = 2147483642;
inline constexpr std::int32_t DIRECT_SLOTS = 105;
inline constexpr std::int32_t HASH_CHAINS = 521;

/// Record framing of a text unit: one line per record, CR LF written, LF found on input.
enum class RecordKind : std::uint8_t { stream_crlf = 6 };
/// Line control of a disk file: the first character of a record is data.
enum class LineControl : std::uint8_t { none = 0, list = 2 };
/// Input positions of a unit, all inside its buffer.
struct InputCursor {
  char* record_start = nullptr;     ///< column 1 of the current record
  char* record_end = nullptr;       ///< one past its last byte (LF and a CR before it excluded)
  char* position = nullptr;         ///< where the next field or skip begins
  std::int32_t virtual_blanks = 0;  ///< columns walked past record_end in this record
  char* next_byte = nullptr;        ///< first byte after the current record's LF; null at first
  char* held_end = nullptr;         ///< one past the buffered bytes; next_byte when none are left
  std::int64_t record_count = 0;    ///< line number of the current record, from 1
};

/// The output record area of a unit, as offsets into its buffer.
struct RecordBuffer {
  std::size_t start = 0;       ///< first column of the record
  std::size_t position = 0;    ///< where the next field or skip begins
  std::size_t high_water = 0;  ///< one past the last column a value field filled
  std::size_t limit = 0;       ///< end of the room the area has for columns
};

/// What the reader and writer keep between statements on a formatted unit.
struct FormattingState {
  InputCursor input;
  RecordBuffer output;
};

/// What statements check of a unit before they use it, side by side, so that a statement can
/// check them all at once (detail.h).
struct UnitMarks {
  bool connected = false;
  bool read_only = false;      ///< no record may be written
  bool formatted = false;      ///< a text unit; every connect here makes one
  bool direct_access = false;  ///< never set here: statements refuse such a unit
};
static_assert(sizeof(UnitMarks) == 4, "four marks side by side, no padding");

/// One unit's connection: created on first use, opened by connect_unit, freed at run end.
struct UnitConnection {
  // What the file layer, the reader and the writer act on.
  /// buffer_size bytes, allocated at connect, and one more past them that always holds a line
  /// feed, so that finding the end of a line needs no bound (platform/line_feed.h).
  char* buffer = nullptr;
  FormattingState* formatting = nullptr;  ///< allocated at connect
  char* path = nullptr;                   ///< full path, NUL-terminated, allocated at connect; quoted by diagnostics
  platform::FileHandle handle = platform::NO_FILE;
  platform::OsError last_os_error = 0;  ///< OS error of the last failed call, for the diagnostic
  std::uint32_t buffer_size = 0;
  std::uint32_t record_capacity = 0;  ///< columns of an output record, plus one for the terminator
  std::int32_t unit_number = 0;
  std::uint32_t block_size = 0;
  UnitMarks marks;              ///< what statements check before they use the unit
  bool blanks_ignored = false;  ///< blanks inside numeric input fields are skipped
  bool disk_file = false;
  bool truncate_pending = false;  ///< cut the file after the next write
  bool closing_at_exit = false;
  std::atomic<bool> busy{false};  ///< statement in progress (chained units only)
  UnitConnection* next_in_chain = nullptr;

  // Recorded at connect as the connection's description; nothing here reads them. Input is
  // always padded with blanks, every record is a CR LF line and output records grow as needed.
  std::uint16_t path_length = 0;
  std::int32_t record_length = 0;
  RecordKind record_kind = RecordKind::stream_crlf;
  LineControl line_control = LineControl::none;
  bool sequential = false;
  bool pad_with_blanks = false;
  bool default_length = false;
};

/// Marks the unit busy for one statement and hands out its connection (made on first use):
/// 0, or the condition that refuses it (an invalid number, a unit already busy, no memory).
ConditionCode acquire_unit(std::int32_t unit_number, UnitConnection** connection) noexcept;
/// Ends the statement on the unit.
void release_unit(std::int32_t unit_number) noexcept;
/// The connection of a unit, or null when the unit was never used. Does not mark it busy.
UnitConnection* find_unit(std::int32_t unit_number) noexcept;

/// What follows a record write that failed (`error`) or was the unit's first (the cut).
ConditionCode settle_record_write(UnitConnection& unit, platform::OsError error) noexcept;

/// Hands one finished record (terminator included) to the OS; cuts the file after the first.
inline ConditionCode write_record_bytes(UnitConnection& unit, const char* bytes, std::size_t count) noexcept {
  const platform::OsError error = platform::file_calls().write(unit.handle, bytes, count);
  if (error != 0 || unit.truncate_pending) return settle_record_write(unit, error);
  return ConditionCode::success;
}
/// One OS read of at most `size` bytes; the OS error, if any, is stored on the unit.
platform::ReadResult read_block(UnitConnection& unit, char* destination, std::size_t size) noexcept;
/// Cuts a disk file that no record has been written to down to empty (the run wrote nothing).
ConditionCode empty_unwritten_file(UnitConnection& unit) noexcept;
/// Grows the unit buffer to at least `size` bytes, keeping its contents.
ConditionCode grow_unit_buffer(UnitConnection& unit, std::size_t size) noexcept;

/// Closes one unit with the keep disposition and frees what connect allocated.
ConditionCode close_unit(UnitConnection& unit) noexcept;
/// Frees a connection's buffer, state and path, closes its file and resets it (failed connect).
void discard_unit(UnitConnection& unit) noexcept;
/// Closes every connected unit in table order, skipping busy ones; runs once per run.
void close_all_units() noexcept;
/// Marks the run as ending: from now on a statement waits for the process to end.
void stop_new_statements() noexcept;

}  // namespace records
