// Code made at compile time for a constant layout: every field's columns are known, so a
// record is read or filled field by field at fixed offsets, without walking the layout.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "records/condition.h"
#include "records/detail.h"
#include "records/field_parse.h"
#include "records/field_render.h"
#include "records/layout.h"
#include "records/reader.h"
#include "records/units.h"
#include "records/writer.h"

namespace records {
namespace compiled {

/// Where read_from puts the values of a record: the targets of InputItems, checked by items_fit.
struct ItemTargets {
  std::span<const InputItem> items;
  template <std::size_t I>
  std::int32_t& integer() const noexcept {
    return *static_cast<std::int32_t*>(items[I].target);
  }
  template <std::size_t I>
  double& real() const noexcept {
    return *static_cast<double*>(items[I].target);
  }
  template <std::size_t I>
  std::span<char> text() const noexcept {
    return {static_cast<char*>(items[I].target), items[I].length};
  }
};

/// Where read_from puts the values of a record: variables named at compile time, an int32_t
/// for each integer field, a double for each real field, a span of bytes for each text field.
template <typename... Targets>
struct VariableTargets {
  std::tuple<Targets&...> targets;
  template <std::size_t I>
  std::int32_t& integer() const noexcept {
    static_assert(std::is_same_v<std::tuple_element_t<I, std::tuple<Targets...>>, std::int32_t>);
    return std::get<I>(targets);
  }
  template <std::size_t I>
  double& real() const noexcept {
    static_assert(std::is_same_v<std::tuple_element_t<I, std::tuple<Targets...>>, double>);
    return std::get<I>(targets);
  }
  template <std::size_t I>
  std::span<char> text() const noexcept {
    static_assert(std::is_same_v<std::tuple_element_t<I, std::tuple<Targets...>>, std::span<char>>);
    return std::get<I>(targets);
  }
};

/// The values write fill_from renders: those of OutputItems, checked by items_fit.
struct ItemValues {
  std::span<const OutputItem> items;
  template <std::size_t I>
  std::int32_t integer() const noexcept {
    return items[I].integer;
  }
  template <std::size_t I>
  double real() const noexcept {
    return items[I].real;
  }
  template <std::size_t I>
  std::string_view text() const noexcept {
    return items[I].as_bytes();  // any value goes into a text field as its bytes
  }
};

/// The values fill_from renders: variables named at compile time, an int32_t for each integer
/// field, a double for each real field, a string_view for each text field.
template <typename... Values>
struct VariableValues {
  std::tuple<const Values&...> values;
  template <std::size_t I>
  std::int32_t integer() const noexcept {
    static_assert(std::is_same_v<std::tuple_element_t<I, std::tuple<Values...>>, std::int32_t>);
    return std::get<I>(values);
  }
  template <std::size_t I>
  double real() const noexcept {
    static_assert(std::is_same_v<std::tuple_element_t<I, std::tuple<Values...>>, double>);
    return std::get<I>(values);
  }
  template <std::size_t I>
  std::string_view text() const noexcept {
    static_assert(std::is_same_v<std::tuple_element_t<I, std::tuple<Values...>>, std::string_view>);
    return std::get<I>(values);
  }
};

/// Converts field I (at column offset OFFSET, filling value ITEM of `to`) and the fields after it.
template <const auto& FIELDS, std::size_t I, std::size_t OFFSET, std::size_t ITEM, typename Targets>
FieldsOutcome read_from(const char* record, const Targets& to, bool blanks_ignored) noexcept {
  if constexpr (I == std::size(FIELDS)) {
    return {ConditionCode::success, 0, 0, OFFSET};
  } else {
    constexpr FieldSpec FIELD = FIELDS[I];
    if constexpr (FIELD.kind == FieldKind::skip) {
      return read_from<FIELDS, I + 1, OFFSET + FIELD.width, ITEM>(record, to, blanks_ignored);
    } else {
      const std::string_view text(record + OFFSET, FIELD.width);
      bool valid = true;
      if constexpr (FIELD.kind == FieldKind::integer) {
        std::int32_t& target = to.template integer<ITEM>();
        bool done = false;
        if constexpr (FIELD.width <= 9) done = blanks_ignored && parse_integer_plain<FIELD.width>(text.data(), target);
        if (!done) [[unlikely]] {
          const IntegerParse parsed = parse_integer_in_full(text, blanks_ignored);
          target = parsed.value;
          valid = parsed.status == ParseStatus::ok;
        }
      } else if constexpr (FIELD.kind == FieldKind::real) {
        double& target = to.template real<ITEM>();
        bool done = false;
        if constexpr (FIELD.width <= 16) {
          done = blanks_ignored && parse_fixed_plain<FIELD.width>(text.data(), FIELD.decimals, target);
        }
        if (!done) [[unlikely]] {
          const FixedParse parsed = parse_fixed_in_full(text, FIELD.decimals, blanks_ignored);
          target = parsed.value;
          valid = parsed.status == ParseStatus::ok;
        }
      } else {
        const std::span<char> area = to.template text<ITEM>();
        if (area.size() == FIELD.width) {
          std::memcpy(area.data(), text.data(), FIELD.width);
        } else {
          parse_characters(text, area.data(), area.size());
        }
      }
      if (!valid) [[unlikely]] {
        // A comma ends a numeric field early and shifts the rest of the line; no field with
        // one converts, so the check costs nothing on good lines.
        if (std::memchr(text.data(), ',', text.size()) != nullptr) return {ConditionCode::success, 0, 0, 0, true};
        return {ConditionCode::input_conversion, OFFSET, FIELD.width, OFFSET};
      }
      return read_from<FIELDS, I + 1, OFFSET + FIELD.width, ITEM + 1>(record, to, blanks_ignored);
    }
  }
}

/// Renders field I (at column offset OFFSET, from value ITEM of `from`) and the fields after it;
/// the outcome's length is the end of the last value field rendered.
template <const auto& FIELDS, std::size_t I, std::size_t OFFSET, std::size_t ITEM, typename Values>
FieldsOutcome fill_from(char* area, const Values& from, bool& overflowed, std::size_t high_water) noexcept {
  if constexpr (I == std::size(FIELDS)) {
    return {ConditionCode::success, 0, 0, high_water};
  } else {
    constexpr FieldSpec FIELD = FIELDS[I];
    if constexpr (FIELD.kind == FieldKind::skip) {
      return fill_from<FIELDS, I + 1, OFFSET + FIELD.width, ITEM>(area, from, overflowed, high_water);
    } else {
      char* columns = area + OFFSET;
      if constexpr (FIELD.kind == FieldKind::integer) {
        const std::int32_t value = from.template integer<ITEM>();
        bool done = false;
        if constexpr (FIELD.width <= 9) done = render_integer_plain<FIELD.width>(value, columns);
        if (!done) [[unlikely]]
          overflowed |= render_integer_in_full(value, FIELD.width, columns) == FieldOutcome::overflow;
      } else if constexpr (FIELD.kind == FieldKind::real) {
        const double value = from.template real<ITEM>();
        bool done = false;
        if constexpr (FIELD.width <= 20 && FIELD.decimals <= 9 && FIELD.decimals + 2 <= FIELD.width) {
          done = render_fixed_plain<FIELD.width, FIELD.decimals>(value, columns);
        }
        if (!done) [[unlikely]]
          overflowed |= render_fixed_in_full(value, FIELD.width, FIELD.decimals, columns) == FieldOutcome::overflow;
      } else {
        const std::string_view bytes = from.template text<ITEM>();
        if (bytes.size() == FIELD.width) {
          std::memcpy(columns, bytes.data(), FIELD.width);
        } else {
          render_characters(bytes.data(), bytes.size(), FIELD.width, columns);
        }
      }
      return fill_from<FIELDS, I + 1, OFFSET + FIELD.width, ITEM + 1>(area, from, overflowed, OFFSET + FIELD.width);
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

/// The read statement with compiled code: `to` receives the values, `fits` says whether the
/// compiled code may use it, and `with_items(finish)` calls finish with the same destinations
/// as InputItems for the general statement.
template <const auto& FIELDS, typename Targets, typename WithItems>
std::int32_t read_statement(std::int32_t unit_number, const Targets& to, bool fits, WithItems with_items,
                            const StatementBranches& branches) noexcept {
  constexpr std::size_t SPAN = span_of<FIELDS>();
  UnitConnection* unit = nullptr;
  BadField bad_field;  // filled with an input conversion error, read only with it
  ConditionCode condition = detail::acquire(unit_number, &unit);
  // The general statement reads the fields, or settles what the compiled code made of them.
  const auto in_general = [&](const FieldsOutcome* read) noexcept {
    return with_items([&](std::span<const InputItem> items) noexcept {
      condition = detail::read_fields(*unit, read, RecordLayout(FIELDS), items, bad_field);
      return detail::end_statement(unit_number, unit, condition, branches, UnitDisposition::release, &bad_field);
    });
  };
  if (condition == ConditionCode::success) condition = detail::readable_condition(*unit);
  if (condition == ConditionCode::success) condition = detail::take_record(*unit);
  if (condition != ConditionCode::success) [[unlikely]] {
    return detail::end_statement(unit_number, unit, condition, branches);
  }
  InputCursor& cursor = unit->formatting->input;
  if (SPAN > static_cast<std::size_t>(cursor.record_end - cursor.position) || !fits) [[unlikely]] {
    return in_general(nullptr);
  }
  const FieldsOutcome read = read_from<FIELDS, 0, 0, 0>(cursor.position, to, unit->blanks_ignored);
  if (read.condition != ConditionCode::success || read.needs_walk) [[unlikely]] {
    return in_general(&read);
  }
  cursor.position += read.length;
  return detail::end_statement(unit_number, unit, condition, branches);
}

/// The write statement with compiled code: `from` gives the values, `fits` says whether the
/// compiled code may use it, and `with_items(finish)` calls finish with the same values as
/// OutputItems for the general statement.
template <const auto& FIELDS, typename Values, typename WithItems>
std::int32_t write_statement(std::int32_t unit_number, const Values& from, bool fits, WithItems with_items,
                             const StatementBranches& branches) noexcept {
  constexpr std::size_t SPAN = span_of<FIELDS>();
  UnitConnection* unit = nullptr;
  ConditionCode condition = detail::acquire(unit_number, &unit);
  if (condition == ConditionCode::success) condition = detail::writable_condition(*unit);
  if (condition != ConditionCode::success) [[unlikely]] {
    return detail::end_statement(unit_number, unit, condition, branches);
  }
  // The area runs to record_capacity - 1 columns; CR LF and slack follow it in the buffer.
  if (SPAN + 1 >= unit->record_capacity || SPAN + 4 > unit->buffer_size || !fits) [[unlikely]] {
    return with_items([&](std::span<const OutputItem> items) noexcept {
      condition = detail::build_and_write(*unit, RecordLayout(FIELDS), items);
      return detail::end_statement(unit_number, unit, condition, branches);
    });
  }
  RecordBuffer& area = unit->formatting->output;
  area.start = 0;
  area.limit = unit->record_capacity - 1;
  // Columns past the layout are never written, so only the layout's own are blanked.
  std::memset(unit->buffer, ' ', SPAN);
  bool value_overflowed = false;
  const FieldsOutcome filled = fill_from<FIELDS, 0, 0, 0>(unit->buffer, from, value_overflowed, 0);
  area.high_water = filled.length;
  area.position = SPAN;
  // The area starts the buffer and the layout leaves room for CR LF behind it.
  char* record = unit->buffer;
  record[filled.length] = '\r';
  record[filled.length + 1] = '\n';
  condition = write_record_bytes(*unit, record, filled.length + 2);
  if (condition == ConditionCode::success && value_overflowed) condition = ConditionCode::output_conversion;
  return detail::end_statement(unit_number, unit, condition, branches);
}

}  // namespace compiled

/// read_record for the constant layout FIELDS (an array of static storage duration): a record
/// that holds every column of the layout and converts without a condition is read by code
/// made for the layout at compile time, in line; any other record, and every condition, goes
/// on through the general statement, with the same values, conditions and context lines.
template <const auto& FIELDS>
std::int32_t read_compiled_record(std::int32_t unit_number, std::span<const InputItem> items,
                                  const StatementBranches& branches) noexcept {
  return compiled::read_statement<FIELDS>(
      unit_number, compiled::ItemTargets{items}, compiled::items_fit<FIELDS>(items, false),
      [&](auto finish) noexcept { return finish(items); }, branches);
}

/// read_compiled_record into variables named at compile time, in the order of the layout's data
/// fields: an int32_t for an integer field, a double for a real field, a std::span<char> of
/// the bytes for a text field. No item list is built unless the general statement needs one.
template <const auto& FIELDS, typename... Targets>
std::int32_t read_compiled_values(std::int32_t unit_number, const StatementBranches& branches,
                                  Targets&... targets) noexcept {
  static_assert(sizeof...(Targets) == compiled::item_kinds_of<FIELDS>().size(), "one variable per data field");
  return compiled::read_statement<FIELDS>(
      unit_number, compiled::VariableTargets<Targets...>{{targets...}}, true,
      [&](auto finish) noexcept {
        const InputItem items[] = {InputItem::of(targets)...};
        return finish(std::span<const InputItem>(items));
      },
      branches);
}

/// write_record for the constant layout FIELDS: when the record area holds the whole layout,
/// the values are rendered by code made for it at compile time, in line, into blanked columns;
/// otherwise the general statement builds the record. The bytes and conditions are the same.
template <const auto& FIELDS>
std::int32_t write_compiled_record(std::int32_t unit_number, std::span<const OutputItem> items,
                                   const StatementBranches& branches) noexcept {
  return compiled::write_statement<FIELDS>(
      unit_number, compiled::ItemValues{items}, compiled::items_fit<FIELDS>(items, true),
      [&](auto finish) noexcept { return finish(items); }, branches);
}

/// write_compiled_record of values named at compile time, in the order of the layout's data
/// fields: an int32_t for an integer field, a double for a real field, a std::string_view for
/// a text field. No item list is built unless the general statement needs one.
template <const auto& FIELDS, typename... Values>
std::int32_t write_compiled_values(std::int32_t unit_number, const StatementBranches& branches,
                                   const Values&... values) noexcept {
  static_assert(sizeof...(Values) == compiled::item_kinds_of<FIELDS>().size(), "one value per data field");
  return compiled::write_statement<FIELDS>(
      unit_number, compiled::VariableValues<Values...>{{values...}}, true,
      [&](auto finish) noexcept {
        const OutputItem items[] = {OutputItem::of(values)...};
        return finish(std::span<const OutputItem>(items));
      },
      branches);
}

}  // namespace records
