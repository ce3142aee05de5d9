// The record reader over any file contents, through the real connect and reading code, with
// the OS read cut into chunk sizes the input chooses (so refills fall at arbitrary points).
// The records read must be exactly the file's lines: LF ends a record, one CR before it is
// dropped, a line of control-Z alone ends the file, and a last line without LF is a record.
// Input: byte 0: bits 0-3 the number k of chunk-size bytes, bit 4 a layout of two fields
// with skips instead of one wide field, bit 5 lets a chunk byte of 0 fail the read (EIO).
// Then k chunk-size bytes (255 = the whole request), then 4 layout bytes when bit 4 is set,
// then the file's contents.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "platform/platform.h"
#include "records/diagnostics.h"
#include "records/reader.h"
#include "records/unit_connection.h"

namespace {

constexpr std::int32_t UNIT = 55;
/// Every condition comes back to the statement, end of file as -1.
constexpr records::StatementBranches ERROR_BRANCH{.error_branch = true};
/// What a read failure comes back as: the low 16 bits of condition 39.
constexpr std::int32_t READ_ERROR_RESULT = 39;

/// The chunk schedule of the current input, used by `chunked_read`.
std::vector<std::uint8_t> chunk_sizes;
std::size_t next_chunk = 0;
bool chunk_zero_fails = false;

/// The OS read, cut to the next scheduled chunk size; a 0 byte fails it when allowed.
platform::ReadResult chunked_read(platform::FileHandle file, char* destination, std::size_t size) noexcept {
  KORV_FUZZ_CHECK(size > 0, "the reader never asks for 0 bytes");
  std::size_t allowed = size;
  if (!chunk_sizes.empty()) {
    const std::uint8_t chunk = chunk_sizes[next_chunk++ % chunk_sizes.size()];
    if (chunk == 0 && chunk_zero_fails) return {0, static_cast<platform::OsError>(EIO)};
    if (chunk != 255 && chunk != 0 && chunk < allowed) allowed = chunk;
  }
  return platform::native_file_calls().read(file, destination, allowed);
}

/// The file the unit is connected to; rewritten for every input.
struct ScratchFile {
  std::string path;
  int descriptor = -1;
  ScratchFile() {
    // Memory-backed when possible: emptying a disk file for every input costs milliseconds.
    const char* directory = std::getenv("TMPDIR");
    if (::access("/dev/shm", W_OK) == 0) directory = "/dev/shm";
    path = std::string(directory != nullptr && directory[0] != '\0' ? directory : "/tmp") + "/korv-fuzz-XXXXXX";
    descriptor = ::mkstemp(path.data());
    KORV_FUZZ_CHECK(descriptor >= 0, "a scratch file can be made");
  }
  ~ScratchFile() { ::unlink(path.c_str()); }
};

/// The records a file holds by the framing rules; stops at a control-Z line.
std::vector<std::string> expected_records(std::string_view contents) {
  std::vector<std::string> records;
  std::size_t at = 0;
  while (at < contents.size()) {
    const std::size_t line_feed = contents.find('\n', at);
    const std::size_t end = line_feed == std::string_view::npos ? contents.size() : line_feed;
    std::string line(contents.substr(at, end - at));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "\x1a") break;
    records.push_back(line);
    at = end + 1;
  }
  return records;
}

/// What a character field of `width` columns after `skip` columns holds, walking `record`
/// from `position` with `virtual_blanks` columns already walked past its end.
std::string walk_characters(const std::string& record, std::size_t& position, std::size_t& virtual_blanks,
                            std::size_t skip, std::size_t width) {
  if (virtual_blanks > 0) {
    virtual_blanks += skip;
  } else if (skip > record.size() - position) {
    virtual_blanks = skip - (record.size() - position);
    position = record.size();
  } else {
    position += skip;
  }
  const std::size_t taken = std::min(width, record.size() - position);
  std::string text = record.substr(position, taken) + std::string(width - taken, ' ');
  virtual_blanks += width - taken;
  position += taken;
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static ScratchFile scratch;
  static const bool hooked = [] {
    platform::file_calls().read = chunked_read;
    return true;
  }();
  (void)hooked;

  if (size < 1) return 0;
  const std::size_t chunk_count = data[0] & 0x0Fu;
  const bool two_fields = (data[0] & 0x10u) != 0;
  chunk_zero_fails = (data[0] & 0x20u) != 0;
  const std::size_t header = 1 + chunk_count + (two_fields ? 4 : 0);
  if (size < header) return 0;
  chunk_sizes.assign(data + 1, data + 1 + chunk_count);
  next_chunk = 0;
  const std::size_t skips[2] = {two_fields ? data[1 + chunk_count] : 0u, two_fields ? data[3 + chunk_count] : 0u};
  const std::string_view contents(reinterpret_cast<const char*>(data) + header, size - header);
  const std::vector<std::string> want = expected_records(contents);
  std::size_t longest = 0;
  for (const std::string& record : want) longest = std::max(longest, record.size());
  // One wide field holds every line of the file whole; two fields sit wherever the input says.
  const std::size_t widths[2] = {two_fields ? 1u + data[2 + chunk_count] : std::min<std::size_t>(longest + 1, 65535),
                                 two_fields ? 1u + data[4 + chunk_count] : 0u};

  KORV_FUZZ_CHECK(::ftruncate(scratch.descriptor, 0) == 0, "the scratch file can be emptied");
  KORV_FUZZ_CHECK(
      ::pwrite(scratch.descriptor, contents.data(), contents.size(), 0) == static_cast<ssize_t>(contents.size()),
      "the scratch file can be written");

  const records::OpenRequest request{UNIT, scratch.path, records::BlankMode::null, records::FileStatus::unknown};
  KORV_FUZZ_CHECK(records::connect_unit(request, ERROR_BRANCH) == 0, "the scratch file connects");

  records::FieldSpec layout[4] = {records::FieldSpec::characters(static_cast<std::uint16_t>(widths[0]))};
  std::size_t layout_size = 1;
  if (two_fields) {
    layout[0] = records::FieldSpec::skip(static_cast<std::uint16_t>(skips[0]));
    layout[1] = records::FieldSpec::characters(static_cast<std::uint16_t>(widths[0]));
    layout[2] = records::FieldSpec::skip(static_cast<std::uint16_t>(skips[1]));
    layout[3] = records::FieldSpec::characters(static_cast<std::uint16_t>(widths[1]));
    layout_size = 4;
  }
  std::string areas[2] = {std::string(widths[0], '\0'), std::string(widths[1], '\0')};
  const records::InputItem items[2] = {records::InputItem::of(areas[0].data(), widths[0]),
                                       records::InputItem::of(areas[1].data(), widths[1])};
  const std::size_t item_count = two_fields ? 2 : 1;

  std::size_t taken = 0;
  std::int32_t result = 0;
  for (;;) {
    result = records::read_record(UNIT, {layout, layout_size}, {items, item_count}, ERROR_BRANCH);
    if (result != 0) break;
    KORV_FUZZ_CHECK(taken < want.size(), "no record beyond the file's lines");
    const records::InputCursor& cursor = records::find_unit(UNIT)->formatting->input;
    const std::string got(cursor.record_start, cursor.record_end);
    KORV_FUZZ_CHECK(got == want[taken], "each record is the next line without its line end");
    std::size_t position = 0;
    std::size_t virtual_blanks = 0;
    for (std::size_t i = 0; i < item_count; ++i) {
      const std::string text = walk_characters(got, position, virtual_blanks, skips[i], widths[i]);
      KORV_FUZZ_CHECK(areas[i] == text, "each character field holds its columns, blank past the record");
    }
    ++taken;
  }
  if (result == READ_ERROR_RESULT) {
    KORV_FUZZ_CHECK(chunk_zero_fails, "a read fails only when the schedule says so");
  } else {
    KORV_FUZZ_CHECK(result == records::END_OF_FILE_RESULT, "the file ends with end of file");
    KORV_FUZZ_CHECK(taken == want.size(), "every line of the file is read");
  }
  records::close_all_units();
  return 0;
}
