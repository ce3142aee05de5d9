// The record library's interface for connecting files to units: the options of a connect
// request and the connect statement. Reads and writes are in reader.h, writer.h and
// compiled_layout.h; what the library keeps per unit is in unit_connection.h, behind them.
#pragma once

#include <cstdint>
#include <string_view>

namespace records {

/// Blank mode of a connect request: 0 not given, 1 zero, 2 null.
enum class BlankMode : std::int32_t { not_given = 0, zero = 1, null = 2 };
/// File status of a connect request: 0 not given, 1 old, 2 new, 3 scratch, 4 unknown, 5 replace.
/// Old insists on an existing file; every other value acts as unknown (open, or create empty).
enum class FileStatus : std::int32_t { not_given = 0, old = 1, new_file = 2, scratch = 3, unknown = 4, replace = 5 };

/// How the caller will use a unit: only a FIFO depends on it, and is opened for that
/// direction alone.
enum class UnitUse : std::uint8_t { unstated, reading, writing };

/// The options of one connect request.
struct OpenRequest {
  std::int32_t unit_number = 0;
  std::string_view file_name;  ///< not NUL-terminated; may carry blanks around it
  BlankMode blank_mode = BlankMode::not_given;
  FileStatus status = FileStatus::not_given;
  UnitUse use = UnitUse::unstated;
};

struct StatementBranches;

/// Connects a unit to a file (open or create, shared for reading only). Conditions go to
/// report_io_condition; without an error branch a failure ends the run. Returns 0 or the status.
std::int32_t connect_unit(const OpenRequest& request, const StatementBranches& branches) noexcept;

}  // namespace records
