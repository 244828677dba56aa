# Turns one man page from one form into the next; run as
#   cmake -DMODE=<mode> -DTOOL=<program> -DIN=<file> -DOUT=<file> -P RenderMan.cmake
# MODE roff:  the scdoc source into roff (TOOL is scdoc);
#      gzip:  roff into roff.gz, without a name or time stamp (TOOL is gzip);
#      text:  roff into plain text with CR LF line ends, for Windows
#             (TOOL is groff).
if(MODE STREQUAL "roff")
  execute_process(COMMAND "${TOOL}" INPUT_FILE "${IN}" OUTPUT_FILE "${OUT}" RESULT_VARIABLE result)
elseif(MODE STREQUAL "gzip")
  execute_process(COMMAND "${TOOL}" -9 -n -c "${IN}" OUTPUT_FILE "${OUT}" RESULT_VARIABLE result)
elseif(MODE STREQUAL "text")
  # -t: tables; -P-cbou: no overstriking, so no bold or underline codes.
  execute_process(COMMAND "${TOOL}" -t -man -Tascii -P-cbou "${IN}"
                  OUTPUT_VARIABLE text RESULT_VARIABLE result)
  if(result EQUAL 0)
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${OUT}" "${text}")
  endif()
else()
  message(FATAL_ERROR "RenderMan.cmake: unknown MODE '${MODE}'")
endif()
if(NOT result EQUAL 0)
  file(REMOVE "${OUT}")
  message(FATAL_ERROR "RenderMan.cmake: ${TOOL} failed on ${IN}: ${result}")
endif()
