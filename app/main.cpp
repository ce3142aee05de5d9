// korv2dunta: converts the KORV line list of the current directory into the DUNTA line list.
// Takes no arguments; prints nothing on success; a failure prints its diagnostic and ends
// the run with the condition code.
#include "converter/driver.h"
#include "records/diagnostics.h"

int main() {
  records::start_run();
  converter::convert_line_list();
  records::end_normal_run();
}
