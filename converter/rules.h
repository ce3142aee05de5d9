// The conversion rules: which transitions the DUNTA list keeps, and what it derives from them.
#pragma once

#include <cstdint>

#include "converter/line_record.h"

namespace converter {

/// Frequency that marks a transition without a measured value.
inline constexpr double FREQ_PLACEHOLDER = -900.0;
/// The input frequency unit is a thousand times the output unit.
inline constexpr double FREQ_SCALE = 1000.0;
inline constexpr std::int32_t TRAILER_FLAG = 1;
inline constexpr std::int32_t TRAILER_CODE = 1005;
inline constexpr char TRAILER_TEXT[6] = {' ', ' ', ' ', ' ', ' ', ' '};

/// Decides keep (true) or discard; on keep, scales the frequency and fills the derived fields.
/// A discarded record is left as it was.
bool apply_conversion_rules(LineRecord& record) noexcept;

}  // namespace converter
