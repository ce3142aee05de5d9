/* The floor for korv2dunta on a generated KORV line list: the same 8192-byte block reads, the
   cheapest test that keeps the same records, and exactly one write() of a fixed 68-byte record
   per kept record. Nothing is parsed or rendered, so what korv2dunta costs beyond this is the
   price of its own per-record work.

   Kept-record test: the species byte (column 32) is 'A' or 'E', and columns 57-66 are not the
   text "-900.00000". It is faithful to bench/generate-korv, which writes every line at least 66
   columns long, all numeric fields valid, and the placeholder only in that spelling; other
   spellings of -900 (-900.0, -9E2), a NaN frequency or a control-Z line would need the real
   reader. bench/run checks that both programs wrote the same number of records.

   Reads "KORV-data-E-sept08.txt" and writes "out-DUNTA-E-sept08.txt" in the current directory;
   exit status 0, or 1 with a message when a file cannot be opened, read or written. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

enum { BLOCK_SIZE = 8192, RECORD_SIZE = 68, SPECIES_COLUMN = 32, FREQ_COLUMN = 57, FREQ_WIDTH = 10 };

static const char PLACEHOLDER_TEXT[FREQ_WIDTH + 1] = "-900.00000";

/* One converted record: 66 columns and CR LF. The content does not matter to the cost. */
static const char RECORD[RECORD_SIZE + 1] = " 12345.67800 0   3    1     4  0   2    1     3  1   1005         \r\n";
_Static_assert(sizeof RECORD == RECORD_SIZE + 1, "a record is 66 columns and CR LF");

static int fail(const char* what) {
  perror(what);
  return 1;
}

/* True when the line (CR LF or LF not included) would be converted. */
static int is_kept(const char* line, size_t length) {
  if (length < SPECIES_COLUMN) return 0;
  const char species = line[SPECIES_COLUMN - 1];
  if (species != 'A' && species != 'E') return 0;
  return length < FREQ_COLUMN + FREQ_WIDTH - 1 || memcmp(line + FREQ_COLUMN - 1, PLACEHOLDER_TEXT, FREQ_WIDTH) != 0;
}

/* Writes the fixed record once; 0 or -1. */
static int write_record(int output) { return write(output, RECORD, RECORD_SIZE) == RECORD_SIZE ? 0 : -1; }

int main(void) {
  const int input = open("KORV-data-E-sept08.txt", O_RDONLY);
  if (input < 0) return fail("KORV-data-E-sept08.txt");
  const int output = open("out-DUNTA-E-sept08.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (output < 0) return fail("out-DUNTA-E-sept08.txt");

  static char buffer[BLOCK_SIZE];
  size_t held = 0;       /* bytes of an unfinished line at the front of the buffer */
  int overlong_line = 0; /* inside a line longer than the buffer; its start was judged */
  for (;;) {
    const ssize_t got = read(input, buffer + held, BLOCK_SIZE - held);
    if (got < 0) return fail("read");
    if (got == 0) break;
    const char* next = buffer;
    const char* end = buffer + held + (size_t)got;
    const char* line_feed;
    while ((line_feed = memchr(next, '\n', (size_t)(end - next))) != NULL) {
      size_t length = (size_t)(line_feed - next);
      if (length > 0 && line_feed[-1] == '\r') --length;
      if (!overlong_line && is_kept(next, length) && write_record(output) != 0) return fail("write");
      overlong_line = 0;
      next = line_feed + 1;
    }
    held = (size_t)(end - next);
    if (held == BLOCK_SIZE) {
      /* A line fills the buffer: judge it by its first columns and drop the rest of it. */
      if (!overlong_line && is_kept(buffer, held) && write_record(output) != 0) return fail("write");
      overlong_line = 1;
      held = 0;
    } else if (held > 0 && next != buffer) {
      memmove(buffer, next, held);
    }
  }
  /* The last line may have no line end. */
  if (held > 0 && !overlong_line && is_kept(buffer, held) && write_record(output) != 0) return fail("write");
  if (close(output) != 0) return fail("close");
  close(input);
  return 0;
}
