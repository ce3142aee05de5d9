// The record writer. The record area is the front of the unit buffer: blanked before each
// record, filled field by field in place, ended by CR LF and written with one call.
#include "records/writer.h"

#include <algorithm>
#include <cstring>

#include "records/detail.h"
#include "records/field_render.h"
#include "records/unit_connection.h"

namespace records {
namespace {

/// Columns added at the end of the area when a record needs more room; new columns are blank.
ConditionCode grow_area(UnitConnection& unit, RecordBuffer& area, std::size_t columns) noexcept {
  const std::size_t new_limit = area.limit + columns;
  if (new_limit + TERMINATOR_LENGTH > unit.buffer_size) {
    if (grow_unit_buffer(unit, new_limit + TERMINATOR_LENGTH) != ConditionCode::success) {
      return ConditionCode::record_overflow;
    }
  }
  std::memset(unit.buffer + area.limit, ' ', columns);
  area.limit = new_limit;
  return ConditionCode::success;
}

/// Renders one value into the columns at the area's position.
ConditionCode render_field(const FieldSpec& field, const OutputItem& item, char* columns,
                           FieldOutcome& outcome) noexcept {
  switch (field.kind) {
    case FieldKind::integer:
      if (item.kind != ItemKind::integer) return ConditionCode::type_mismatch;
      outcome = render_integer_in_full(item.integer, field.width, columns);
      return ConditionCode::success;
    case FieldKind::real:
      if (item.kind != ItemKind::real) return ConditionCode::type_mismatch;
      outcome = render_fixed_in_full(item.real, field.width, field.decimals, columns);
      return ConditionCode::success;
    case FieldKind::characters: {
      // Any value goes into a text field as its bytes.
      const std::string_view bytes = item.as_bytes();
      render_characters(bytes.data(), bytes.size(), field.width, columns);
      return ConditionCode::success;
    }
    case FieldKind::skip: break;
  }
  return ConditionCode::success;
}

/// Builds the record in the unit's area; returns 0, or the condition that stops it.
ConditionCode build_record(UnitConnection& unit, RecordLayout layout, std::span<const OutputItem> items,
                           bool& value_overflowed) noexcept {
  RecordBuffer& area = unit.formatting->output;
  area.start = area.position = area.high_water = 0;
  area.limit = area.start + unit.record_capacity - 1;
  std::memset(unit.buffer + area.start, ' ', area.limit - area.start);

  std::size_t next_item = 0;
  for (const FieldSpec& field : layout) {
    if (field.kind == FieldKind::skip) {
      if (area.position + field.width >= area.limit) {
        if (const ConditionCode grown = grow_area(unit, area, std::max<std::size_t>(field.width, MIN_RECORD_GROWTH));
            grown != ConditionCode::success) {
          return grown;
        }
      }
      area.position += field.width;
      continue;
    }
    if (next_item == items.size()) break;  // the walk stops at the first field without a value
    if (area.position + field.width > area.limit) {
      if (const ConditionCode grown = grow_area(unit, area, std::max<std::size_t>(field.width, MIN_RECORD_GROWTH));
          grown != ConditionCode::success) {
        return grown;
      }
    }
    FieldOutcome outcome = FieldOutcome::fits;
    const ConditionCode rendered = render_field(field, items[next_item++], unit.buffer + area.position, outcome);
    if (rendered != ConditionCode::success) return rendered;
    if (outcome == FieldOutcome::overflow) value_overflowed = true;
    area.position += field.width;
    area.high_water = std::max(area.high_water, area.position);
  }
  return ConditionCode::success;
}

/// Ends the record built in the unit's area with CR LF and writes it in one call: 0, or the
/// condition (63 when the record went out but a value did not fit its field).
ConditionCode end_record_and_write(UnitConnection& unit, bool value_overflowed) noexcept {
  const RecordBuffer& area = unit.formatting->output;
  // The CR LF fits: grow_area keeps room for it behind the area's limit, which the record's
  // last column never passes.
  const std::size_t length = area.high_water - area.start;
  if (const ConditionCode written = detail::send_record(unit, unit.buffer + area.start, length);
      written != ConditionCode::success) {
    return written;
  }
  return value_overflowed ? ConditionCode::output_conversion : ConditionCode::success;
}

}  // namespace

namespace detail {

ConditionCode build_and_write(UnitConnection& unit, RecordLayout layout, std::span<const OutputItem> items) noexcept {
  bool value_overflowed = false;
  if (const ConditionCode built = build_record(unit, layout, items, value_overflowed);
      built != ConditionCode::success) {
    return built;
  }
  return end_record_and_write(unit, value_overflowed);
}

}  // namespace detail

std::int32_t write_record(std::int32_t unit_number, RecordLayout layout, std::span<const OutputItem> items,
                          const StatementBranches& branches) noexcept {
  UnitConnection* unit = nullptr;
  ConditionCode condition = detail::acquire(unit_number, &unit);
  if (condition == ConditionCode::success) condition = detail::writable_condition(*unit);
  if (condition == ConditionCode::success) condition = detail::build_and_write(*unit, layout, items);
  return detail::end_statement(unit_number, unit, condition, branches);
}

std::int32_t empty_if_unwritten(std::int32_t unit_number, const StatementBranches& branches) noexcept {
  UnitConnection* unit = nullptr;
  ConditionCode condition = detail::acquire(unit_number, &unit);
  if (condition == ConditionCode::success) condition = empty_unwritten_file(*unit);
  return detail::end_statement(unit_number, unit, condition, branches);
}

}  // namespace records
