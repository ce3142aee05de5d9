// The values of one transition: as read from the KORV line, and as derived for DUNTA.
#pragma once

#include <cstdint>

namespace converter {

/// The labels of one of the two states on a line.
struct StateLabels {
  std::int32_t a = 0;       ///< two-column label
  std::int32_t b = 0;       ///< three-column label
  std::int32_t c = 0;       ///< third label: no input column carries it, so it stays 0
  std::int32_t a_next = 0;  ///< a + 1
  std::int32_t lead = 0;    ///< written in front of the group; always 0
  char sign = '\0';         ///< parity sign; the zero byte until the rules set it
};

/// One transition. A fresh record is zero-filled: integers 0, characters the zero byte.
struct LineRecord {
  StateLabels first;       ///< label group in input columns 7-14, written first
  StateLabels second;      ///< label group in input columns 16-23, written second
  std::int32_t digit = 0;  ///< input column 27: read and checked, used nowhere
  char species = '\0';     ///< input column 32
  double freq = 0.0;       ///< input columns 57-66; scaled by the rules
  std::int32_t trailer_flag = 0;
  std::int32_t trailer_code = 0;
  char trailer_text[6] = {};
};

}  // namespace converter
