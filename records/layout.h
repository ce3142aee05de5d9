// Record layouts: the ordered fields of a fixed-column record, and the items that carry
// values into and out of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "records/condition.h"

namespace records {

/// What one element of a layout is.
enum class FieldKind : std::uint8_t { skip, integer, real, characters };

/// One element of a layout: a skip of `width` columns or a data field `width` columns wide.
struct FieldSpec {
  FieldKind kind;
  std::uint16_t width;
  std::uint8_t decimals;  ///< digits after the point of a real field

  /// Moves the position `columns` to the right.
  static constexpr FieldSpec skip(std::uint16_t columns) noexcept { return {FieldKind::skip, columns, 0}; }
  /// A decimal integer field.
  static constexpr FieldSpec integer(std::uint16_t width) noexcept { return {FieldKind::integer, width, 0}; }
  /// A fixed-point real field with `decimals` digits after the point (implied on input).
  static constexpr FieldSpec real(std::uint16_t width, std::uint8_t decimals) noexcept {
    return {FieldKind::real, width, decimals};
  }
  /// A text field copied byte for byte.
  static constexpr FieldSpec characters(std::uint16_t width) noexcept { return {FieldKind::characters, width, 0}; }
};

/// A record layout, walked from its first element.
using RecordLayout = std::span<const FieldSpec>;

/// Kinds of the values that fill or feed data fields.
enum class ItemKind : std::uint8_t { integer, real, characters };

/// Where one data field of a read record is stored.
struct InputItem {
  ItemKind kind;
  void* target;
  std::size_t length;  ///< bytes of a character area

  /// A 32-bit integer destination.
  static InputItem of(std::int32_t& value) noexcept { return {ItemKind::integer, &value, sizeof value}; }
  /// A 64-bit real destination.
  static InputItem of(double& value) noexcept { return {ItemKind::real, &value, sizeof value}; }
  /// A character area of `length` bytes.
  static InputItem of(char* area, std::size_t length) noexcept { return {ItemKind::characters, area, length}; }
  /// A character area.
  static InputItem of(std::span<char> area) noexcept { return of(area.data(), area.size()); }
};

/// One value handed to the record writer; `kind` says which member holds it.
struct OutputItem {
  ItemKind kind;
  union {
    std::int32_t integer;
    double real;
    const char* bytes;
  };
  std::size_t length;  ///< bytes of a characters value

  /// A 32-bit integer value.
  static constexpr OutputItem of(std::int32_t value) noexcept {
    OutputItem item{ItemKind::integer, {}, 0};
    item.integer = value;
    return item;
  }
  /// A 64-bit real value.
  static constexpr OutputItem of(double value) noexcept {
    OutputItem item{ItemKind::real, {}, 0};
    item.real = value;
    return item;
  }
  /// `length` bytes of text, one column each.
  static constexpr OutputItem of(const char* bytes, std::size_t length) noexcept {
    OutputItem item{ItemKind::characters, {}, length};
    item.bytes = bytes;
    return item;
  }
  /// Text, one column per byte.
  static constexpr OutputItem of(std::string_view text) noexcept { return of(text.data(), text.size()); }

  /// The bytes a text field takes from this value: the text itself, or the number's own bytes.
  std::string_view as_bytes() const noexcept {
    switch (kind) {
      case ItemKind::integer: return {reinterpret_cast<const char*>(&integer), sizeof integer};
      case ItemKind::real: return {reinterpret_cast<const char*>(&real), sizeof real};
      case ItemKind::characters: break;
    }
    return {bytes, length};
  }
};

}  // namespace records
