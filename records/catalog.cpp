// The catalog rows this program can raise, a compile-time table searched from the first row.
#include "records/catalog.h"

#include <cstring>

namespace records {
namespace {

constexpr CatalogEntry MESSAGE_CATALOG[] = {
    {0xC0000009, "permission to access file denied, unit %d, file %s\r\n"},
    {0xC000000A, "cannot overwrite existing file, unit %d, file %s\r\n"},
    {0xC0000016, "input record too long, unit %d, file %s\r\n"},
    {0xC0000018, "end-of-file during read, unit %d, file %s\r\n"},
    {0xC000001C, "CLOSE error, unit %d, file %s\r\n"},
    {0xC000001D, "file not found, unit %d, file %s\r\n"},
    {0xC000001E, "open failure, unit %d, file %s\r\n"},
    {0xC0000020, "invalid logical unit number, unit %d, file %s\r\n"},
    {0xC0000026, "error during write, unit %d, file %s\r\n"},
    {0xC0000027, "error during read, unit %d, file %s\r\n"},
    {0xC0000028, "recursive I/O operation, unit %d, file %s\r\n"},
    {0xC0000029, "insufficient virtual memory\r\n"},
    {0xC000002A, "no such device, unit %d, file %s\r\n"},
    {0xC000002B, "file name specification error, unit %d, file %s\r\n"},
    {0xC000002F, "write to READONLY file, unit %d, file %s\r\n"},
    {0xC000003D, "format/variable-type mismatch, unit %d, file %s\r\n"},
    {0x8000003F, "output conversion error, unit %d, file %s\r\n"},
    {0xC0000040, "input conversion error, unit %d, file %s\r\n"},
    {0xC0000042, "output statement overflows record, unit %d, file %s\r\n"},
    {0xC000009D, "Program Exception - access violation\r\n"},
    {0xC00000A4, "Program Exception - integer divide by zero\r\n"},
    {0xC00000AA, "Program Exception - stack overflow\r\n"},
    {0xC00000AC, "Program Exception - exception code = 0x%lx (%ld)\r\n"},
    {0x800000C8, "program aborting due to %s event\r\n"},
    {0xC0000101, "formatted I/O to unit open for unformatted transfers, unit %d, file %s\r\n"},
    {0xC0000103, "sequential-access I/O to unit open for direct access, unit %d, file %s\r\n"},
};

}  // namespace

const char* catalog_text(ConditionCode code) noexcept {
  for (const CatalogEntry& entry : MESSAGE_CATALOG) {
    if (entry.code != code_value(code)) continue;
    return std::strlen(entry.text) > MAX_CATALOG_TEXT ? MESSAGE_NOT_FOUND : entry.text;
  }
  return MESSAGE_NOT_FOUND;
}

}  // namespace records
