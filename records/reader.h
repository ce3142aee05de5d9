// The record reader: takes the next line of a unit as one record and converts the data
// fields of a layout into the caller's items.
#pragma once

#include <cstdint>
#include <span>

#include "records/diagnostics.h"
#include "records/layout.h"

namespace records {

/// Reads one record of `unit_number` under `layout` into `items`. Returns 0, or -1 at end of
/// file when `branches` has an end branch (no item changed); other conditions go to
/// report_io_condition and, without an error branch, end the run.
std::int32_t read_record(std::int32_t unit_number, RecordLayout layout, std::span<const InputItem> items,
                         const StatementBranches& branches) noexcept;

}  // namespace records
