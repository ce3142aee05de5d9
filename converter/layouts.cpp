// The KORV and DUNTA layouts and the statements that read and write one line under them.
#include "converter/layouts.h"

#include <span>
#include <string_view>

#include "converter/driver.h"
#include "records/compiled_layout.h"
#include "records/reader.h"
#include "records/writer.h"

namespace converter {
namespace {

using records::FieldSpec;

constexpr FieldSpec INPUT_FIELDS[] = {
    FieldSpec::skip(6),  FieldSpec::integer(2),     // columns 7-8: first.a
    FieldSpec::skip(3),  FieldSpec::integer(3),     // columns 12-14: first.b
    FieldSpec::skip(1),  FieldSpec::integer(2),     // columns 16-17: second.a
    FieldSpec::skip(3),  FieldSpec::integer(3),     // columns 21-23: second.b
    FieldSpec::skip(3),  FieldSpec::integer(1),     // column 27: digit
    FieldSpec::skip(4),  FieldSpec::characters(1),  // column 32: species
    FieldSpec::skip(24), FieldSpec::real(10, 7),    // columns 57-66: frequency
};

constexpr FieldSpec OUTPUT_FIELDS[] = {
    FieldSpec::real(12, 5),                            // 1-12 frequency
    FieldSpec::integer(2),                             // 13-14 first.lead
    FieldSpec::skip(2),     FieldSpec::integer(2),     // 17-18 first.a
    FieldSpec::skip(2),     FieldSpec::integer(3),     // 21-23 first.b
    FieldSpec::skip(2),     FieldSpec::characters(1),  // 26 first.sign
    FieldSpec::skip(1),     FieldSpec::integer(2),     // 28-29 first.a_next
    FieldSpec::skip(2),     FieldSpec::integer(1),     // 32 second.lead
    FieldSpec::skip(2),     FieldSpec::integer(2),     // 35-36 second.a
    FieldSpec::skip(2),     FieldSpec::integer(3),     // 39-41 second.b
    FieldSpec::skip(2),     FieldSpec::characters(1),  // 44 second.sign
    FieldSpec::skip(1),     FieldSpec::integer(2),     // 46-47 second.a_next
    FieldSpec::skip(2),     FieldSpec::integer(1),     // 50 trailer_flag
    FieldSpec::skip(3),     FieldSpec::integer(4),     // 54-57 trailer_code
    FieldSpec::skip(3),     FieldSpec::characters(6),  // 61-66 trailer_text
};

/// The read statement has an end branch and nothing else.
constexpr records::StatementBranches READ_BRANCHES{true, false, false, false};
/// The write statement has no branch and hands a value that did not fit back quietly.
constexpr records::StatementBranches WRITE_BRANCHES{false, false, false, true};

}  // namespace

const std::span<const FieldSpec> INPUT_LAYOUT{INPUT_FIELDS};
const std::span<const FieldSpec> OUTPUT_LAYOUT{OUTPUT_FIELDS};

bool read_input_record(LineRecord& record) noexcept {
  std::span<char> species(&record.species, 1);
  return records::read_compiled_values<INPUT_FIELDS>(INPUT_UNIT, READ_BRANCHES, record.first.a, record.first.b,
                                                     record.second.a, record.second.b, record.digit, species,
                                                     record.freq) == 0;
}

void write_output_record(const LineRecord& record) noexcept {
  using Text = std::string_view;
  // A value too wide for its field comes back as 63 and is deliberately ignored.
  (void)records::write_compiled_values<OUTPUT_FIELDS>(
      OUTPUT_UNIT, WRITE_BRANCHES, record.freq, record.first.lead, record.first.a, record.first.b,
      Text(&record.first.sign, 1), record.first.a_next, record.second.lead, record.second.a, record.second.b,
      Text(&record.second.sign, 1), record.second.a_next, record.trailer_flag, record.trailer_code,
      Text(record.trailer_text, sizeof record.trailer_text));
}

}  // namespace converter
