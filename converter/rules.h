// The conversion rules: which transitions the DUNTA list keeps, and what it derives from them,
// in their fixed order: placeholder test, species test, scaling, label columns, trailer, parity
// signs, trailer text. Defined in line, so that the driver runs them inside its loop.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "converter/line_record.h"

namespace converter {

/// Frequency that marks a transition without a measured value.
inline constexpr double FREQ_PLACEHOLDER = -900.0;
/// The input frequency unit is a thousand times the output unit.
inline constexpr double FREQ_SCALE = 1000.0;
inline constexpr std::int32_t TRAILER_FLAG = 1;
inline constexpr std::int32_t TRAILER_CODE = 1005;
inline constexpr char TRAILER_TEXT[6] = {' ', ' ', ' ', ' ', ' ', ' '};

namespace rules_detail {

/// 32-bit two's-complement sum without undefined behaviour on wrap.
inline std::int32_t wrapping_add(std::int32_t x, std::int32_t y) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(x) + static_cast<std::uint32_t>(y));
}

/// The A-branch parity sign of one state. When c is neither a - b nor a - b + 1 the sign is
/// left as it stands; a sign never set becomes a blank, since a zero byte has no place in a
/// text line list.
inline void set_parity_sign(StateLabels& state) noexcept {
  const std::int32_t d = wrapping_add(state.a, -state.b);
  const bool b_even = state.b % 2 == 0;
  if (state.c == d) {
    state.sign = b_even ? '+' : '-';
  } else if (state.c == wrapping_add(d, 1)) {
    state.sign = b_even ? '-' : '+';
  }
  if (state.sign == '\0') state.sign = ' ';
}

}  // namespace rules_detail

/// Decides keep (true) or discard; on keep, scales the frequency and fills the derived fields.
/// A discarded record is left as it was.
inline bool apply_conversion_rules(LineRecord& record) noexcept {
  using rules_detail::set_parity_sign;
  using rules_detail::wrapping_add;
  // Exact comparison: the placeholder is written as -900.00000 and reads back exactly. Neither
  // less nor greater is the placeholder itself or a NaN, in one unordered comparison.
  if (!std::islessgreater(record.freq, FREQ_PLACEHOLDER)) return false;
  const bool a_branch = record.species == 'A';
  if (!a_branch && record.species != 'E') return false;

  record.freq = record.freq * FREQ_SCALE;
  for (StateLabels* state : {&record.first, &record.second}) {
    state->a_next = wrapping_add(state->a, 1);
    state->lead = 0;
  }
  record.trailer_flag = TRAILER_FLAG;
  record.trailer_code = TRAILER_CODE;
  if (a_branch) {
    set_parity_sign(record.first);
    set_parity_sign(record.second);
  } else {
    record.first.sign = ' ';
    record.second.sign = ' ';
  }
  std::memcpy(record.trailer_text, TRAILER_TEXT, sizeof record.trailer_text);
  return true;
}

}  // namespace converter
