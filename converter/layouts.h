// The two constant record layouts: the KORV input line and the DUNTA output line.
#pragma once

#include <span>

#include "converter/line_record.h"
#include "records/layout.h"

namespace converter {

/// The KORV line: five integers, the species letter and the frequency (7 implied decimals).
extern const std::span<const records::FieldSpec> INPUT_LAYOUT;
/// The DUNTA line: 66 columns, fourteen values.
extern const std::span<const records::FieldSpec> OUTPUT_LAYOUT;

/// Reads the next input line into `record`; false at end of file. Other outcomes end the run.
bool read_input_record(LineRecord& record) noexcept;
/// Writes one output line from a kept record. A value too wide for its columns is written as
/// asterisks without a word; other failures end the run.
void write_output_record(const LineRecord& record) noexcept;

}  // namespace converter
