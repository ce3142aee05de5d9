// Diagnostics and run end. Every text is composed in fixed buffers with the signal-safe
// formatter, so this path never allocates: it also reports running out of memory and faults.
#include "records/diagnostics.h"

#include <atomic>
#include <cstring>

#include "records/catalog.h"
#include "records/detail.h"
#include "records/unit_connection.h"

namespace records {
namespace {

/// Room for the diagnostic line, the traceback and the bad field's line.
constexpr std::size_t REPORT_CAPACITY = 8192;

constexpr const char* SEVERITY_WORDS[] = {"", "info", "warning", "error", "severe"};

/// The word printed for a severity class; class 0 has none.
const char* severity_word(std::uint32_t severity) noexcept {
  switch (severity) {
    case 1: return SEVERITY_WORDS[1];
    case 2: return SEVERITY_WORDS[3];
    case 3: return SEVERITY_WORDS[4];
    default: return SEVERITY_WORDS[0];
  }
}

/// The line that names a bad input field: its record, its columns and its bytes, escaped.
std::size_t format_bad_field(char* out, std::size_t out_size, const BadField& field) noexcept {
  char escaped[600];
  std::size_t length = 0;
  static constexpr char HEX[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < field.length && length + 5 < sizeof escaped; ++i) {
    const auto byte = static_cast<unsigned char>(field.bytes[i]);
    if (byte == '"' || byte == '\\') {
      escaped[length++] = '\\';
      escaped[length++] = static_cast<char>(byte);
    } else if (byte >= 0x20 && byte < 0x7F) {
      escaped[length++] = static_cast<char>(byte);
    } else {
      escaped[length++] = '\\';
      escaped[length++] = 'x';
      escaped[length++] = HEX[byte >> 4];
      escaped[length++] = HEX[byte & 0xF];
    }
  }
  escaped[length] = '\0';
  const FormatArg args[] = {FormatArg::string(PROGRAM_TAG), FormatArg::number(field.record),
                            FormatArg::number(field.first_column), FormatArg::number(field.last_column),
                            FormatArg::string(escaped)};
  return format_text(out, out_size, "%s: record %d, columns %d-%d: \"%s\"\n", args);
}

/// Composes the line (and, for severe codes, the traceback of `frames` and the bad field's
/// line) and writes it to the error stream in one piece.
void emit_diagnostic(ConditionCode code, std::span<const FormatArg> args, void* const* frames, std::size_t frame_count,
                     const BadField* bad_field = nullptr) noexcept {
  char message[MAX_MESSAGE_TEXT + 1];
  const char* text = catalog_text(code);
  if (args.empty()) {
    std::size_t length = 0;
    while (text[length] != '\0' && length < MAX_MESSAGE_TEXT) {
      message[length] = text[length];
      ++length;
    }
    message[length] = '\0';
  } else {
    format_text(message, sizeof message, text, args);
  }

  char tag[64];
  const char* word = severity_word(severity_class(code));
  const FormatArg tag_parts[] = {FormatArg::string(PROGRAM_TAG), FormatArg::string(word)};
  format_text(tag, sizeof tag, word[0] != '\0' ? "%s: %s" : "%s", tag_parts);

  static char report[REPORT_CAPACITY];
  const FormatArg line_parts[] = {FormatArg::string(tag), FormatArg::number(message_number(code)),
                                  FormatArg::string(message)};
  std::size_t length = format_text(report, sizeof report, "%s (%i): %s", line_parts);
  if (is_fatal(code)) {
    length += format_traceback(report + length, sizeof report - length, frames, frame_count);
    if (bad_field != nullptr) length += format_bad_field(report + length, sizeof report - length, *bad_field);
  }
  platform::write_error_stream(report, length);
}

/// Set by the first road out of the run (the normal end, a severe condition, a console
/// event); the thread that set it may pass again (a close failing inside its run end).
std::atomic<bool> run_end_claimed{false};
thread_local bool this_thread_ends_the_run = false;

/// Passes the run-end gate, or waits for the road that passed it first to end the process:
/// whatever order the threads arrive in, the run ends once, by one road.
void pass_run_end_gate() noexcept {
  if (!claim_run_end()) platform::wait_for_exit();
}

/// Ends the run after a severe condition: units closed, the full code as exit status.
[[noreturn]] void end_run(ConditionCode code) noexcept {
  finish_run();
  platform::exit_process(code_value(code));
}

/// issue_diagnostic, with the bad field's line after the traceback when there is one.
void diagnose(ConditionCode code, std::span<const FormatArg> args, const BadField* bad_field) noexcept {
  void* frames[platform::MAX_FRAMES] = {};
  std::size_t count = 0;
  if (is_fatal(code)) {
    pass_run_end_gate();
    count = platform::capture_stack(frames, platform::MAX_FRAMES, 0);
  }
  emit_diagnostic(code, args, frames, count, bad_field);
  if (is_fatal(code)) end_run(code);
}

/// Signal-safe: reports a processor fault and ends the process. Files are closed by the OS;
/// nothing of a finished record waits in memory, and the fault may lie inside the allocator.
void report_fault(platform::FaultKind kind, std::uint32_t os_code, void* const* frames, std::size_t count) noexcept {
  ConditionCode code = ConditionCode::other_exception;
  switch (kind) {
    case platform::FaultKind::access_violation: code = ConditionCode::access_violation; break;
    case platform::FaultKind::integer_divide: code = ConditionCode::integer_divide; break;
    case platform::FaultKind::stack_overflow: code = ConditionCode::stack_overflow; break;
    case platform::FaultKind::other: break;
  }
  if (code == ConditionCode::other_exception) {
    // The code in hexadecimal, then as the signed 32-bit value the row's "%ld" takes where
    // `long` has 32 bits: 0xc000001d (-1073741795).
    const FormatArg args[] = {FormatArg::number(os_code), FormatArg::number(static_cast<std::int32_t>(os_code))};
    emit_diagnostic(code, args, frames, count);
  } else {
    emit_diagnostic(code, {}, frames, count);
  }
  platform::exit_process_now(code_value(code));
}

}  // namespace

std::size_t format_traceback(char* out, std::size_t out_size, void* const* frames, std::size_t count) noexcept {
  const FormatArg titles[] = {FormatArg::string("Image"), FormatArg::string("PC"), FormatArg::string("Routine"),
                              FormatArg::string("Line"), FormatArg::string("Source")};
  std::size_t length = format_text(out, out_size, "%-19.19s%-10.10s%-19.19s%-12.12s%-19.19s\n", titles);
  for (std::size_t i = 0; i < count && i < platform::MAX_FRAMES; ++i) {
    platform::FrameInfo frame{};
    platform::describe_frame(frames[i], &frame);
    const FormatArg row[] = {FormatArg::string(frame.module[0] != '\0' ? frame.module : "Unknown"),
                             FormatArg::number(static_cast<std::int64_t>(frame.pc)),
                             FormatArg::string(frame.routine[0] != '\0' ? frame.routine : "Unknown"),
                             FormatArg::string("Unknown"), FormatArg::string("Unknown")};
    length += format_text(out + length, out_size - length, "%-17.17s  %8.8lX  %-17.17s  %10.10s  %s\n", row);
  }
  return length;
}

void issue_diagnostic(ConditionCode code, std::span<const FormatArg> args) noexcept { diagnose(code, args, nullptr); }

std::int16_t report_io_condition(UnitDisposition disposition, ConditionCode code, std::int32_t status_value,
                                 UnitConnection* unit, const StatementBranches& branches, std::int32_t unit_number,
                                 const BadField* bad_field) noexcept {
  // Taken first: the disposition may reset the unit.
  char path[PATH_CAPACITY + 1];
  const char* shown = "\"Unknown\"";
  if (unit != nullptr) {
    unit_number = unit->unit_number;
    if (unit->path != nullptr) {
      std::strncpy(path, unit->path, sizeof path - 1);
      path[sizeof path - 1] = '\0';
      shown = path;
    }
  }

  bool silent = true;
  std::int16_t result = 0;
  if (branches.error_branch) {
    result = code == ConditionCode::end_of_file ? END_OF_FILE_RESULT : static_cast<std::int16_t>(status_value);
  } else if (code == ConditionCode::output_conversion && branches.quiet_output_conversion) {
    result = static_cast<std::int16_t>(status_value);
  } else if (code == ConditionCode::end_of_file && branches.end_branch) {
    result = END_OF_FILE_RESULT;
  } else {
    silent = false;
    result = static_cast<std::int16_t>(code_value(code) & 0xFFFFu);
  }

  if (unit != nullptr) {
    if (!silent && unit->last_os_error != 0) report_system_error(unit->last_os_error);
    unit->last_os_error = 0;
  }

  if (unit != nullptr) {
    switch (disposition) {
      case UnitDisposition::keep: break;
      case UnitDisposition::release: release_unit(unit_number); break;
      case UnitDisposition::discard:
        discard_unit(*unit);
        release_unit(unit_number);
        break;
    }
  }

  if (!silent) {
    const FormatArg args[] = {FormatArg::number(unit_number), FormatArg::string(shown)};
    diagnose(code, args, code == ConditionCode::input_conversion ? bad_field : nullptr);
  }
  return result;
}

std::int32_t detail::route_condition(std::int32_t unit_number, UnitConnection* unit, ConditionCode condition,
                                     const StatementBranches& branches, UnitDisposition on_condition,
                                     const BadField* bad_field) noexcept {
  const auto status_value = static_cast<std::int32_t>(code_value(condition));
  if (unit == nullptr) {
    return report_io_condition(UnitDisposition::keep, condition, status_value, nullptr, branches, unit_number);
  }
  return report_io_condition(on_condition, condition, status_value, unit, branches, 0, bad_field);
}

void report_system_error(platform::OsError system_code) noexcept {
  char text[1024];
  if (platform::error_text(system_code, text, sizeof text) == 0) {
    const FormatArg code[] = {FormatArg::number(system_code)};
    format_text(text, sizeof text, "FormatMessage failed for sysmem message number %i", code);
  }
  char line[1100];
  const FormatArg parts[] = {FormatArg::string(PROGRAM_TAG), FormatArg::string(text)};
  const std::size_t length = format_text(line, sizeof line, "%s: %s", parts);
  platform::write_error_stream(line, length);
}

int finish_run() noexcept {
  close_all_units();
  return 0;
}

bool claim_run_end() noexcept {
  if (this_thread_ends_the_run) return true;
  bool expected = false;
  if (!run_end_claimed.compare_exchange_strong(expected, true)) return false;
  this_thread_ends_the_run = true;
  return true;
}

void end_normal_run() noexcept {
  pass_run_end_gate();
  platform::exit_process(static_cast<std::uint32_t>(finish_run()));
}

bool on_console_event(std::uint32_t event) noexcept {
  static constexpr const char* EVENT_NAMES[] = {"control-C", "control-BREAK", "window-CLOSE"};
  if (event > 2) return false;
  // Another road is ending the run already: the event is taken, and changes nothing.
  if (!claim_run_end()) return true;
  stop_new_statements();
  const FormatArg name[] = {FormatArg::string(EVENT_NAMES[event])};
  issue_diagnostic(ConditionCode::console_event, name);
  finish_run();
  platform::exit_process(platform::console_event_exit_status(event));
}

void start_run() noexcept {
  platform::secure_process_boundary();
  platform::install_console_handler(on_console_event);
  platform::install_fault_handler(report_fault);
  platform::mask_float_exceptions();
}

}  // namespace records
