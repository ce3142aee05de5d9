// Code made at compile time for a constant layout: every field's columns are known, so a
// record is read or filled field by field at fixed offsets, without walking the layout.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <span>
#include <string_view>

#include "records/condition.h"
#include "records/field_parse.h"
#include "records/field_render.h"
#include "records/layout.h"
#include "records/reader.h"
#include "records/units.h"
#include "records/writer.h"

namespace records {
namespace compiled {

/// Converts field I (at column offset OFFSET, filling item ITEM) and the fields after it.
template <const auto& FIELDS, std::size_t I, std::size_t OFFSET, std::size_t ITEM>
FieldsOutcome read_from(const char* record, std::span<const InputItem> items, bool blanks_ignored) noexcept {
  if constexpr (I == std::size(FIELDS)) {
    return {ConditionCode::success, 0, 0, OFFSET};
  } else {
    constexpr FieldSpec FIELD = FIELDS[I];
    if constexpr (FIELD.kind == FieldKind::skip) {
      return read_from<FIELDS, I + 1, OFFSET + FIELD.width, ITEM>(record, items, blanks_ignored);
    } else {
      const InputItem& item = items[ITEM];
      const std::string_view text(record + OFFSET, FIELD.width);
      constexpr ItemKind KIND = FIELD.kind == FieldKind::integer ? ItemKind::integer
                                : FIELD.kind == FieldKind::real  ? ItemKind::real
                                                                 : ItemKind::characters;
      bool valid = true;
      if constexpr (KIND == ItemKind::integer) {
        auto* target = static_cast<std::int32_t*>(item.target);
        bool done = false;
        if constexpr (FIELD.width <= 9) done = blanks_ignored && parse_integer_plain<FIELD.width>(text.data(), *target);
        if (!done) [[unlikely]] {
          const IntegerParse parsed = parse_integer(text, blanks_ignored);
          *target = parsed.value;
          valid = parsed.status == ParseStatus::ok;
        }
      } else if constexpr (KIND == ItemKind::real) {
        auto* target = static_cast<double*>(item.target);
        bool done = false;
        if constexpr (FIELD.width <= 16) {
          done = blanks_ignored && parse_fixed_plain<FIELD.width>(text.data(), FIELD.decimals, *target);
        }
        if (!done) [[unlikely]] {
          const FixedParse parsed = parse_fixed(text, FIELD.decimals, blanks_ignored);
          *target = parsed.value;
          valid = parsed.status == ParseStatus::ok;
        }
      } else if (item.length == FIELD.width) {
        std::memcpy(item.target, text.data(), FIELD.width);
      } else {
        parse_characters(text, static_cast<char*>(item.target), item.length);
      }
      if (!valid) [[unlikely]] {
        // A comma ends a numeric field early and shifts the rest of the line; no field with
        // one converts, so the check costs nothing on good lines.
        if (std::memchr(text.data(), ',', text.size()) != nullptr) return {ConditionCode::success, 0, 0, 0, true};
        return {ConditionCode::input_conversion, OFFSET, FIELD.width, OFFSET};
      }
      return read_from<FIELDS, I + 1, OFFSET + FIELD.width, ITEM + 1>(record, items, blanks_ignored);
    }
  }
}

/// Renders field I (at column offset OFFSET, from item ITEM) and the fields after it; the
/// outcome's length is the end of the last value field rendered.
template <const auto& FIELDS, std::size_t I, std::size_t OFFSET, std::size_t ITEM>
FieldsOutcome fill_from(char* area, std::span<const OutputItem> items, bool& overflowed,
                        std::size_t high_water) noexcept {
  if constexpr (I == std::size(FIELDS)) {
    return {ConditionCode::success, 0, 0, high_water};
  } else {
    constexpr FieldSpec FIELD = FIELDS[I];
    if constexpr (FIELD.kind == FieldKind::skip) {
      return fill_from<FIELDS, I + 1, OFFSET + FIELD.width, ITEM>(area, items, overflowed, high_water);
    } else {
      const OutputItem& item = items[ITEM];
      char* columns = area + OFFSET;
      if constexpr (FIELD.kind == FieldKind::integer) {
        bool done = false;
        if constexpr (FIELD.width <= 9) done = render_integer_plain<FIELD.width>(item.integer, columns);
        if (!done) [[unlikely]]
          overflowed |= render_integer(item.integer, FIELD.width, columns) == FieldOutcome::overflow;
      } else if constexpr (FIELD.kind == FieldKind::real) {
        bool done = false;
        if constexpr (FIELD.width <= 20 && FIELD.decimals <= 9 && FIELD.decimals + 2 <= FIELD.width) {
          done = render_fixed_plain<FIELD.width, FIELD.decimals>(item.real, columns);
        }
        if (!done) [[unlikely]]
          overflowed |= render_fixed(item.real, FIELD.width, FIELD.decimals, columns) == FieldOutcome::overflow;
      } else if (item.kind == ItemKind::characters && item.length == FIELD.width) {
        std::memcpy(columns, item.bytes, FIELD.width);
      } else {
        const std::string_view bytes = item.as_bytes();  // any value goes into a text field as its bytes
        render_characters(bytes.data(), bytes.size(), FIELD.width, columns);
      }
      return fill_from<FIELDS, I + 1, OFFSET + FIELD.width, ITEM + 1>(area, items, overflowed, OFFSET + FIELD.width);
    }
  }
}

/// The item kind each data field of the layout takes, in order.
template <const auto& FIELDS>
constexpr auto item_kinds_of() noexcept {
  constexpr std::size_t COUNT = [] {
    std::size_t count = 0;
    for (const FieldSpec& field : FIELDS) count += field.kind == FieldKind::skip ? 0 : 1;
    return count;
  }();
  std::array<ItemKind, COUNT> kinds{};
  std::size_t next = 0;
  for (const FieldSpec& field : FIELDS) {
    if (field.kind == FieldKind::integer) kinds[next++] = ItemKind::integer;
    if (field.kind == FieldKind::real) kinds[next++] = ItemKind::real;
    if (field.kind == FieldKind::characters) kinds[next++] = ItemKind::characters;
  }
  return kinds;
}

/// True when there is an item for every data field and each is of the field's kind, as the
/// compiled code assumes; a text field takes any kind on output (`any_text`).
template <const auto& FIELDS, typename Item>
bool items_fit(std::span<const Item> items, bool any_text) noexcept {
  static constexpr auto KINDS = item_kinds_of<FIELDS>();
  if (items.size() < KINDS.size()) return false;
  for (std::size_t i = 0; i < KINDS.size(); ++i) {
    if (items[i].kind != KINDS[i] && !(any_text && KINDS[i] == ItemKind::characters)) return false;
  }
  return true;
}

template <const auto& FIELDS>
constexpr std::size_t span_of() noexcept {
  std::size_t span = 0;
  for (const FieldSpec& field : FIELDS) span += field.width;
  return span;
}

}  // namespace compiled

/// read_record for the constant layout FIELDS (an array of static storage duration): a record
/// that holds every column of the layout and converts without a condition is read by code
/// made for the layout at compile time, in line; any other record, and every condition, goes
/// on through the general statement, with the same values, conditions and context lines.
template <const auto& FIELDS>
std::int32_t read_compiled_record(std::int32_t unit_number, std::span<const InputItem> items,
                                  const StatementBranches& branches) noexcept {
  constexpr std::size_t SPAN = compiled::span_of<FIELDS>();
  const RecordLayout layout(FIELDS);
  UnitConnection* unit = nullptr;
  ConditionCode condition = acquire_unit(unit_number, &unit);
  if (condition == ConditionCode::success) condition = readable_condition(*unit);
  if (condition == ConditionCode::success) condition = take_next_record(*unit);
  if (condition != ConditionCode::success) [[unlikely]] {
    return finish_read_statement(unit_number, unit, condition, nullptr, layout, items, branches);
  }
  InputCursor& cursor = unit->formatting->input;
  if (SPAN > static_cast<std::size_t>(cursor.record_end - cursor.position) ||
      !compiled::items_fit<FIELDS>(items, false)) [[unlikely]] {
    return finish_read_statement(unit_number, unit, condition, nullptr, layout, items, branches);
  }
  const FieldsOutcome read = compiled::read_from<FIELDS, 0, 0, 0>(cursor.position, items, unit->blanks_ignored);
  if (read.condition != ConditionCode::success || read.needs_walk) [[unlikely]] {
    return finish_read_statement(unit_number, unit, condition, &read, layout, items, branches);
  }
  cursor.position += read.length;
  release_unit(*unit);
  return 0;
}

/// write_record for the constant layout FIELDS: when the record area holds the whole layout,
/// the values are rendered by code made for it at compile time, in line, into blanked columns;
/// otherwise the general statement builds the record. The bytes and conditions are the same.
template <const auto& FIELDS>
std::int32_t write_compiled_record(std::int32_t unit_number, std::span<const OutputItem> items,
                                   const StatementBranches& branches) noexcept {
  constexpr std::size_t SPAN = compiled::span_of<FIELDS>();
  const RecordLayout layout(FIELDS);
  UnitConnection* unit = nullptr;
  ConditionCode condition = acquire_unit(unit_number, &unit);
  if (condition == ConditionCode::success) condition = writable_condition(*unit);
  // The area runs to record_capacity - 1 columns; CR LF and slack follow it in the buffer.
  if (condition != ConditionCode::success || SPAN + 1 >= unit->record_capacity || SPAN + 4 > unit->buffer_size ||
      !compiled::items_fit<FIELDS>(items, true)) [[unlikely]] {
    return finish_write_statement(unit_number, unit, condition, false, layout, items, branches);
  }
  RecordBuffer& area = unit->formatting->output;
  area.start = 0;
  area.limit = unit->record_capacity - 1;
  // Columns past the layout are never written, so only the layout's own are blanked.
  std::memset(unit->buffer, ' ', SPAN);
  bool value_overflowed = false;
  const FieldsOutcome filled = compiled::fill_from<FIELDS, 0, 0, 0>(unit->buffer, items, value_overflowed, 0);
  area.high_water = filled.length;
  area.position = SPAN;
  condition = filled.condition;
  if (condition == ConditionCode::success) {
    // The area starts the buffer and the layout leaves room for CR LF behind it.
    char* record = unit->buffer;
    record[filled.length] = '\r';
    record[filled.length + 1] = '\n';
    condition = write_record_bytes(*unit, record, filled.length + 2);
    if (condition == ConditionCode::success && value_overflowed) condition = ConditionCode::output_conversion;
  }
  if (condition != ConditionCode::success) [[unlikely]] {
    return finish_write_statement(unit_number, unit, condition, true, layout, items, branches);
  }
  release_unit(*unit);
  return 0;
}

}  // namespace records
