// The conversion rules: which transitions the DUNTA list keeps, and what it derives from them,
// in their fixed order: placeholder test, species test, scaling, label columns, trailer, parity
// signs, trailer text. Defined in line, so that the driver runs them inside its loop.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <iterator>

#include "converter/line_record.h"

namespace converter {

/// Frequency that marks a transition without a measured value.
inline constexpr double FREQ_PLACEHOLDER = -900.0;
/// The input frequency unit is a thousand times the output unit.
inline constexpr double FREQ_SCALE = 1000.0;
inline constexpr std::int32_t TRAILER_FLAG = 1;
inline constexpr std::int32_t TRAILER_CODE = 1005;
inline constexpr char TRAILER_TEXT[6] = {' ', ' ', ' ', ' ', ' ', ' '};
static_assert(sizeof TRAILER_TEXT == sizeof LineRecord::trailer_text, "the trailer text fills its field");

namespace detail {

/// A sum of labels as the rules take it, in 32-bit arithmetic: one past the range wraps round.
/// Labels are read from at most three columns, where no sum comes near it.
constexpr std::int32_t in_32_bits(std::int64_t sum) noexcept { return static_cast<std::int32_t>(sum); }

/// The A-branch sign of one state: when c is a - b or a - b + 1, '+' for an even a - c and '-'
/// for an odd one. Otherwise the sign stands as it is, and a sign never set is a blank, since a
/// zero byte has no place in a text line list.
inline char a_branch_sign(const StateLabels& state) noexcept {
  const std::int32_t d = in_32_bits(std::int64_t{state.a} - state.b);
  if (state.c == d || state.c == in_32_bits(std::int64_t{d} + 1)) {
    return (std::int64_t{state.a} - state.c) % 2 == 0 ? '+' : '-';
  }
  return state.sign == '\0' ? ' ' : state.sign;
}

}  // namespace detail

/// Decides keep (true) or discard; on keep, scales the frequency and fills the derived fields.
/// A discarded record is left as it was.
inline bool apply_conversion_rules(LineRecord& record) noexcept {
  // Exact comparison: the placeholder is written as -900.00000 and reads back exactly.
  if (std::isnan(record.freq) || record.freq == FREQ_PLACEHOLDER) return false;
  const bool a_branch = record.species == 'A';
  if (!a_branch && record.species != 'E') return false;

  record.freq = record.freq * FREQ_SCALE;
  for (StateLabels* state : {&record.first, &record.second}) {
    state->a_next = detail::in_32_bits(std::int64_t{state->a} + 1);
    state->lead = 0;
  }
  record.trailer_flag = TRAILER_FLAG;
  record.trailer_code = TRAILER_CODE;
  if (a_branch) {
    record.first.sign = detail::a_branch_sign(record.first);
    record.second.sign = detail::a_branch_sign(record.second);
  } else {
    record.first.sign = ' ';
    record.second.sign = ' ';
  }
  std::copy(std::begin(TRAILER_TEXT), std::end(TRAILER_TEXT), record.trailer_text);
  return true;
}

}  // namespace converter
