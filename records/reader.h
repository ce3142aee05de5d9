// The record reader: takes the next line of a unit as one record and converts the data
// fields of a layout into the caller's items.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "records/condition.h"
#include "records/diagnostics.h"
#include "records/layout.h"
#include "records/units.h"

namespace records {

/// Reads one record of `unit_number` under `layout` into `items`. Returns 0, or -1 at end of
/// file when `branches` has an end branch (no item changed); other conditions go to
/// report_io_condition and, without an error branch, end the run.
std::int32_t read_record(std::int32_t unit_number, RecordLayout layout, std::span<const InputItem> items,
                         const StatementBranches& branches) noexcept;

/// Makes the next line of the unit its current record: 0, or end of file, read error or
/// record too long.
ConditionCode take_record(UnitConnection& unit) noexcept;

/// The part of take_record after the buffer holds no further line end: keeps the unfinished
/// line, reads behind it (growing the buffer for a long line) until a line end or end of data.
ConditionCode refill_and_take(UnitConnection& unit) noexcept;

/// Ends a record found in the buffer at `start` .. `line_feed`: CR and control-Z rules,
/// cursor set to column 1 of it.
inline ConditionCode finish_take(InputCursor& cursor, char* start, char* line_feed, char* held_end) noexcept {
  cursor.record_start = start;
  cursor.record_end = line_feed;
  cursor.next_byte = line_feed + 1;
  cursor.unread_bytes = static_cast<std::size_t>(held_end - cursor.next_byte);
  if (cursor.record_end > cursor.record_start && cursor.record_end[-1] == '\r') --cursor.record_end;
  ++cursor.record_count;
  if (cursor.record_end - cursor.record_start == 1 && *cursor.record_start == '\x1a') {  // control-Z
    return ConditionCode::end_of_file;
  }
  cursor.position = cursor.record_start;
  cursor.virtual_blanks = 0;
  return ConditionCode::success;
}

/// take_record in line: the common case (the next line end already in the buffer) on the spot.
inline ConditionCode take_next_record(UnitConnection& unit) noexcept {
  InputCursor& cursor = unit.formatting->input;
  if (cursor.next_byte != nullptr && cursor.unread_bytes > 0) {
    if (auto* line_feed = static_cast<char*>(std::memchr(cursor.next_byte, '\n', cursor.unread_bytes))) {
      return finish_take(cursor, cursor.next_byte, line_feed, cursor.next_byte + cursor.unread_bytes);
    }
  }
  return refill_and_take(unit);
}

/// Whether a read statement may use the unit: 0, or the condition that refuses it.
inline ConditionCode readable_condition(const UnitConnection& unit) noexcept {
  if (unit.direct_access) return ConditionCode::direct_access_unit;
  if (!unit.formatted || !unit.connected) return ConditionCode::unformatted_unit;
  return ConditionCode::success;
}

/// The rest of a read statement once the unit was acquired (`unit` null when acquiring failed
/// with `condition`) and, when `condition` is 0, the record taken. `compiled` is what code
/// compiled for the layout made of the record, or null to walk the layout over it. Releases
/// the unit, or hands the condition to report_io_condition. Returns what the statement returns.
std::int32_t finish_read_statement(std::int32_t unit_number, UnitConnection* unit, ConditionCode condition,
                                   const FieldsOutcome* compiled, RecordLayout layout, std::span<const InputItem> items,
                                   const StatementBranches& branches) noexcept;

}  // namespace records
