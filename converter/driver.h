// The conversion driver: connects the two line lists and converts the input line by line.
#pragma once

#include <cstdint>
#include <string_view>

namespace converter {

/// Unit numbers under which the two files are known in diagnostics.
inline constexpr std::int32_t INPUT_UNIT = 55;
inline constexpr std::int32_t OUTPUT_UNIT = 58;
/// The two files, both in the current directory.
inline constexpr std::string_view INPUT_FILE_NAME = "KORV-data-E-sept08.txt";
inline constexpr std::string_view OUTPUT_FILE_NAME = "out-DUNTA-E-sept08.txt";

/// Converts the whole input. Returns only after end of file; every other failure ends the run.
void convert_line_list() noexcept;

}  // namespace converter
