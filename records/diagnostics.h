// The one place that reports conditions and ends the run: diagnostic lines, tracebacks,
// the routing of conditions met inside statements, console events and processor faults.
#pragma once

#include <cstdint>
#include <span>

#include "platform/platform.h"
#include "records/condition.h"
#include "records/text_format.h"

namespace records {

struct UnitConnection;

/// Name that opens every diagnostic line.
inline constexpr const char* PROGRAM_TAG = "korv2dunta";
/// Longest formatted catalog text.
inline constexpr std::size_t MAX_MESSAGE_TEXT = 395;

/// What happens to the unit of a failed statement before the diagnostic: kept as it is (no
/// unit could be had), released (reads and writes) or discarded (a failed connect).
enum class UnitDisposition : std::uint8_t { keep = 0, release = 1, discard = 2 };

/// The branches a statement carries, which decide whether a condition comes back to it. Input
/// units pad short records with blanks, so no statement meets an end of record and none
/// carries a branch for it.
struct StatementBranches {
  bool end_branch = false;               ///< end of file returns -1
  bool error_branch = false;             ///< every condition returns its status value
  bool quiet_output_conversion = false;  ///< condition 63 returns silently
};

/// Result handed back for end of file.
inline constexpr std::int16_t END_OF_FILE_RESULT = -1;

/// Composes one diagnostic line (plus a traceback for severe codes) and writes it to the
/// error stream. Returns for classes 0 to 2; ends the run for class 3.
void issue_diagnostic(ConditionCode code, std::span<const FormatArg> args) noexcept;

/// Where an input conversion error lies: the record's number, the columns of its field and
/// the field's bytes. The diagnostic of the error prints it after the traceback.
struct BadField {
  std::int64_t record;
  std::int64_t first_column;
  std::int64_t last_column;
  const char* bytes;
  std::size_t length;
};

/// Routes a condition met inside a statement: hands it back, or prints it and ends the run.
/// `unit` may be null (the unit could not be had); `unit_number` then names it. `bad_field`
/// goes with an input conversion error.
std::int16_t report_io_condition(UnitDisposition disposition, ConditionCode code, std::int32_t status_value,
                                 UnitConnection* unit, const StatementBranches& branches, std::int32_t unit_number = 0,
                                 const BadField* bad_field = nullptr) noexcept;

/// Prints the OS text of an error code after the program tag.
void report_system_error(platform::OsError system_code) noexcept;

/// Run end: closes every connected unit (once per run). Returns 0.
int finish_run() noexcept;

/// The run-end gate that every road out of the run passes (the normal end, a severe
/// condition, a console event): true for the first thread to ask, and again for that thread
/// (a severe condition met inside its own run end); false for every other.
bool claim_run_end() noexcept;

/// The normal end: through the gate, the units closed, exit status 0. A thread that finds
/// the gate taken waits for that road to end the process instead.
[[noreturn]] void end_normal_run() noexcept;

/// Console control event handler: prints the notice, closes the units, ends the process;
/// when another road has already taken the run end, takes the event and does nothing.
bool on_console_event(std::uint32_t event) noexcept;

/// Start-up: console events, processor faults and floating-point traps.
void start_run() noexcept;

/// Builds the traceback of the given frames into `out`; returns its length.
std::size_t format_traceback(char* out, std::size_t out_size, void* const* frames, std::size_t count) noexcept;

}  // namespace records
