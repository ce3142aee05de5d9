// The record writer: renders values into one fixed-column record in the unit's record area
// and hands it, ended by CR LF, to the file layer in one write.
#pragma once

#include <cstdint>
#include <span>

#include "records/diagnostics.h"
#include "records/layout.h"

namespace records {

/// Columns the record area grows by at least when a record does not fit.
inline constexpr std::size_t MIN_RECORD_GROWTH = 512;

/// Writes one record of `items` under `layout` to `unit_number`. Returns 0, or the status of
/// a condition handed back (63 when a value did not fit and the statement returns it quietly);
/// every other condition ends the run unless `branches` has an error branch.
std::int32_t write_record(std::int32_t unit_number, RecordLayout layout, std::span<const OutputItem> items,
                          const StatementBranches& branches) noexcept;

/// Ends output on a unit that no record reached: a disk file connected for writing is cut to
/// empty, so a run that wrote nothing leaves nothing of an earlier run behind. Returns 0 or
/// the status of a condition handed back.
std::int32_t empty_if_unwritten(std::int32_t unit_number, const StatementBranches& branches) noexcept;

}  // namespace records
