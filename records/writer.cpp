// The record writer. The record area is the front of the unit buffer: blanked before each
// record, filled field by field in place, ended by CR LF and written with one call.
#include "records/writer.h"

#include <algorithm>
#include <cstring>

#include "records/field_render.h"
#include "records/units.h"

namespace records {
namespace {

/// Columns added at the end of the area when a record needs more room; new columns are blank.
ConditionCode grow_area(UnitConnection& unit, RecordBuffer& area, std::size_t columns) noexcept {
  const std::size_t new_limit = area.limit + columns;
  // The terminator and a little slack must always fit behind the area.
  if (new_limit + 4 > unit.buffer_size) {
    if (grow_unit_buffer(unit, new_limit + 4) != ConditionCode::success) return ConditionCode::record_overflow;
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
      outcome = render_integer(item.integer, field.width, columns);
      return ConditionCode::success;
    case FieldKind::real:
      if (item.kind != ItemKind::real) return ConditionCode::type_mismatch;
      outcome = render_fixed(item.real, field.width, field.decimals, columns);
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

}  // namespace

ConditionCode end_record_and_write(UnitConnection& unit, bool value_overflowed) noexcept {
  const RecordBuffer& area = unit.formatting->output;
  const std::size_t length = area.high_water - area.start;
  if (length + 4 > unit.buffer_size && grow_unit_buffer(unit, length + 4) != ConditionCode::success) {
    return ConditionCode::record_overflow;
  }
  char* record = unit.buffer + area.start;
  record[length] = '\r';
  record[length + 1] = '\n';
  if (const ConditionCode written = write_record_bytes(unit, record, length + 2); written != ConditionCode::success) {
    return written;
  }
  return value_overflowed ? ConditionCode::output_conversion : ConditionCode::success;
}

std::int32_t finish_write_statement(std::int32_t unit_number, UnitConnection* unit, ConditionCode condition, bool built,
                                    RecordLayout layout, std::span<const OutputItem> items,
                                    const StatementBranches& branches) noexcept {
  if (unit == nullptr) {
    return report_io_condition(UnitDisposition::keep, condition, static_cast<std::int32_t>(code_value(condition)),
                               nullptr, branches, unit_number);
  }
  if (condition == ConditionCode::success && !built) {
    bool value_overflowed = false;
    condition = build_record(*unit, layout, items, value_overflowed);
    if (condition == ConditionCode::success) condition = end_record_and_write(*unit, value_overflowed);
  }
  if (condition != ConditionCode::success) {
    return report_io_condition(UnitDisposition::release, condition, static_cast<std::int32_t>(code_value(condition)),
                               unit, branches);
  }
  release_unit(*unit);
  return 0;
}

std::int32_t write_record(std::int32_t unit_number, RecordLayout layout, std::span<const OutputItem> items,
                          const StatementBranches& branches) noexcept {
  UnitConnection* unit = nullptr;
  ConditionCode condition = acquire_unit(unit_number, &unit);
  if (condition == ConditionCode::success) condition = writable_condition(*unit);
  return finish_write_statement(unit_number, unit, condition, false, layout, items, branches);
}

std::int32_t empty_if_unwritten(std::int32_t unit_number, const StatementBranches& branches) noexcept {
  UnitConnection* unit = nullptr;
  if (const ConditionCode acquired = acquire_unit(unit_number, &unit); acquired != ConditionCode::success) {
    return report_io_condition(UnitDisposition::keep, acquired, static_cast<std::int32_t>(code_value(acquired)),
                               nullptr, branches, unit_number);
  }
  if (const ConditionCode emptied = empty_unwritten_file(*unit); emptied != ConditionCode::success) {
    return report_io_condition(UnitDisposition::release, emptied, static_cast<std::int32_t>(code_value(emptied)), unit,
                               branches);
  }
  release_unit(unit_number);
  return 0;
}

}  // namespace records
