// What the statements of the record layer share behind its public headers: the in-line part
// of the unit table, the statement protocol every statement ends through, and the steps of
// the read and write statements that code compiled for a constant layout (compiled_layout.h)
// runs in line. The converter reaches it only through compiled_layout.h, whose statements
// run these steps inside the converter's loop; tests and benchmarks may include it.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "platform/line_feed.h"
#include "records/condition.h"
#include "records/diagnostics.h"
#include "records/layout.h"
#include "records/unit_connection.h"

namespace records::detail {

// ---------------------------------------------------------------------------------------
// The direct part of the unit table: a connected unit of -5 .. 99 is acquired in line.

inline constexpr std::int32_t MAX_DIRECT_UNIT = MIN_UNIT + DIRECT_SLOTS - 1;  // 99

struct DirectSlot {
  std::atomic<bool> busy{false};  ///< statement in progress
  std::atomic<UnitConnection*> connection{nullptr};
};

extern DirectSlot direct_slots[DIRECT_SLOTS];
/// Set once the run is ending: from then on a statement waits for the process to end.
extern std::atomic<bool> run_ending;

/// Whether a valid unit number lies in the direct part of the table.
inline bool is_direct(std::int32_t unit_number) noexcept { return unit_number <= MAX_DIRECT_UNIT; }

/// The direct slot of a unit number of the direct part.
inline DirectSlot& direct_slot(std::int32_t unit_number) noexcept {
  return direct_slots[static_cast<std::size_t>(unit_number - MIN_UNIT)];
}

/// The busy mark of a unit: in its direct slot, or in the chained connection itself. A number
/// known where a statement is compiled names its slot at once.
inline std::atomic<bool>& busy_mark(std::int32_t unit_number, UnitConnection& unit) noexcept {
  return is_direct(unit_number) ? direct_slot(unit_number).busy : unit.busy;
}

/// acquire_unit by every rule: invalid numbers, first use, chained units, a busy unit.
ConditionCode acquire_in_full(std::int32_t unit_number, UnitConnection** connection) noexcept;

/// acquire_unit: a connected unit of the direct part that is not busy is taken on the spot.
inline ConditionCode acquire(std::int32_t unit_number, UnitConnection** connection) noexcept {
  if (unit_number >= MIN_UNIT && is_direct(unit_number) && !run_ending.load()) {
    DirectSlot& slot = direct_slot(unit_number);
    UnitConnection* unit = slot.connection.load();
    // Marking a busy unit busy again changes nothing, so an exchange takes it as well as a
    // compare-and-exchange would, without an expected value to keep.
    if (unit != nullptr && !slot.busy.exchange(true)) {
      *connection = unit;
      return ConditionCode::success;
    }
  }
  // Through a local of its own, so that the caller's pointer never has its address taken.
  UnitConnection* found = nullptr;
  const ConditionCode condition = acquire_in_full(unit_number, &found);
  *connection = found;
  return condition;
}

/// release_unit of the unit acquired as `unit_number`.
inline void release(std::int32_t unit_number, UnitConnection& unit) noexcept {
  busy_mark(unit_number, unit).store(false, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------
// The statement protocol.

// Every statement runs the same steps: acquire the unit, check that the statement may use it,
// do its work, and end through end_statement, the one place that releases the unit or routes
// the condition a step met. Steps run while the condition is 0; the first one that meets a
// condition stops the rest:
//
//   UnitConnection* unit = nullptr;
//   ConditionCode condition = acquire(unit_number, &unit);
//   if (condition == ConditionCode::success) condition = readable_condition(*unit);
//   if (condition == ConditionCode::success) condition = ...the statement's work...;
//   return end_statement(unit_number, unit, condition, branches);

/// end_statement's rare part: report_io_condition with the code itself as status value; the
/// unit is kept when it could not be had, else treated by `on_condition`.
std::int32_t route_condition(std::int32_t unit_number, UnitConnection* unit, ConditionCode condition,
                             const StatementBranches& branches, UnitDisposition on_condition,
                             const BadField* bad_field) noexcept;

/// Ends a statement: releases the unit when no step met a condition and returns 0; otherwise
/// hands the condition on to report_io_condition, which returns only when the statement's
/// branches take it back (the run ends there otherwise). `on_condition` is what happens to the
/// unit of a failed statement; `bad_field` says where an input conversion error lies.
inline std::int32_t end_statement(std::int32_t unit_number, UnitConnection* unit, ConditionCode condition,
                                  const StatementBranches& branches,
                                  UnitDisposition on_condition = UnitDisposition::release,
                                  const BadField* bad_field = nullptr) noexcept {
  if (condition == ConditionCode::success) {
    release(unit_number, *unit);
    return 0;
  }
  return route_condition(unit_number, unit, condition, branches, on_condition, bad_field);
}

/// The marks of a unit as one word. A bool is one byte holding 0 or 1, so the word masked to
/// the marks a statement checks equals the word of the marks it wants exactly when each
/// checked mark is as wanted, whatever the machine's byte order.
inline std::uint32_t marks_word(const UnitMarks& marks) noexcept { return std::bit_cast<std::uint32_t>(marks); }
inline constexpr std::uint32_t READ_CHECKED = std::bit_cast<std::uint32_t>(UnitMarks{true, false, true, true});
inline constexpr std::uint32_t WRITE_CHECKED = std::bit_cast<std::uint32_t>(UnitMarks{true, true, true, true});
/// Connected, formatted, not direct access and, for a write, not read-only.
inline constexpr std::uint32_t USABLE = std::bit_cast<std::uint32_t>(UnitMarks{true, false, true, false});

/// Whether a read statement may use the unit: 0, or the condition that refuses it.
inline ConditionCode readable_condition(const UnitConnection& unit) noexcept {
  if ((marks_word(unit.marks) & READ_CHECKED) == USABLE) return ConditionCode::success;
  if (unit.marks.direct_access) return ConditionCode::direct_access_unit;
  return ConditionCode::unformatted_unit;  // not formatted or not connected
}

/// Whether a write statement may use the unit: 0, or the condition that refuses it.
/// The checks of a read statement come first.
inline ConditionCode writable_condition(const UnitConnection& unit) noexcept {
  if ((marks_word(unit.marks) & WRITE_CHECKED) == USABLE) return ConditionCode::success;
  if (const ConditionCode usable = readable_condition(unit); usable != ConditionCode::success) return usable;
  return ConditionCode::write_to_read_only;
}

// ---------------------------------------------------------------------------------------
// Steps of the read statement.

/// Ends a record found in the buffer at `start` .. `line_feed`: CR and control-Z rules,
/// cursor set to column 1 of it.
inline ConditionCode finish_take(InputCursor& cursor, char* start, char* line_feed, char* held_end) noexcept {
  cursor.record_start = start;
  cursor.record_end = line_feed;
  cursor.next_byte = line_feed + 1;
  cursor.held_end = held_end;
  if (cursor.record_end > cursor.record_start && cursor.record_end[-1] == '\r') --cursor.record_end;
  ++cursor.record_count;
  if (cursor.record_end - cursor.record_start == 1 && *cursor.record_start == '\x1a') {  // control-Z
    return ConditionCode::end_of_file;
  }
  cursor.position = cursor.record_start;
  cursor.virtual_blanks = 0;
  return ConditionCode::success;
}

/// The part of take_record for a buffer that holds no further line end: keeps the unfinished
/// line, reads behind it (growing the buffer for a long line) until a line end or end of data.
ConditionCode refill_and_take(UnitConnection& unit) noexcept;

/// Makes the next line of the unit its current record: 0, or end of file, read error or
/// record too long. A line end already in the buffer is found on the spot.
inline ConditionCode take_record(UnitConnection& unit) noexcept {
  InputCursor& cursor = unit.formatting->input;
  char* const held_end = cursor.held_end;
  if (cursor.next_byte < held_end) {  // bytes are held only behind a record taken before
    char* const line_feed = platform::find_line_feed(cursor.next_byte, held_end);
    if (line_feed < held_end) return finish_take(cursor, cursor.next_byte, line_feed, held_end);
  }
  return refill_and_take(unit);
}

/// Reads the fields of the current record under `layout` into `items` by walking the layout:
/// an input conversion error says in `bad_field` where it lies, and the position moves past
/// what was read.
ConditionCode read_fields(UnitConnection& unit, RecordLayout layout, std::span<const InputItem> items,
                          BadField& bad_field) noexcept;

// ---------------------------------------------------------------------------------------
// Steps of the write statement.

/// Ends the `length` columns of a record at `record` in the unit's buffer, which has room for
/// them, with CR LF and writes it in one call.
inline ConditionCode send_record(UnitConnection& unit, char* record, std::size_t length) noexcept {
  record[length] = '\r';
  record[length + 1] = '\n';
  return write_record_bytes(unit, record, length + TERMINATOR_LENGTH);
}

/// Builds the record of `items` under `layout` in the unit's area, ends it with CR LF and
/// writes it: 0, or the condition (63 when the record went out but a value did not fit).
ConditionCode build_and_write(UnitConnection& unit, RecordLayout layout, std::span<const OutputItem> items) noexcept;

}  // namespace records::detail
