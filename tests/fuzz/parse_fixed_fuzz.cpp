// Real fields of any text, width and number of implied decimals. Every field: a failure
// reads as 0.0 and no byte past the field is read. A plain decimal (blanks, a sign, digits
// and at most one point) must agree bit for bit with strtod of the same number written out
// in full, cut to the 27 significant digits the field rules keep. The constant-width form for a
// constant width agrees wherever it takes the field.
// Input: byte 0 chooses the blank rule (bit 0), byte 1 the implied decimals; the rest is the field.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz_check.h"
#include "records/field_parse.h"

namespace {

/// Significant digits the field rules keep; later digits only scale the value.
constexpr int KEPT_DIGITS = 27;
/// Decimal magnitudes (E + n) a real field can hold.
constexpr long LOWEST_MAGNITUDE = -323;
constexpr long HIGHEST_MAGNITUDE = 309;

enum class Shape { other, plain, second_point };

/// A plain decimal rewritten for strtod, or why it is not one.
struct Plain {
  Shape shape = Shape::other;
  bool any_significant = false;
  long magnitude = 0;  ///< E + n: the power of ten just above the leading digit
  std::string text;    ///< sign, digits cut to 27 significant ones, point or "e-d"
};

Plain plain_decimal(std::string_view field, int decimals, bool blanks_ignored) {
  Plain result;
  std::size_t at = 0;
  while (at < field.size() && (field[at] == ' ' || (field[at] >= '\t' && field[at] <= '\r'))) ++at;
  std::string sign;
  if (at < field.size() && (field[at] == '+' || field[at] == '-')) sign = field[at++];
  std::string digits;
  long integer_digits = -1;  // digits before the point, -1 without a point
  bool second_point = false;
  for (; at < field.size(); ++at) {
    const char byte = field[at];
    if (byte >= '0' && byte <= '9') {
      digits += byte;
    } else if (byte == ' ') {
      if (!blanks_ignored) digits += '0';
    } else if (byte == '.') {
      if (integer_digits >= 0) second_point = true;
      integer_digits = static_cast<long>(digits.size());
    } else {
      return result;
    }
  }
  if (second_point) {
    result.shape = Shape::second_point;
    return result;
  }
  result.shape = Shape::plain;
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return result;
  result.any_significant = true;
  const long leading = integer_digits >= 0 ? integer_digits : static_cast<long>(digits.size()) - decimals;
  result.magnitude = leading - static_cast<long>(first);
  for (std::size_t i = first + KEPT_DIGITS; i < digits.size(); ++i) digits[i] = '0';
  result.text = sign;
  if (integer_digits >= 0) {
    const auto point = static_cast<std::size_t>(integer_digits);
    result.text += "0" + digits.substr(0, point) + "." + digits.substr(point);
  } else {
    result.text += "0" + digits + "e-" + std::to_string(decimals);
  }
  return result;
}

/// parse_fixed_constant_width for the field's width (1 to 16 columns): whether it took the field.
template <std::size_t... W>
bool constant_width_taken(std::string_view field, int decimals, double& value, std::index_sequence<W...>) {
  bool taken = false;
  ((field.size() == W + 1 ? (taken = records::parse_fixed_constant_width<W + 1>(field.data(), decimals, value))
                          : false),
   ...);
  return taken;
}

std::uint64_t bits_of(double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool blanks_ignored = (data[0] & 1u) != 0;
  const int decimals = data[1];
  // The field lives in an allocation of exactly its width, so any read past it is caught.
  const std::size_t width = size - 2;
  const std::unique_ptr<char[]> field(new char[width > 0 ? width : 1]);
  if (width > 0) std::memcpy(field.get(), data + 2, width);
  const std::string_view text(field.get(), width);

  const records::FixedParse got = records::parse_fixed_in_full(text, decimals, blanks_ignored);
  KORV_FUZZ_CHECK(got.error_offset <= width, "error offset inside the field");
  // The constant-width form of a constant field, wherever it takes one, agrees bit for bit.
  double constant_width_value = -1.0;
  if (blanks_ignored && constant_width_taken(text, decimals, constant_width_value, std::make_index_sequence<16>())) {
    KORV_FUZZ_CHECK(got.status == records::ParseStatus::ok, "a field the constant-width form takes parses");
    KORV_FUZZ_CHECK(bits_of(constant_width_value) == bits_of(got.value),
                    "the constant-width form agrees with parse_fixed_in_full");
  } else {
    KORV_FUZZ_CHECK(constant_width_value == -1.0, "a field the constant-width form declines is left alone");
  }
  if (got.status != records::ParseStatus::ok) KORV_FUZZ_CHECK(got.value == 0.0, "a failed field reads as 0.0");

  const Plain plain = plain_decimal(text, decimals, blanks_ignored);
  if (plain.shape == Shape::second_point) {
    KORV_FUZZ_CHECK(got.status != records::ParseStatus::ok, "a second decimal point is invalid");
    return 0;
  }
  if (plain.shape != Shape::plain) return 0;
  if (!plain.any_significant) {
    KORV_FUZZ_CHECK(got.status == records::ParseStatus::ok, "a field without significant digits parses");
    KORV_FUZZ_CHECK(bits_of(got.value) == 0, "a field without significant digits reads as +0.0");
    return 0;
  }
  if (plain.magnitude < LOWEST_MAGNITUDE || plain.magnitude > HIGHEST_MAGNITUDE) {
    KORV_FUZZ_CHECK(got.status != records::ParseStatus::ok, "a magnitude beyond binary64 is a conversion error");
    return 0;
  }
  const double expected = std::strtod(plain.text.c_str(), nullptr);
  if (expected == 0.0 || std::isinf(expected)) {
    KORV_FUZZ_CHECK(got.status != records::ParseStatus::ok, "a value that rounds out of binary64 is an error");
    return 0;
  }
  KORV_FUZZ_CHECK(got.status == records::ParseStatus::ok, "a plain decimal in range parses");
  KORV_FUZZ_CHECK(bits_of(got.value) == bits_of(expected), "a plain decimal agrees with strtod");
  return 0;
}
