// The conversion rules: which transitions the DUNTA list keeps, and what it derives from them,
// in their fixed order: placeholder test, species test, scaling, label columns, trailer, parity
// signs, trailer text. Defined in line, so that the driver runs them inside its loop.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
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

namespace detail {

/// 32-bit two's-complement sum without undefined behaviour on wrap.
inline std::int32_t wrapping_add(std::int32_t x, std::int32_t y) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(x) + static_cast<std::uint32_t>(y));
}

/// The A-branch parity sign of one state: with c = a - b, '+' for an even b and '-' for an odd
/// one; with c = a - b + 1 the other way round. Otherwise the sign stands as it is, and a sign
/// never set becomes a blank, since a zero byte has no place in a text line list. Worked out
/// without a branch on the labels ('-' is '+' + 2).
inline char parity_sign(const StateLabels& state) noexcept {
  const std::uint32_t d = static_cast<std::uint32_t>(state.a) - static_cast<std::uint32_t>(state.b);
  const std::uint32_t past_d = static_cast<std::uint32_t>(state.c) - d;  // 0 or 1 sets the sign
  const std::uint32_t flipped = (past_d ^ static_cast<std::uint32_t>(state.b)) & 1;
  const char kept = state.sign == '\0' ? ' ' : state.sign;
  return past_d <= 1 ? static_cast<char>('+' + 2 * flipped) : kept;
}

}  // namespace detail

/// Decides keep (true) or discard; on keep, scales the frequency and fills the derived fields.
/// A discarded record is left as it was.
inline bool apply_conversion_rules(LineRecord& record) noexcept {
  using detail::wrapping_add;
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
    record.first.sign = detail::parity_sign(record.first);
    record.second.sign = detail::parity_sign(record.second);
  } else {
    record.first.sign = ' ';
    record.second.sign = ' ';
  }
  // Byte by byte: the compiler then sees the constant bytes and writes them straight into the
  // output columns, where a block copy would go through the record in memory.
  for (std::size_t i = 0; i < sizeof record.trailer_text; ++i) record.trailer_text[i] = TRAILER_TEXT[i];
  return true;
}

}  // namespace converter
