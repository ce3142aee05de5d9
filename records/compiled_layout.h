// Code made at compile time for a constant layout: every field's columns are known, so a
// record is read or filled field by field at fixed offsets, without walking the layout.
#pragma once

#include <cstddef>
#include <cstring>
#include <iterator>
#include <span>
#include <string_view>

#include "records/condition.h"
#include "records/field_parse.h"
#include "records/field_render.h"
#include "records/layout.h"

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
      if (ITEM >= items.size()) return {ConditionCode::success, 0, 0, OFFSET};
      const InputItem& item = items[ITEM];
      const std::string_view text(record + OFFSET, FIELD.width);
      constexpr ItemKind KIND = FIELD.kind == FieldKind::integer ? ItemKind::integer
                                : FIELD.kind == FieldKind::real  ? ItemKind::real
                                                                 : ItemKind::characters;
      if (item.kind != KIND) return {ConditionCode::type_mismatch, OFFSET, FIELD.width, OFFSET};
      bool valid = true;
      if constexpr (KIND == ItemKind::integer) {
        auto* target = static_cast<std::int32_t*>(item.target);
        bool done = false;
        if constexpr (FIELD.width <= 9) done = blanks_ignored && parse_integer_plain<FIELD.width>(text.data(), *target);
        if (!done) {
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
        if (!done) {
          const FixedParse parsed = parse_fixed(text, FIELD.decimals, blanks_ignored);
          *target = parsed.value;
          valid = parsed.status == ParseStatus::ok;
        }
      } else if (item.length == FIELD.width) {
        std::memcpy(item.target, text.data(), FIELD.width);
      } else {
        parse_characters(text, static_cast<char*>(item.target), item.length);
      }
      if (!valid) {
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
      if (ITEM >= items.size()) return {ConditionCode::success, 0, 0, high_water};
      const OutputItem& item = items[ITEM];
      char* columns = area + OFFSET;
      if constexpr (FIELD.kind == FieldKind::integer) {
        if (item.kind != ItemKind::integer) return {ConditionCode::type_mismatch, OFFSET, FIELD.width, high_water};
        bool done = false;
        if constexpr (FIELD.width <= 9) done = render_integer_plain<FIELD.width>(item.integer, columns);
        if (!done) overflowed |= render_integer(item.integer, FIELD.width, columns) == FieldOutcome::overflow;
      } else if constexpr (FIELD.kind == FieldKind::real) {
        if (item.kind != ItemKind::real) return {ConditionCode::type_mismatch, OFFSET, FIELD.width, high_water};
        bool done = false;
        if constexpr (FIELD.width <= 20 && FIELD.decimals <= 9 && FIELD.decimals + 2 <= FIELD.width) {
          done = render_fixed_plain<FIELD.width, FIELD.decimals>(item.real, columns);
        }
        if (!done)
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

template <const auto& FIELDS>
FieldsOutcome read_whole(const char* record, std::span<const InputItem> items, bool blanks_ignored) noexcept {
  return read_from<FIELDS, 0, 0, 0>(record, items, blanks_ignored);
}

template <const auto& FIELDS>
FieldsOutcome fill_whole(char* area, std::span<const OutputItem> items, bool& overflowed) noexcept {
  return fill_from<FIELDS, 0, 0, 0>(area, items, overflowed, 0);
}

template <const auto& FIELDS>
constexpr std::size_t span_of() noexcept {
  std::size_t span = 0;
  for (const FieldSpec& field : FIELDS) span += field.width;
  return span;
}

}  // namespace compiled

/// The compiled form of the constant layout FIELDS (an array of static storage duration).
template <const auto& FIELDS>
constexpr CompiledLayout compile_layout() noexcept {
  return {RecordLayout(FIELDS), compiled::span_of<FIELDS>(), compiled::read_whole<FIELDS>,
          compiled::fill_whole<FIELDS>};
}

}  // namespace records
