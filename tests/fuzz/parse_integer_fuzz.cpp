// Integer fields of any text and width against a slow reference that follows the field
// rules literally: value, status and the zero value on failure must agree.
// Input: byte 0 chooses the blank rule (bit 0); the rest is the field, its width its length.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "fuzz_check.h"
#include "records/field_parse.h"

namespace {

/// What the field rules say a text reads as.
struct Expected {
  bool bad_byte = false;   ///< a tab, a letter, a second sign or any other stray byte
  bool too_large = false;  ///< the digits lie outside -2^31 .. 2^31-1
  std::int64_t value = 0;
};

Expected reference(std::string_view field, bool blanks_ignored) {
  Expected result;
  for (const char byte : field) {
    if (byte == '\t') result.bad_byte = true;
  }
  std::size_t at = 0;
  while (at < field.size() && field[at] == ' ') ++at;
  bool negative = false;
  if (at < field.size() && (field[at] == '+' || field[at] == '-')) {
    negative = field[at] == '-';
    ++at;
  }
  while (at < field.size() && field[at] == ' ') ++at;
  // The magnitude saturates just past 2^31: every larger value is equally out of range.
  constexpr std::uint64_t BEYOND = 0x80000001u;
  std::uint64_t magnitude = 0;
  for (; at < field.size(); ++at) {
    const char byte = field[at];
    int digit = -1;
    if (byte >= '0' && byte <= '9') {
      digit = byte - '0';
    } else if (byte == ' ') {
      if (blanks_ignored) continue;
      digit = 0;
    } else {
      result.bad_byte = true;
      continue;
    }
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(digit);
    if (magnitude > BEYOND) magnitude = BEYOND;
  }
  const std::uint64_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
  result.too_large = magnitude > limit;
  if (!result.too_large) {
    result.value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  }
  return result;
}

/// parse_integer_constant_width for the field's width (1 to 9 columns): whether it took the field.
template <std::size_t... W>
bool constant_width_taken(std::string_view field, std::int32_t& value, std::index_sequence<W...>) {
  bool taken = false;
  ((field.size() == W + 1 ? (taken = records::parse_integer_constant_width<W + 1>(field.data(), value)) : false), ...);
  return taken;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool blanks_ignored = (data[0] & 1u) != 0;
  // The field lives in an allocation of exactly its width, so any read past it is caught.
  const std::size_t width = size - 1;
  const std::unique_ptr<char[]> field(new char[width > 0 ? width : 1]);
  if (width > 0) std::memcpy(field.get(), data + 1, width);
  const std::string_view text(field.get(), width);

  const records::IntegerParse got = records::parse_integer_in_full(text, blanks_ignored);
  const Expected want = reference(text, blanks_ignored);

  KORV_FUZZ_CHECK(got.error_offset <= width, "error offset inside the field");
  // The constant-width form of a constant field, wherever it takes one, agrees.
  std::int32_t constant_width_value = 0x5EED;
  if (blanks_ignored && constant_width_taken(text, constant_width_value, std::make_index_sequence<9>())) {
    KORV_FUZZ_CHECK(got.status == records::ParseStatus::ok, "a field the constant-width form takes parses");
    KORV_FUZZ_CHECK(constant_width_value == got.value, "the constant-width form agrees with parse_integer_in_full");
  } else {
    KORV_FUZZ_CHECK(constant_width_value == 0x5EED, "a field the constant-width form declines is left alone");
  }
  if (got.status != records::ParseStatus::ok) KORV_FUZZ_CHECK(got.value == 0, "a failed field reads as 0");
  if (!want.bad_byte && !want.too_large) {
    KORV_FUZZ_CHECK(got.status == records::ParseStatus::ok, "a valid field parses");
    KORV_FUZZ_CHECK(got.value == want.value, "the value agrees with the reference");
  } else if (!want.bad_byte) {
    KORV_FUZZ_CHECK(got.status == records::ParseStatus::overflow, "a value beyond 32 bits is an overflow");
  } else if (!want.too_large) {
    KORV_FUZZ_CHECK(got.status == records::ParseStatus::invalid, "a stray byte makes the field invalid");
  } else {
    // Both faults at once: either status is a conversion error; which one the scan meets first is its own.
    KORV_FUZZ_CHECK(got.status != records::ParseStatus::ok, "a stray byte and an overflow fail the field");
  }
  return 0;
}
