// The record reader. Records are found in place in the unit buffer; only the unfinished
// tail of the buffer is moved before a refill, and the buffer doubles for a long line.
// A read of 0 bytes is the only end of data: pipes deliver lines in pieces.
#include "records/reader.h"

#include <cstdlib>
#include <cstring>

#include "records/detail.h"
#include "records/field_parse.h"

namespace records {
namespace {

constexpr char LINE_FEED = '\n';
/// Field widths up to this many columns build a short field's text on the stack.
constexpr std::size_t STACK_FIELD = 256;

/// Where the field at `field_start`, `width` columns wide, of which `taken` bytes stand in the
/// record, lies.
BadField bad_field_at(const InputCursor& cursor, const char* field_start, std::size_t width,
                      std::size_t taken) noexcept {
  const auto first_column = static_cast<std::int64_t>(field_start - cursor.record_start) + 1;
  return {cursor.record_count, first_column, first_column + static_cast<std::int64_t>(width) - 1, field_start, taken};
}

/// Converts one field's text into its item; returns 0, input conversion or type mismatch.
ConditionCode convert_field(const FieldSpec& field, std::string_view text, bool blanks_ignored,
                            const InputItem& item) noexcept {
  switch (field.kind) {
    case FieldKind::integer: {
      if (item.kind != ItemKind::integer) return ConditionCode::type_mismatch;
      const IntegerParse parsed = parse_integer_in_full(text, blanks_ignored);
      *static_cast<std::int32_t*>(item.target) = parsed.value;
      return parsed.status == ParseStatus::ok ? ConditionCode::success : ConditionCode::input_conversion;
    }
    case FieldKind::real: {
      if (item.kind != ItemKind::real) return ConditionCode::type_mismatch;
      const FixedParse parsed = parse_fixed_in_full(text, field.decimals, blanks_ignored);
      *static_cast<double*>(item.target) = parsed.value;
      return parsed.status == ParseStatus::ok ? ConditionCode::success : ConditionCode::input_conversion;
    }
    case FieldKind::characters:
      if (item.kind != ItemKind::characters) return ConditionCode::type_mismatch;
      parse_characters(text, static_cast<char*>(item.target), item.length);
      return ConditionCode::success;
    case FieldKind::skip: break;
  }
  return ConditionCode::success;
}

/// Walks the layout over the current record, filling items in order.
ConditionCode walk_layout(InputCursor& cursor, RecordLayout layout, std::span<const InputItem> items,
                          bool blanks_ignored, BadField& bad_field) noexcept {
  std::size_t next_item = 0;
  for (const FieldSpec& field : layout) {
    if (field.kind == FieldKind::skip) {
      if (cursor.virtual_blanks > 0) {
        cursor.virtual_blanks += field.width;
      } else if (field.width > cursor.record_end - cursor.position) {
        cursor.virtual_blanks = static_cast<std::int32_t>(field.width - (cursor.record_end - cursor.position));
        cursor.position = cursor.record_end;
      } else {
        cursor.position += field.width;
      }
      continue;
    }
    if (next_item == items.size()) break;  // nothing left to fill; the rest is never examined

    const std::size_t width = field.width;
    const bool numeric = field.kind != FieldKind::characters;
    const auto available = static_cast<std::size_t>(cursor.record_end - cursor.position);
    std::size_t taken = 0;
    while (taken < width && taken < available && !(numeric && cursor.position[taken] == ',')) ++taken;
    const bool at_comma = taken < width && taken < available;
    const bool short_field = taken < width && taken == available;

    char stack_area[STACK_FIELD + 1];
    char* area = nullptr;
    std::string_view text(cursor.position, taken);
    if (short_field) {
      area = width < sizeof stack_area ? stack_area : static_cast<char*>(std::malloc(width + 1));
      if (area == nullptr) return ConditionCode::out_of_memory;
      std::memcpy(area, cursor.position, taken);
      std::memset(area + taken, ' ', width - taken);
      cursor.virtual_blanks += static_cast<std::int32_t>(width - taken);
      text = std::string_view(area, width);
    }

    const ConditionCode converted = convert_field(field, text, blanks_ignored, items[next_item++]);
    if (area != nullptr && area != stack_area) std::free(area);
    if (converted == ConditionCode::input_conversion) bad_field = bad_field_at(cursor, cursor.position, width, taken);
    if (converted != ConditionCode::success) return converted;
    cursor.position += taken + (at_comma ? 1 : 0);
  }
  return ConditionCode::success;
}

}  // namespace

namespace detail {

ConditionCode refill_and_take(UnitConnection& unit) noexcept {
  InputCursor& cursor = unit.formatting->input;
  // Move the start of an unfinished line to the front and refill behind it.
  std::size_t held = static_cast<std::size_t>(cursor.held_end - cursor.next_byte);  // 0 at first: both null
  if (held > 0 && cursor.next_byte != unit.buffer) std::memmove(unit.buffer, cursor.next_byte, held);
  cursor.next_byte = unit.buffer;
  cursor.held_end = unit.buffer + held;
  for (;;) {
    if (held == unit.buffer_size) {
      // The line fills the buffer: double it, keeping what it holds.
      if (grow_unit_buffer(unit, static_cast<std::size_t>(unit.buffer_size) * 2) != ConditionCode::success) {
        return ConditionCode::record_too_long;
      }
    }
    char* buffer = unit.buffer;
    const platform::ReadResult got = read_block(unit, buffer + held, unit.buffer_size - held);
    if (got.error != 0) {
      return platform::is_end_of_file_error(got.error) ? ConditionCode::end_of_file : ConditionCode::read_error;
    }
    if (got.bytes == 0) {
      if (held == 0) return ConditionCode::end_of_file;
      // The file's last line has no line end: it is a record all the same.
      buffer[held] = LINE_FEED;
      return finish_take(cursor, buffer, buffer + held, buffer + held + 1);
    }
    auto* line_feed = static_cast<char*>(std::memchr(buffer + held, LINE_FEED, got.bytes));
    held += got.bytes;
    cursor.held_end = buffer + held;
    if (line_feed != nullptr) return finish_take(cursor, buffer, line_feed, buffer + held);
  }
}

ConditionCode read_fields(UnitConnection& unit, RecordLayout layout, std::span<const InputItem> items,
                          BadField& bad_field) noexcept {
  return walk_layout(unit.formatting->input, layout, items, unit.blanks_ignored, bad_field);
}

}  // namespace detail

std::int32_t read_record(std::int32_t unit_number, RecordLayout layout, std::span<const InputItem> items,
                         const StatementBranches& branches) noexcept {
  UnitConnection* unit = nullptr;
  BadField bad_field;  // filled with an input conversion error, read only with it
  ConditionCode condition = detail::acquire(unit_number, &unit);
  if (condition == ConditionCode::success) condition = detail::readable_condition(*unit);
  if (condition == ConditionCode::success) condition = detail::take_record(*unit);
  if (condition == ConditionCode::success) condition = detail::read_fields(*unit, layout, items, bad_field);
  return detail::end_statement(unit_number, unit, condition, branches, UnitDisposition::release, &bad_field);
}

}  // namespace records
