# Fails when groff has anything to say about the man page: it reports warnings on standard
# error but still exits 0.
execute_process(COMMAND ${GROFF} -ww -z -t -man ${PAGE}
  RESULT_VARIABLE status ERROR_VARIABLE warnings)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff: ${warnings}")
endif()
