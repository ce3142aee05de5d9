// Integer fields of any value and width: exactly w columns change, and they hold the value
// right-aligned, or w asterisks exactly when its digits and sign need more than w columns.
// The constant-width form for a constant width writes the same columns, or none.
// Input: bytes 0-3 the value (little-endian), byte 4 the width (1 to 16).
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "fuzz_check.h"
#include "records/field_render.h"

namespace {

/// Bytes on either side of the field that the renderer must leave alone.
constexpr std::size_t GUARD = 16;
constexpr char CANARY = '\x5A';
/// Written into the field first, so a column the renderer skips stands out.
constexpr char UNWRITTEN = '\x01';

/// render_integer_constant_width for the width (1 to 9 columns): whether it wrote the field.
template <std::size_t... W>
bool constant_width_written(std::int32_t value, std::size_t width, char* columns, std::index_sequence<W...>) {
  bool written = false;
  ((width == W + 1 ? (written = records::render_integer_constant_width<W + 1>(value, columns)) : false), ...);
  return written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  std::uint32_t raw = 0;
  for (std::size_t i = 0; i < 4; ++i) raw |= static_cast<std::uint32_t>(data[i]) << (8 * i);
  std::int32_t value = 0;
  std::memcpy(&value, &raw, sizeof value);
  const std::size_t width = 1 + data[4] % 16;

  std::string area(GUARD + width + GUARD, CANARY);
  std::memset(area.data() + GUARD, UNWRITTEN, width);
  const records::FieldOutcome outcome = records::render_integer_in_full(value, width, area.data() + GUARD);

  for (std::size_t i = 0; i < GUARD; ++i) {
    KORV_FUZZ_CHECK(area[i] == CANARY && area[GUARD + width + i] == CANARY, "no byte outside the field changes");
  }
  const std::string field = area.substr(GUARD, width);
  // The constant-width form for a constant width writes the same columns or none.
  std::string constant_width_area(GUARD + width + GUARD, CANARY);
  if (constant_width_written(value, width, constant_width_area.data() + GUARD, std::make_index_sequence<9>())) {
    KORV_FUZZ_CHECK(constant_width_area == area.substr(0, GUARD) + field + area.substr(GUARD + width),
                    "constant-width form agrees");
  } else {
    KORV_FUZZ_CHECK(constant_width_area == std::string(GUARD + width + GUARD, CANARY),
                    "a declined value writes nothing");
  }
  char digits[16];
  const auto converted = std::to_chars(digits, digits + sizeof digits, value);
  const std::string text(digits, converted.ptr);
  if (text.size() > width) {
    KORV_FUZZ_CHECK(outcome == records::FieldOutcome::overflow, "a value too wide is an overflow");
    KORV_FUZZ_CHECK(field == std::string(width, '*'), "a value too wide gives w asterisks");
  } else {
    KORV_FUZZ_CHECK(outcome == records::FieldOutcome::fits, "a value that fits is no overflow");
    KORV_FUZZ_CHECK(field == std::string(width - text.size(), ' ') + text, "the value right-aligned in w columns");
  }
  return 0;
}
