# Renders the manual page as plain text with CR LF line ends, for readers without man.
# Usage: cmake -DGROFF=groff -DSOURCE=korv2dunta.1 -DOUTPUT=korv2dunta.txt -P render-manual.cmake
# -t runs the table preprocessor; -P-c -P-b -P-u leave out overstrikes, bold and underline.
execute_process(
  COMMAND ${GROFF} -t -man -Tascii -P-c -P-b -P-u ${SOURCE}
  OUTPUT_VARIABLE text
  RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR text STREQUAL "")
  message(FATAL_ERROR "${GROFF} could not render ${SOURCE}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
