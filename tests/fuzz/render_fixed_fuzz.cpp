// Fixed-point fields of any value, width and decimals: exactly w columns change; a finite
// value is written as its exact decimal expansion rounded half away from zero, or as w
// asterisks exactly when that text does not fit; and what was written reads back with
// parse_fixed_in_full within half a unit of the last decimal.
// Input: bytes 0-7 the value's bits (little-endian), byte 8 the width (1 to 90), byte 9 the
// decimals (-2 to 69).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "fuzz_check.h"
#include "records/field_parse.h"
#include "records/field_render.h"

namespace {

/// Bytes on either side of the field that the renderer must leave alone.
constexpr std::size_t GUARD = 16;
constexpr char CANARY = '\x5A';
/// Written into the field first, so a column the renderer skips stands out.
constexpr char UNWRITTEN = '\x01';
/// Every binary64 value has at most 1074 digits after the point.
constexpr int EXACT_DECIMALS = 1100;
/// Digits that the scaled binary64 value of a magnitude below 1 carries reliably.
constexpr std::size_t RELIABLE_DIGITS = 12;

/// The field text the rules give a finite value, and whether the digits are certain.
struct Rendering {
  bool fits = false;
  bool certain = true;  ///< false where the renderer's scaled digits may round the other way
  std::string text;
};

/// Rounds the exact decimal expansion of `value` at `decimals` places, half away from zero,
/// and lays it out in `width` columns.
Rendering expected_rendering(double value, std::size_t width, int decimals) {
  Rendering result;
  static char exact[EXACT_DECIMALS + 400];
  std::snprintf(exact, sizeof exact, "%.*f", EXACT_DECIMALS, std::fabs(value));
  const std::string all(exact);
  const std::size_t point = all.find('.');
  std::string digits = all.substr(0, point) + all.substr(point + 1, static_cast<std::size_t>(decimals));
  const std::string tail = all.substr(point + 1 + static_cast<std::size_t>(decimals), 3);
  if (tail[0] >= '5') {
    std::size_t at = digits.size();
    while (at > 0 && digits[at - 1] == '9') digits[--at] = '0';
    if (at == 0) {
      digits.insert(digits.begin(), '1');
    } else {
      ++digits[at - 1];
    }
  }
  const std::size_t integer_count = digits.size() - static_cast<std::size_t>(decimals);
  std::string integer = digits.substr(0, integer_count);
  const std::string fraction = digits.substr(integer_count);
  integer.erase(0,
                integer.find_first_not_of('0') == std::string::npos ? integer.size() : integer.find_first_not_of('0'));
  const bool is_zero = digits.find_first_not_of('0') == std::string::npos;
  const bool negative = value < 0 && !is_zero;

  if (std::fabs(value) < 1.0) {
    // Below 1 the digits come from a scaled binary64 value: trust them only when few digits
    // are kept and the rounding is not a near tie.
    const std::size_t first = digits.find_first_not_of('0');
    const std::size_t kept = first == std::string::npos ? 0 : digits.size() - first;
    result.certain = kept <= RELIABLE_DIGITS && tail != "499" && tail != "500";
  }

  std::string body = integer + "." + fraction;
  const std::size_t needed = body.size() + (negative ? 1 : 0);
  if (needed > width) return result;
  result.fits = true;
  const auto d = static_cast<std::size_t>(decimals);
  if (integer.empty() && d + 1 < width && !(width == d + 2 && negative)) body = "0" + body;
  if (negative) body = "-" + body;
  result.text = std::string(width - body.size(), ' ') + body;
  return result;
}

/// Widths and decimals with a constant-width form under test: the converter's own, a spread
/// over the shapes the form serves (nine to eleven digits, one to seven of them decimals), and
/// shapes it declines whole.
template <std::size_t W, std::size_t D>
struct Shape {};
using ConstantWidthShapes = std::tuple<Shape<12, 5>, Shape<10, 7>, Shape<10, 1>, Shape<11, 4>, Shape<12, 7>,
                                       Shape<11, 2>, Shape<12, 1>, Shape<8, 0>, Shape<20, 9>, Shape<9, 1>>;

/// render_fixed_constant_width when the field's width and decimals are one of ConstantWidthShapes: whether it wrote.
template <std::size_t... I>
bool constant_width_written(double value, std::size_t width, int decimals, char* columns, std::index_sequence<I...>) {
  bool written = false;
  const auto try_shape = []<std::size_t W, std::size_t D>(Shape<W, D>, double x, std::size_t w, int d, char* out,
                                                          bool& wrote) {
    if (w == W && d == static_cast<int>(D)) wrote = records::render_fixed_constant_width<W, D>(x, out);
  };
  (try_shape(std::tuple_element_t<I, ConstantWidthShapes>{}, value, width, decimals, columns, written), ...);
  return written;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 10) return 0;
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(data[i]) << (8 * i);
  double value = 0;
  std::memcpy(&value, &bits, sizeof value);
  const std::size_t width = 1 + data[8] % 90;
  const int decimals = data[9] % 72 - 2;

  std::string area(GUARD + width + GUARD, CANARY);
  std::memset(area.data() + GUARD, UNWRITTEN, width);
  const records::FieldOutcome outcome = records::render_fixed_in_full(value, width, decimals, area.data() + GUARD);

  for (std::size_t i = 0; i < GUARD; ++i) {
    KORV_FUZZ_CHECK(area[i] == CANARY && area[GUARD + width + i] == CANARY, "no byte outside the field changes");
  }
  const std::string field = area.substr(GUARD, width);
  KORV_FUZZ_CHECK(field.find(UNWRITTEN) == std::string::npos, "every column of the field is written");
  // The constant-width form for a constant field writes the same columns, or none.
  std::string constant_width_area(GUARD + width + GUARD, CANARY);
  if (constant_width_written(value, width, decimals, constant_width_area.data() + GUARD,
                             std::make_index_sequence<std::tuple_size_v<ConstantWidthShapes>>())) {
    KORV_FUZZ_CHECK(constant_width_area == area.substr(0, GUARD) + field + area.substr(GUARD + width),
                    "constant-width form agrees");
  } else {
    KORV_FUZZ_CHECK(constant_width_area == std::string(GUARD + width + GUARD, CANARY),
                    "a declined value writes nothing");
  }
  const std::string stars(width, '*');
  KORV_FUZZ_CHECK((outcome == records::FieldOutcome::overflow) == (field == stars), "asterisks mean overflow");

  const bool sane_decimals = decimals >= 0 && static_cast<std::size_t>(decimals) < width;
  if (std::isnan(value) || std::isinf(value)) {
    if (width < 10 || !sane_decimals) return 0;
    std::string word = std::isnan(value) ? " NaN" : (value < 0 ? " -Infinity" : " Infinity");
    KORV_FUZZ_CHECK(outcome == records::FieldOutcome::fits, "NaN and infinity fit a wide field");
    KORV_FUZZ_CHECK(field == word + std::string(width - word.size(), ' '), "NaN and infinity left-aligned");
    return 0;
  }
  if (!sane_decimals) {
    KORV_FUZZ_CHECK(outcome == records::FieldOutcome::overflow, "no room for the point and decimals");
    return 0;
  }
  if (std::fpclassify(value) == FP_SUBNORMAL) return 0;  // any rendering of these is acceptable

  const Rendering want = expected_rendering(value, width, decimals);
  if (want.certain) {
    KORV_FUZZ_CHECK(want.fits == (outcome == records::FieldOutcome::fits), "asterisks exactly when it does not fit");
    if (want.fits) KORV_FUZZ_CHECK(field == want.text, "the rounded value laid out as the rules say");
  }
  if (outcome != records::FieldOutcome::fits) return 0;

  const records::FixedParse back = records::parse_fixed_in_full(field, decimals, true);
  KORV_FUZZ_CHECK(back.status == records::ParseStatus::ok, "a rendered value reads back");
  const long double half_unit = 0.5L * std::pow(10.0L, -static_cast<long double>(decimals));
  // The read-back text is rounded once more to binary64, and below 1 the digits come from
  // a scaled value good to about 2^-52 of it.
  const long double slack = 2.0L * std::fabs(std::nextafter(back.value, INFINITY) - back.value) +
                            std::ldexp(static_cast<long double>(std::fabs(value)), -50);
  const long double error = std::fabs(static_cast<long double>(back.value) - static_cast<long double>(value));
  KORV_FUZZ_CHECK(error <= half_unit + slack, "the read-back value lies within half a unit of the last decimal");
  return 0;
}
