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
#include <utility>

#include "records/condition.h"
#include "records/detail.h"
#include "records/field_parse.h"
#include "records/field_render.h"
#include "records/layout.h"
#include "records/reader.h"
#include "records/writer.h"

namespace records {
namespace compiled {

// The general statement takes over a record the compiled code cannot handle. It is marked
// cold, so the compiler keeps it out of the loop's way, and what it is handed never points at the caller's own
// variables: it fills or reads copies of them, which are copied back. No variable's address then leaves the statement,
// so the compiler may keep a record's variables in registers from the read through to the write.

/// How VariableTargets holds a target: a variable by reference, a span of bytes as itself.
template <typename Target>
using HeldTarget = std::conditional_t<std::is_same_v<Target, std::span<char>>, std::span<char>, Target&>;

/// Where read_from puts the values of a record: variables named at compile time, an int32_t
/// for each integer field, a double for each real field, a char for a one-column text field or
/// a span of bytes for any text field. Nothing here lives in memory unless the general
/// statement needs it, so the compiled code sees every text's constant length.
template <typename... Targets>
struct VariableTargets {
  std::tuple<HeldTarget<Targets>...> targets;

  /// Calls `finish` with InputItems for the general statement: copies of the variables, holding
  /// their values, which go back to the variables afterwards (so a field the statement leaves
  /// alone keeps its value). A span's bytes are filled in place.
  template <typename Finish>
  std::int32_t through_copies(Finish finish) const noexcept {
    return through_copies(finish, std::index_sequence_for<Targets...>{});
  }
  template <typename Finish, std::size_t... I>
  std::int32_t through_copies(Finish finish, std::index_sequence<I...>) const noexcept {
    std::tuple<std::remove_reference_t<HeldTarget<Targets>>...> copies{std::get<I>(targets)...};
    const InputItem items[] = {item_of(std::get<I>(copies))...};
    const std::int32_t status = finish(std::span<const InputItem>(items));
    ((copy_back(std::get<I>(targets), std::get<I>(copies))), ...);
    return status;
  }
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
    using Target = std::tuple_element_t<I, std::tuple<Targets...>>;
    static_assert(std::is_same_v<Target, char> || std::is_same_v<Target, std::span<char>>);
    if constexpr (std::is_same_v<Target, char>) {
      return {&std::get<I>(targets), 1};
    } else {
      return std::get<I>(targets);
    }
  }

 private:
  static InputItem item_of(std::int32_t& copy) noexcept { return InputItem::of(copy); }
  static InputItem item_of(double& copy) noexcept { return InputItem::of(copy); }
  static InputItem item_of(char& copy) noexcept { return InputItem::of(&copy, 1); }
  static InputItem item_of(std::span<char>& area) noexcept { return InputItem::of(area); }
  template <typename Value>
  static void copy_back(Value& target, const Value& copy) noexcept {
    target = copy;
  }
  static void copy_back(const std::span<char>&, const std::span<char>&) noexcept {}  // filled in place
};

/// How VariableValues holds a value: a number or an array of bytes by reference, a char or a
/// string_view as itself.
template <typename Value>
using HeldValue =
    std::conditional_t<std::is_same_v<Value, std::string_view> || std::is_same_v<Value, char>, Value, const Value&>;

/// The bytes of a text value: a char, an array of bytes, a string_view.
inline std::string_view text_of(const char& value) noexcept { return {&value, 1}; }
template <std::size_t N>
std::string_view text_of(const char (&value)[N]) noexcept {
  return {value, N};
}
inline std::string_view text_of(std::string_view value) noexcept { return value; }

/// The values fill_from renders: variables named at compile time, an int32_t for each integer
/// field, a double for each real field, for each text field a char (one column), an array of
/// bytes or a string_view. Numbers are read where they are rendered; nothing here lives in
/// memory unless the general statement needs it, so the compiled code sees every text's
/// constant length.
template <typename... Values>
struct VariableValues {
  std::tuple<HeldValue<Values>...> values;

  /// Calls `finish` with OutputItems for the general statement, made of copies of the values:
  /// a number is copied into its item, the bytes of a char or an array into a local copy. A
  /// string_view's bytes are handed on where they are.
  template <typename Finish>
  std::int32_t through_copies(Finish finish) const noexcept {
    return through_copies(finish, std::index_sequence_for<Values...>{});
  }
  template <typename Finish, std::size_t... I>
  std::int32_t through_copies(Finish finish, std::index_sequence<I...>) const noexcept {
    std::tuple<Copy<Values>...> copies{copy_of(std::get<I>(values))...};
    const OutputItem items[] = {item_of(std::get<I>(copies))...};
    return finish(std::span<const OutputItem>(items));
  }
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
    using Value = std::tuple_element_t<I, std::tuple<Values...>>;
    static_assert(std::is_same_v<Value, char> || std::is_same_v<Value, std::string_view> ||
                  (std::is_array_v<Value> && std::is_same_v<std::remove_extent_t<Value>, char>));
    return text_of(std::get<I>(values));
  }

 private:
  /// What the general statement gets of a value: numbers, chars and string_views as
  /// themselves, an array of bytes as a std::array.
  template <typename Value>
  struct CopyOf {
    using Type = Value;
  };
  template <std::size_t N>
  struct CopyOf<char[N]> {
    using Type = std::array<char, N>;
  };
  template <typename Value>
  using Copy = typename CopyOf<Value>::Type;

  template <typename Value>
  static Value copy_of(const Value& value) noexcept {
    return value;
  }
  template <std::size_t N>
  static std::array<char, N> copy_of(const char (&value)[N]) noexcept {
    std::array<char, N> copy;
    std::memcpy(copy.data(), value, N);
    return copy;
  }
  static OutputItem item_of(const std::int32_t& copy) noexcept { return OutputItem::of(copy); }
  static OutputItem item_of(const double& copy) noexcept { return OutputItem::of(copy); }
  static OutputItem item_of(const char& copy) noexcept { return OutputItem::of(&copy, 1); }
  template <std::size_t N>
  static OutputItem item_of(const std::array<char, N>& copy) noexcept {
    return OutputItem::of(copy.data(), N);
  }
  static OutputItem item_of(const std::string_view& text) noexcept { return OutputItem::of(text); }
};

/// Converts field I (at column offset OFFSET, filling value ITEM of `to`) and the fields after
/// it, blanks ignored: true when every field converted. False leaves the record to the general
/// walk, which reads it again from its first field and says where and why it failed; that way
/// the code made here stays free of everything a good record never needs.
template <const auto& FIELDS, std::size_t I, std::size_t OFFSET, std::size_t ITEM, typename Targets>
inline bool read_from(const char* record, const Targets& to) noexcept {
  if constexpr (I == std::size(FIELDS)) {
    return true;
  } else {
    constexpr FieldSpec FIELD = FIELDS[I];
    if constexpr (FIELD.kind == FieldKind::skip) {
      return read_from<FIELDS, I + 1, OFFSET + FIELD.width, ITEM>(record, to);
    } else {
      const std::string_view text(record + OFFSET, FIELD.width);
      if constexpr (FIELD.kind == FieldKind::integer) {
        std::int32_t& target = to.template integer<ITEM>();
        if constexpr (FIELD.width <= 9) {
          if (!parse_integer_constant_width<FIELD.width>(text.data(), target)) return false;
        } else {
          const IntegerParse parsed = parse_integer_in_full(text, true);
          if (parsed.status != ParseStatus::ok) return false;
          target = parsed.value;
        }
      } else if constexpr (FIELD.kind == FieldKind::real) {
        double& target = to.template real<ITEM>();
        if constexpr (FIELD.width <= 16) {
          if (!parse_fixed_constant_width<FIELD.width>(text.data(), FIELD.decimals, target)) return false;
        } else {
          const FixedParse parsed = parse_fixed_in_full(text, FIELD.decimals, true);
          if (parsed.status != ParseStatus::ok) return false;
          target = parsed.value;
        }
      } else {
        const std::span<char> area = to.template text<ITEM>();
        if (area.size() == FIELD.width) {
          std::memcpy(area.data(), text.data(), FIELD.width);
        } else {
          parse_characters(text, area.data(), area.size());
        }
      }
      return read_from<FIELDS, I + 1, OFFSET + FIELD.width, ITEM + 1>(record, to);
    }
  }
}

/// Renders field I (at column offset OFFSET, from value ITEM of `from`) and the fields after it;
/// `overflowed` is set when a value did not fit its field.
template <const auto& FIELDS, std::size_t I, std::size_t OFFSET, std::size_t ITEM, typename Values>
inline void fill_from(char* area, const Values& from, bool& overflowed) noexcept {
  if constexpr (I < std::size(FIELDS)) {
    constexpr FieldSpec FIELD = FIELDS[I];
    if constexpr (FIELD.kind == FieldKind::skip) {
      fill_from<FIELDS, I + 1, OFFSET + FIELD.width, ITEM>(area, from, overflowed);
    } else {
      char* columns = area + OFFSET;
      if constexpr (FIELD.kind == FieldKind::integer) {
        const std::int32_t value = from.template integer<ITEM>();
        bool done = false;
        if constexpr (FIELD.width <= 9) done = render_integer_constant_width<FIELD.width>(value, columns);
        if (!done) overflowed |= render_integer_in_full(value, FIELD.width, columns) == FieldOutcome::overflow;
      } else if constexpr (FIELD.kind == FieldKind::real) {
        const double value = from.template real<ITEM>();
        bool done = false;
        if constexpr (FIELD.width <= 20 && FIELD.decimals <= 9 && FIELD.decimals + 2 <= FIELD.width) {
          done = render_fixed_constant_width<FIELD.width, FIELD.decimals>(value, columns);
        }
        if (!done)
          overflowed |= render_fixed_in_full(value, FIELD.width, FIELD.decimals, columns) == FieldOutcome::overflow;
      } else {
        const std::string_view bytes = from.template text<ITEM>();
        if (bytes.size() == FIELD.width) {
          std::memcpy(columns, bytes.data(), FIELD.width);
        } else {
          render_characters(bytes.data(), bytes.size(), FIELD.width, columns);
        }
      }
      fill_from<FIELDS, I + 1, OFFSET + FIELD.width, ITEM + 1>(area, from, overflowed);
    }
  }
}

/// The number of data fields of the layout: one variable or value each.
template <const auto& FIELDS>
constexpr std::size_t data_field_count() noexcept {
  std::size_t count = 0;
  for (const FieldSpec& field : FIELDS) count += field.kind == FieldKind::skip ? 0 : 1;
  return count;
}

/// The columns the layout spans, and the end of its last value field (where a record of it ends).
template <const auto& FIELDS>
constexpr std::size_t span_of() noexcept {
  std::size_t span = 0;
  for (const FieldSpec& field : FIELDS) span += field.width;
  return span;
}
template <const auto& FIELDS>
constexpr std::size_t value_end_of() noexcept {
  std::size_t span = 0;
  std::size_t end = 0;
  for (const FieldSpec& field : FIELDS) {
    span += field.width;
    if (field.kind != FieldKind::skip) end = span;
  }
  return end;
}

/// The general read statement's end of a record the compiled code left to it: the layout is
/// walked from the record's first field into `items`. Cold: a record of common shapes never
/// comes here, and the loop's code is laid out as if none did.
template <const auto& FIELDS>
[[gnu::cold]] inline std::int32_t read_in_general(std::int32_t unit_number, UnitConnection& unit,
                                                  std::span<const InputItem> items,
                                                  const StatementBranches& branches) noexcept {
  BadField bad_field;  // filled with an input conversion error, read only with it
  const ConditionCode condition = detail::read_fields(unit, RecordLayout(FIELDS), items, bad_field);
  return detail::end_statement(unit_number, &unit, condition, branches, UnitDisposition::release, &bad_field);
}

/// The general write statement's end of a record the compiled code cannot build.
template <const auto& FIELDS>
[[gnu::cold]] inline std::int32_t write_in_general(std::int32_t unit_number, UnitConnection& unit,
                                                   std::span<const OutputItem> items,
                                                   const StatementBranches& branches) noexcept {
  const ConditionCode condition = detail::build_and_write(unit, RecordLayout(FIELDS), items);
  return detail::end_statement(unit_number, &unit, condition, branches);
}

/// The read statement with compiled code: `to` receives the values.
template <const auto& FIELDS, typename Targets>
inline std::int32_t read_statement(std::int32_t unit_number, const Targets& to,
                                   const StatementBranches& branches) noexcept {
  constexpr std::size_t SPAN = span_of<FIELDS>();
  UnitConnection* unit = nullptr;
  ConditionCode condition = detail::acquire(unit_number, &unit);
  if (condition == ConditionCode::success) condition = detail::readable_condition(*unit);
  if (condition == ConditionCode::success) condition = detail::take_record(*unit);
  if (condition != ConditionCode::success) {
    return detail::end_statement(unit_number, unit, condition, branches);
  }
  InputCursor& cursor = unit->formatting->input;
  if (SPAN <= static_cast<std::size_t>(cursor.record_end - cursor.position) && unit->blanks_ignored &&
      read_from<FIELDS, 0, 0, 0>(cursor.position, to)) {
    cursor.position += SPAN;
    return detail::end_statement(unit_number, unit, ConditionCode::success, branches);
  }
  return to.through_copies([&](std::span<const InputItem> items) noexcept {
    return read_in_general<FIELDS>(unit_number, *unit, items, branches);
  });
}

/// The write statement with compiled code: `from` gives the values.
template <const auto& FIELDS, typename Values>
inline std::int32_t write_statement(std::int32_t unit_number, const Values& from,
                                    const StatementBranches& branches) noexcept {
  constexpr std::size_t SPAN = span_of<FIELDS>();
  constexpr std::size_t LENGTH = value_end_of<FIELDS>();
  UnitConnection* unit = nullptr;
  ConditionCode condition = detail::acquire(unit_number, &unit);
  if (condition == ConditionCode::success) condition = detail::writable_condition(*unit);
  if (condition != ConditionCode::success) {
    return detail::end_statement(unit_number, unit, condition, branches);
  }
  // The record and its CR LF must fit in the buffer. (The general statement grows its area
  // past record_capacity as a record needs, so the capacity sets no bound here.)
  if (SPAN + TERMINATOR_LENGTH > unit->buffer_size) {
    return from.through_copies([&](std::span<const OutputItem> items) noexcept {
      return write_in_general<FIELDS>(unit_number, *unit, items, branches);
    });
  }
  // The record is built where the general statement builds it, at the front of the buffer, but
  // without its area bookkeeping: every write statement sets that afresh, and nothing reads it
  // after one. Columns past the layout are never written, so only the layout's own are
  // blanked, and the layout leaves room for CR LF behind it.
  char* record = unit->buffer;
  std::memset(record, ' ', SPAN);
  bool value_overflowed = false;
  fill_from<FIELDS, 0, 0, 0>(record, from, value_overflowed);
  condition = detail::send_record(*unit, record, LENGTH);
  // The usual end in one test: written, and every value fitted.
  if (condition == ConditionCode::success && !value_overflowed) {
    detail::release(unit_number, *unit);
    return 0;
  }
  if (condition == ConditionCode::success) condition = ConditionCode::output_conversion;
  return detail::end_statement(unit_number, unit, condition, branches);
}

}  // namespace compiled

/// read_record for the constant layout FIELDS (an array of static storage duration), into
/// variables named at compile time, in the order of the layout's data fields: an int32_t for an integer field, a double
/// for a real field, a char for a one-column text field or a std::span<char> of the bytes for any text field. No item
/// list is built unless the general statement needs one, and then over copies of the variables. A record that holds
/// every column of the layout and converts without a condition is read by code made for the layout at compile time, in
/// line; any other record, and every condition, goes on through the general statement, with the same values, conditions
/// and context lines.
template <const auto& FIELDS, typename... Targets>
inline std::int32_t read_compiled_values(std::int32_t unit_number, const StatementBranches& branches,
                                         Targets&... targets) noexcept {
  static_assert(sizeof...(Targets) == compiled::data_field_count<FIELDS>(), "one variable per data field");
  return compiled::read_statement<FIELDS>(unit_number, compiled::VariableTargets<Targets...>{{targets...}}, branches);
}

/// write_record for the constant layout FIELDS, of values named at compile time, in the order of
/// the layout's data fields: an int32_t for an integer field, a double for a real field, for a text field a char
/// (one column), an array of chars or a std::string_view. No item list is built unless the
/// general statement needs one, and then over copies of the values. When the record area holds
/// the whole layout, the values are rendered by code made for it at compile time, in line, into
/// blanked columns; otherwise the general statement builds the record, with the same bytes and
/// conditions.
template <const auto& FIELDS, typename... Values>
inline std::int32_t write_compiled_values(std::int32_t unit_number, const StatementBranches& branches,
                                          const Values&... values) noexcept {
  static_assert(sizeof...(Values) == compiled::data_field_count<FIELDS>(), "one value per data field");
  return compiled::write_statement<FIELDS>(unit_number, compiled::VariableValues<Values...>{{values...}}, branches);
}

}  // namespace records
