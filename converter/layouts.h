// The two constant record layouts, the KORV input line and the DUNTA output line, and the
// statements that read and write one line under them. The statements are defined here, in
// line, so that the driver's loop runs a whole line in one frame: the code compiled for each
// layout then sits between the driver's own steps without a call around it.
#pragma once

#include <span>

#include "converter/driver.h"
#include "converter/line_record.h"
#include "records/compiled_layout.h"
#include "records/layout.h"

namespace converter {

/// The KORV line: five integers, the species letter and the frequency (7 implied decimals).
inline constexpr records::FieldSpec INPUT_FIELDS[] = {
    records::FieldSpec::skip(6),  records::FieldSpec::integer(2),     // columns 7-8: first.a
    records::FieldSpec::skip(3),  records::FieldSpec::integer(3),     // columns 12-14: first.b
    records::FieldSpec::skip(1),  records::FieldSpec::integer(2),     // columns 16-17: second.a
    records::FieldSpec::skip(3),  records::FieldSpec::integer(3),     // columns 21-23: second.b
    records::FieldSpec::skip(3),  records::FieldSpec::integer(1),     // column 27: digit
    records::FieldSpec::skip(4),  records::FieldSpec::characters(1),  // column 32: species
    records::FieldSpec::skip(24), records::FieldSpec::real(10, 7),    // columns 57-66: frequency
};

/// The DUNTA line: 66 columns, fourteen values.
inline constexpr records::FieldSpec OUTPUT_FIELDS[] = {
    records::FieldSpec::real(12, 5),                                     // 1-12 frequency
    records::FieldSpec::integer(2),                                      // 13-14 first.lead
    records::FieldSpec::skip(2),     records::FieldSpec::integer(2),     // 17-18 first.a
    records::FieldSpec::skip(2),     records::FieldSpec::integer(3),     // 21-23 first.b
    records::FieldSpec::skip(2),     records::FieldSpec::characters(1),  // 26 first.sign
    records::FieldSpec::skip(1),     records::FieldSpec::integer(2),     // 28-29 first.a_next
    records::FieldSpec::skip(2),     records::FieldSpec::integer(1),     // 32 second.lead
    records::FieldSpec::skip(2),     records::FieldSpec::integer(2),     // 35-36 second.a
    records::FieldSpec::skip(2),     records::FieldSpec::integer(3),     // 39-41 second.b
    records::FieldSpec::skip(2),     records::FieldSpec::characters(1),  // 44 second.sign
    records::FieldSpec::skip(1),     records::FieldSpec::integer(2),     // 46-47 second.a_next
    records::FieldSpec::skip(2),     records::FieldSpec::integer(1),     // 50 trailer_flag
    records::FieldSpec::skip(3),     records::FieldSpec::integer(4),     // 54-57 trailer_code
    records::FieldSpec::skip(3),     records::FieldSpec::characters(6),  // 61-66 trailer_text
};

inline constexpr std::span<const records::FieldSpec> INPUT_LAYOUT{INPUT_FIELDS};
inline constexpr std::span<const records::FieldSpec> OUTPUT_LAYOUT{OUTPUT_FIELDS};

/// The read statement has an end branch and nothing else.
inline constexpr records::StatementBranches READ_BRANCHES{.end_branch = true};
/// The write statement has no branch and hands a value that did not fit back quietly.
inline constexpr records::StatementBranches WRITE_BRANCHES{.quiet_output_conversion = true};

/// Reads the next input line into `record`; false at end of file. Other outcomes end the run.
[[gnu::always_inline]] inline bool read_input_record(LineRecord& record) noexcept {
  return records::read_compiled_values<INPUT_FIELDS>(INPUT_UNIT, READ_BRANCHES, record.first.a, record.first.b,
                                                     record.second.a, record.second.b, record.digit, record.species,
                                                     record.freq) == 0;
}

/// Writes one output line from a kept record. A value too wide for its columns is written as
/// asterisks without a word; other failures end the run.
[[gnu::always_inline]] inline void write_output_record(const LineRecord& record) noexcept {
  // A value too wide for its field comes back as 63 and is deliberately ignored.
  (void)records::write_compiled_values<OUTPUT_FIELDS>(
      OUTPUT_UNIT, WRITE_BRANCHES, record.freq, record.first.lead, record.first.a, record.first.b, record.first.sign,
      record.first.a_next, record.second.lead, record.second.a, record.second.b, record.second.sign,
      record.second.a_next, record.trailer_flag, record.trailer_code, record.trailer_text);
}

}  // namespace converter
