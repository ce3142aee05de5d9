// The record writer: renders values into one fixed-column record in the unit's record area
// and hands it, ended by CR LF, to the file layer in one write.
#pragma once

#include <cstdint>
#include <span>

#include "records/diagnostics.h"
#include "records/layout.h"
#include "records/units.h"

namespace records {

/// Columns the record area grows by at least when a record does not fit.
inline constexpr std::size_t MIN_RECORD_GROWTH = 512;

/// Writes one record of `items` under `layout` to `unit_number`. Returns 0, or the status of
/// a condition handed back (63 when a value did not fit and the statement returns it quietly);
/// every other condition ends the run unless `branches` has an error branch.
std::int32_t write_record(std::int32_t unit_number, RecordLayout layout, std::span<const OutputItem> items,
                          const StatementBranches& branches) noexcept;

/// Whether a write statement may use the unit: 0, or the condition that refuses it.
inline ConditionCode writable_condition(const UnitConnection& unit) noexcept {
  if (unit.direct_access) return ConditionCode::direct_access_unit;
  if (!unit.formatted || !unit.connected) return ConditionCode::unformatted_unit;
  if (unit.read_only) return ConditionCode::write_to_read_only;
  return ConditionCode::success;
}

/// Ends the record built in the unit's area with CR LF and writes it in one call: 0, or the
/// condition (63 when the record went out but a value did not fit its field).
ConditionCode end_record_and_write(UnitConnection& unit, bool value_overflowed) noexcept;

/// The rest of a write statement once the unit was acquired (`unit` null when acquiring failed
/// with `condition`). With `condition` 0 and `built` false, builds the record under `layout`
/// and writes it; with `built` true, `condition` is the outcome of the record already written.
/// Releases the unit, or hands the condition to report_io_condition.
std::int32_t finish_write_statement(std::int32_t unit_number, UnitConnection* unit, ConditionCode condition, bool built,
                                    RecordLayout layout, std::span<const OutputItem> items,
                                    const StatementBranches& branches) noexcept;

/// Ends output on a unit that no record reached: a disk file connected for writing is cut to
/// empty, so a run that wrote nothing leaves nothing of an earlier run behind. Returns 0 or
/// the status of a condition handed back.
std::int32_t empty_if_unwritten(std::int32_t unit_number, const StatementBranches& branches) noexcept;

}  // namespace records
