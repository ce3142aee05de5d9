// The conversion driver. Records stream through one zero-filled LineRecord at a time, so any
// number of lines converts in constant memory; each record starts from zero as a fresh slot.
#include "converter/driver.h"

#include "converter/layouts.h"
#include "converter/rules.h"
#include "records/units.h"
#include "records/writer.h"

namespace converter {

void convert_line_list() noexcept {
  // No statement here carries an error branch: a condition other than end of file ends the run
  // in the condition router and never comes back, so each call below returns only on success.
  constexpr records::StatementBranches NO_BRANCHES{};
  // The input must exist: a missing line list is "file not found", never an empty success.
  records::connect_unit(
      {INPUT_UNIT, INPUT_FILE_NAME, records::BlankMode::null, records::FileStatus::old, records::UnitUse::reading},
      NO_BRANCHES);
  records::connect_unit({OUTPUT_UNIT, OUTPUT_FILE_NAME, records::BlankMode::null, records::FileStatus::unknown,
                         records::UnitUse::writing},
                        NO_BRANCHES);
  for (;;) {
    LineRecord record{};
    if (!read_input_record(record)) break;
    if (!apply_conversion_rules(record)) continue;
    write_output_record(record);
  }
  // A run that wrote nothing must not leave an earlier run's lines behind.
  records::empty_if_unwritten(OUTPUT_UNIT, NO_BRANCHES);
}

}  // namespace converter
