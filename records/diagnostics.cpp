// Diagnostics and run end. Every text is composed in fixed buffers with the signal-safe
// formatter, so this path never allocates: it also reports running out of memory and faults.
#include "records/diagnostics.h"

#include <cstring>

#include "records/catalog.h"
#include "records/units.h"

namespace records {
namespace {

/// Room for the diagnostic line, the traceback and the trailing note.
constexpr std::size_t REPORT_CAPACITY = 8192;
constexpr std::size_t NOTE_CAPACITY = 1024;

char diagnostic_note[NOTE_CAPACITY];

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

/// Composes the line (and, for severe codes, the traceback of `frames` and the note) and
/// writes it to the error stream in one piece.
void emit_diagnostic(ConditionCode code, std::span<const FormatArg> args, void* const* frames,
                     std::size_t frame_count) noexcept {
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
    if (diagnostic_note[0] != '\0') {
      const FormatArg note[] = {FormatArg::string(diagnostic_note)};
      length += format_text(report + length, sizeof report - length, "%s", note);
      diagnostic_note[0] = '\0';
    }
  }
  platform::write_error_stream(report, length);
}

/// Ends the run after a severe condition: units closed, the full code as exit status.
[[noreturn]] void end_run(ConditionCode code) noexcept {
  finish_run();
  platform::exit_process(code_value(code));
}

/// Signal-safe: reports a processor fault and ends the process. Files are closed by the OS;
/// nothing of a finished record waits in memory, and the fault may lie inside the allocator.
void on_fault(platform::FaultKind kind, std::uint32_t os_code, void* const* frames, std::size_t count) noexcept {
  ConditionCode code = ConditionCode::other_exception;
  switch (kind) {
    case platform::FaultKind::access_violation: code = ConditionCode::access_violation; break;
    case platform::FaultKind::integer_divide: code = ConditionCode::integer_divide; break;
    case platform::FaultKind::stack_overflow: code = ConditionCode::stack_overflow; break;
    case platform::FaultKind::other: break;
  }
  if (code == ConditionCode::other_exception) {
    const FormatArg args[] = {FormatArg::number(os_code), FormatArg::number(os_code)};
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

void issue_diagnostic(ConditionCode code, std::span<const FormatArg> args) noexcept {
  void* frames[platform::MAX_FRAMES] = {};
  std::size_t count = 0;
  if (is_fatal(code)) count = platform::capture_stack(frames, platform::MAX_FRAMES, 0);
  emit_diagnostic(code, args, frames, count);
  if (is_fatal(code)) end_run(code);
}

std::int16_t report_io_condition(UnitDisposition disposition, ConditionCode code, std::int32_t status_value,
                                 UnitConnection* unit, const StatementBranches& branches,
                                 std::int32_t unit_number) noexcept {
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
  // A context line belongs to the condition it was made for; one handed back is forgotten.
  if (silent) set_diagnostic_note(nullptr);

  if (unit != nullptr) {
    switch (disposition) {
      case UnitDisposition::keep: break;
      case UnitDisposition::release: release_unit(unit_number); break;
      case UnitDisposition::discard:
        discard_unit(*unit);
        release_unit(unit_number);
        break;
      case UnitDisposition::close:
        (void)close_unit(*unit);
        release_unit(unit_number);
        break;
    }
  }

  if (!silent) {
    const FormatArg args[] = {FormatArg::number(unit_number), FormatArg::string(shown)};
    issue_diagnostic(code, args);
  }
  return result;
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

bool on_console_event(std::uint32_t event) noexcept {
  static constexpr const char* EVENT_NAMES[] = {"control-C", "control-BREAK", "window-CLOSE"};
  if (event > 2) return false;
  stop_new_statements();
  const FormatArg name[] = {FormatArg::string(EVENT_NAMES[event])};
  issue_diagnostic(ConditionCode::console_event, name);
  finish_run();
  platform::exit_process(platform::console_event_exit_status(event));
}

void start_run() noexcept {
  platform::secure_process_boundary();
  platform::install_console_handler(on_console_event);
  platform::install_fault_handler(on_fault);
  platform::mask_float_exceptions();
}

void set_diagnostic_note(const char* text) noexcept {
  if (text == nullptr) {
    diagnostic_note[0] = '\0';
    return;
  }
  std::strncpy(diagnostic_note, text, NOTE_CAPACITY - 1);
  diagnostic_note[NOTE_CAPACITY - 1] = '\0';
}

}  // namespace records
