// The unit table and the file layer. Unit numbers -5 to 99 sit in direct slots; higher
// numbers hang in 521 chains kept in ascending order. Closing at run end visits the
// direct slots first, then the chains, each in ascending unit number.
#include "records/unit_connection.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <thread>

#include "records/detail.h"
#include "records/diagnostics.h"

namespace records {

namespace detail {
DirectSlot direct_slots[DIRECT_SLOTS];
std::atomic<bool> run_ending{false};
}  // namespace detail

namespace {

using detail::busy_mark;
using detail::direct_slot;
using detail::DirectSlot;
using detail::is_direct;
using detail::run_ending;

UnitConnection* hash_chains[HASH_CHAINS];
std::atomic<bool> any_unit_connected{false};

UnitConnection*& chain_of(std::int32_t unit_number) noexcept {
  return hash_chains[static_cast<std::size_t>((static_cast<std::int64_t>(unit_number) + 5) % HASH_CHAINS)];
}

/// Finds the connection of a chained unit, creating it in order when `create` is set.
UnitConnection* find_chained(std::int32_t unit_number, bool create) noexcept {
  UnitConnection** link = &chain_of(unit_number);
  UnitConnection* here = *link;
  while (here != nullptr && here->unit_number < unit_number) {
    link = &here->next_in_chain;
    here = *link;
  }
  if (here != nullptr && here->unit_number == unit_number) return here;
  if (!create) return nullptr;
  auto* made = new (std::nothrow) UnitConnection;
  if (made == nullptr) return nullptr;
  made->unit_number = unit_number;
  made->next_in_chain = here;
  *link = made;
  return made;
}

/// A statement that starts while the run is ending waits here for the process to end.
[[noreturn]] void wait_for_run_end() noexcept {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

/// The condition for an open that failed with `error`; only the catch-all row keeps the
/// OS error for the diagnostic.
ConditionCode open_condition(UnitConnection& unit, platform::OsError error) noexcept {
  switch (platform::classify_open_error(error)) {
    case platform::OpenFailure::file_not_found: return ConditionCode::file_not_found;
    case platform::OpenFailure::too_many_files: return ConditionCode::open_failure;
    case platform::OpenFailure::access_denied:
    case platform::OpenFailure::write_protected: return ConditionCode::permission_denied;
    case platform::OpenFailure::no_device: return ConditionCode::no_such_device;
    case platform::OpenFailure::already_exists: return ConditionCode::cannot_overwrite;
    case platform::OpenFailure::bad_name: return ConditionCode::bad_file_name;
    case platform::OpenFailure::other: break;
  }
  unit.last_os_error = error;
  return ConditionCode::open_failure;
}

/// Builds the unit's path: the name cut to 256 characters and trimmed, then made full
/// against the current directory unless that would need 256 or more characters.
bool resolve_path(UnitConnection& unit, std::string_view file_name) noexcept {
  char trimmed[PATH_CAPACITY + 1];
  std::size_t first = 0;
  std::size_t last = file_name.size() < PATH_CAPACITY ? file_name.size() : PATH_CAPACITY;
  while (first < last && file_name[first] == ' ') ++first;
  while (last > first && (file_name[last - 1] == ' ' || file_name[last - 1] == '\0')) --last;
  std::memcpy(trimmed, file_name.data() + first, last - first);
  trimmed[last - first] = '\0';

  char full[PATH_CAPACITY];
  const std::size_t length = platform::full_path(trimmed, full, sizeof full);
  const bool use_full = length >= 1 && length < PATH_CAPACITY;
  const char* chosen = use_full ? full : trimmed;
  const std::size_t chosen_length = use_full ? length : last - first;
  unit.path = static_cast<char*>(std::malloc(chosen_length + 1));
  if (unit.path == nullptr) return false;
  std::memcpy(unit.path, chosen, chosen_length + 1);
  unit.path_length = static_cast<std::uint16_t>(chosen_length);
  return true;
}

/// Opens the file for reading and writing, retrying for reading alone when that is refused.
/// A FIFO open for both directions would be its own reader and writer: its data would never
/// end and a reader that goes away would never be noticed, so it is opened once, for the use
/// stated, and waits for its other end like any reader or writer.
ConditionCode open_file(UnitConnection& unit, platform::OpenCreation creation, UnitUse use) noexcept {
  platform::FileCalls& calls = platform::file_calls();
  if (use != UnitUse::unstated && platform::is_fifo(unit.path)) {
    const bool reading = use == UnitUse::reading;
    const platform::OpenResult opened =
        calls.open(unit.path, reading ? platform::OpenAccess::read_only : platform::OpenAccess::write_only, creation);
    if (opened.handle == platform::NO_FILE) return open_condition(unit, opened.error);
    unit.handle = opened.handle;
    unit.marks.read_only = reading;
    return ConditionCode::success;
  }
  platform::OpenResult opened = calls.open(unit.path, platform::OpenAccess::read_write, creation);
  if (opened.handle == platform::NO_FILE && !unit.marks.read_only) {
    const platform::OpenFailure failure = platform::classify_open_error(opened.error);
    if (failure == platform::OpenFailure::access_denied || failure == platform::OpenFailure::write_protected) {
      opened = calls.open(unit.path, platform::OpenAccess::read_only, creation);
      unit.marks.read_only = true;
    }
  }
  if (opened.handle == platform::NO_FILE) return open_condition(unit, opened.error);
  unit.handle = opened.handle;
  return ConditionCode::success;
}

/// Connects an acquired unit; on failure the unit still holds its path for the diagnostic.
ConditionCode open_connection(UnitConnection& unit, const OpenRequest& request) noexcept {
  if (!resolve_path(unit, request.file_name)) return ConditionCode::out_of_memory;

  unit.sequential = true;
  unit.marks.formatted = true;
  unit.pad_with_blanks = true;
  unit.blanks_ignored = request.blank_mode != BlankMode::zero;
  unit.record_kind = RecordKind::stream_crlf;
  unit.record_length = DEFAULT_RECORD_LENGTH;
  unit.record_capacity = DEFAULT_RECORD_LENGTH + 1;  // 133 for the default length
  unit.default_length = true;

  // Status old insists on an existing file; every other status opens or creates.
  const auto creation = request.status == FileStatus::old ? platform::OpenCreation::open_existing
                                                          : platform::OpenCreation::open_or_create;
  if (const ConditionCode opened = open_file(unit, creation, request.use); opened != ConditionCode::success)
    return opened;

  unit.disk_file = platform::is_disk_file(unit.handle);
  unit.line_control = LineControl::list;
  // One byte more for the record's terminator: 134, the capacity a connection's description
  // gives. The record area is this less one column (writer.cpp).
  unit.record_capacity += 1;
  // The position stays at offset 0: reading starts at the first byte, writing overwrites it.
  unit.truncate_pending = unit.disk_file;
  unit.block_size = BLOCK_SIZE;
  unit.buffer_size = unit.block_size > unit.record_capacity ? unit.block_size : unit.record_capacity;
  // Zeroed, and a line feed past its end (see UnitConnection::buffer).
  unit.buffer = static_cast<char*>(std::calloc(unit.buffer_size + 1, 1));
  if (unit.buffer != nullptr) unit.buffer[unit.buffer_size] = '\n';
  unit.formatting = new (std::nothrow) FormattingState;
  if (unit.buffer == nullptr || unit.formatting == nullptr) return ConditionCode::out_of_memory;
  unit.marks.connected = true;
  any_unit_connected.store(true);
  return ConditionCode::success;
}

/// Resets a connection to its just-created state, keeping its unit number and chain link.
void reset_connection(UnitConnection& unit) noexcept {
  unit.buffer = nullptr;
  unit.formatting = nullptr;
  unit.path = nullptr;
  unit.path_length = 0;
  unit.handle = platform::NO_FILE;
  unit.last_os_error = 0;
  unit.buffer_size = unit.record_capacity = unit.block_size = 0;
  unit.record_length = 0;
  unit.line_control = LineControl::none;
  unit.marks = {};
  unit.sequential = false;
  unit.blanks_ignored = unit.pad_with_blanks = unit.default_length = unit.disk_file = false;
  unit.truncate_pending = unit.closing_at_exit = false;
}

void free_connection_memory(UnitConnection& unit) noexcept {
  std::free(unit.buffer);
  unit.buffer = nullptr;
  delete unit.formatting;
  unit.formatting = nullptr;
  std::free(unit.path);
  unit.path = nullptr;
}

/// Closes one visited connection at run end; a failure is reported and ends the run.
void close_at_exit(UnitConnection& unit) noexcept {
  if (!unit.marks.connected) return;
  unit.closing_at_exit = true;
  const ConditionCode closed = close_unit(unit);
  if (closed == ConditionCode::success) return;
  unit.marks.connected = false;
  if (unit.last_os_error != 0) {
    report_system_error(unit.last_os_error);
    unit.last_os_error = 0;
  }
  const FormatArg args[] = {FormatArg::number(unit.unit_number),
                            FormatArg::string(unit.path != nullptr ? unit.path : "\"Unknown\"")};
  issue_diagnostic(closed, args);
}

}  // namespace

ConditionCode detail::acquire_in_full(std::int32_t unit_number, UnitConnection** connection) noexcept {
  *connection = nullptr;
  if (run_ending.load()) wait_for_run_end();
  if (unit_number < MIN_UNIT || unit_number > MAX_UNIT) return ConditionCode::invalid_unit;
  UnitConnection* unit = nullptr;
  if (is_direct(unit_number)) {
    DirectSlot& slot = direct_slot(unit_number);
    unit = slot.connection.load();
    if (unit == nullptr) {
      unit = new (std::nothrow) UnitConnection;
      if (unit == nullptr) return ConditionCode::out_of_memory;
      unit->unit_number = unit_number;
      slot.connection.store(unit);
    }
  } else {
    unit = find_chained(unit_number, true);
    if (unit == nullptr) return ConditionCode::out_of_memory;
  }
  bool expected = false;
  if (!busy_mark(unit_number, *unit).compare_exchange_strong(expected, true)) {
    if (run_ending.load()) wait_for_run_end();
    return ConditionCode::recursive_io;
  }
  *connection = unit;
  return ConditionCode::success;
}

ConditionCode acquire_unit(std::int32_t unit_number, UnitConnection** connection) noexcept {
  return detail::acquire(unit_number, connection);
}

void release_unit(std::int32_t unit_number) noexcept {
  if (UnitConnection* unit = find_unit(unit_number); unit != nullptr) detail::release(unit_number, *unit);
}

UnitConnection* find_unit(std::int32_t unit_number) noexcept {
  if (unit_number < MIN_UNIT || unit_number > MAX_UNIT) return nullptr;
  return is_direct(unit_number) ? direct_slot(unit_number).connection.load() : find_chained(unit_number, false);
}

std::int32_t connect_unit(const OpenRequest& request, const StatementBranches& branches) noexcept {
  UnitConnection* unit = nullptr;
  ConditionCode condition = detail::acquire(request.unit_number, &unit);
  if (condition == ConditionCode::success) condition = open_connection(*unit, request);
  // A failed connect leaves nothing behind: buffer, state and path freed, the file closed.
  return detail::end_statement(request.unit_number, unit, condition, branches, UnitDisposition::discard);
}

ConditionCode settle_record_write(UnitConnection& unit, platform::OsError error) noexcept {
  if (error != 0) {
    unit.last_os_error = error;
    return ConditionCode::write_error;
  }
  if (unit.truncate_pending) {
    unit.truncate_pending = false;
    if (error = platform::file_calls().truncate(unit.handle); error != 0) {
      unit.last_os_error = error;
      return ConditionCode::write_error;
    }
  }
  return ConditionCode::success;
}

platform::ReadResult read_block(UnitConnection& unit, char* destination, std::size_t size) noexcept {
  const platform::ReadResult result = platform::file_calls().read(unit.handle, destination, size);
  if (result.error != 0) unit.last_os_error = result.error;
  return result;
}

ConditionCode empty_unwritten_file(UnitConnection& unit) noexcept {
  if (!unit.marks.connected || !unit.truncate_pending || unit.marks.read_only) return ConditionCode::success;
  unit.truncate_pending = false;
  if (const platform::OsError error = platform::file_calls().truncate_to_empty(unit.handle); error != 0) {
    unit.last_os_error = error;
    return ConditionCode::write_error;
  }
  return ConditionCode::success;
}

ConditionCode grow_unit_buffer(UnitConnection& unit, std::size_t size) noexcept {
  if (size <= unit.buffer_size) return ConditionCode::success;
  if (size > UINT32_MAX) return ConditionCode::out_of_memory;
  // Input positions point into the buffer; they move with it.
  InputCursor* cursor = unit.formatting != nullptr ? &unit.formatting->input : nullptr;
  constexpr std::size_t COUNT = 5;
  char** positions[COUNT] = {};
  std::ptrdiff_t offsets[COUNT] = {};
  if (cursor != nullptr) {
    char** fields[] = {&cursor->record_start, &cursor->record_end, &cursor->position, &cursor->next_byte,
                       &cursor->held_end};
    static_assert(std::size(fields) == COUNT);
    for (std::size_t i = 0; i < COUNT; ++i) {
      if (*fields[i] == nullptr) continue;
      positions[i] = fields[i];
      offsets[i] = *fields[i] - unit.buffer;
    }
  }
  auto* grown = static_cast<char*>(std::realloc(unit.buffer, size + 1));
  if (grown == nullptr) return ConditionCode::out_of_memory;
  // The new bytes zeroed, the line feed moved to the new end.
  std::memset(grown + unit.buffer_size, 0, size - unit.buffer_size);
  grown[size] = '\n';
  unit.buffer = grown;
  unit.buffer_size = static_cast<std::uint32_t>(size);
  for (std::size_t i = 0; i < COUNT; ++i) {
    if (positions[i] != nullptr) *positions[i] = grown + offsets[i];
  }
  return ConditionCode::success;
}

ConditionCode close_unit(UnitConnection& unit) noexcept {
  ConditionCode result = ConditionCode::success;
  if (unit.handle != platform::NO_FILE && !platform::is_standard_handle(unit.handle)) {
    if (const platform::OsError error = platform::file_calls().close(unit.handle); error != 0) {
      unit.last_os_error = error;
      result = ConditionCode::close_error;
    }
  }
  unit.handle = platform::NO_FILE;
  std::free(unit.buffer);
  unit.buffer = nullptr;
  delete unit.formatting;
  unit.formatting = nullptr;
  // A failed close keeps the path: the diagnostic names it.
  if (result != ConditionCode::success) return result;
  std::free(unit.path);
  unit.path = nullptr;
  if (unit.closing_at_exit) {
    unit.marks.connected = false;
    return result;
  }
  reset_connection(unit);
  return result;
}

void discard_unit(UnitConnection& unit) noexcept {
  free_connection_memory(unit);
  if (unit.handle != platform::NO_FILE && !platform::is_standard_handle(unit.handle)) {
    (void)platform::file_calls().close(unit.handle);
  }
  reset_connection(unit);
}

void close_all_units() noexcept {
  if (!any_unit_connected.exchange(false)) return;
  for (std::int32_t number = MIN_UNIT; number <= 99; ++number) {
    DirectSlot& slot = direct_slot(number);
    UnitConnection* unit = slot.connection.load();
    if (unit == nullptr) continue;
    bool expected = false;
    if (!slot.busy.compare_exchange_strong(expected, true)) continue;  // in a statement: left open
    close_at_exit(*unit);
    slot.connection.store(nullptr);
    free_connection_memory(*unit);
    delete unit;
    // Once the run is ending the slot stays claimed: a statement that looked the unit up just
    // before it was freed then finds it busy and waits for the exit instead of using it.
    if (!run_ending.load()) slot.busy.store(false);
  }
  for (UnitConnection*& chain : hash_chains) {
    UnitConnection** link = &chain;
    while (UnitConnection* unit = *link) {
      bool expected = false;
      if (!unit->busy.compare_exchange_strong(expected, true)) {
        link = &unit->next_in_chain;
        continue;
      }
      close_at_exit(*unit);
      *link = unit->next_in_chain;
      free_connection_memory(*unit);
      delete unit;
    }
  }
}

void stop_new_statements() noexcept { run_ending.store(true); }

}  // namespace records
