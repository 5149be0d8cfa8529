# Runs tunewright over a fresh copy of the bundled example presets and shows what it wrote.
#   cmake -DPROGRAM=... -DEXAMPLES=... -DWORK=... -DEXTENSIONS=fxp,fxb,... -P demo.cmake

function(list_presets heading)
  string(REPLACE "," ";" extensions "${EXTENSIONS}")
  list(TRANSFORM extensions PREPEND "${WORK}/*.")
  file(GLOB_RECURSE presets RELATIVE "${WORK}" ${extensions})
  list(SORT presets)
  message("${heading}")
  foreach(preset IN LISTS presets)
    file(SIZE "${WORK}/${preset}" size)
    message("  ${preset} (${size} bytes)")
  endforeach()
endfunction()

file(REMOVE_RECURSE "${WORK}")
file(COPY "${EXAMPLES}/" DESTINATION "${WORK}/examples")
list_presets("Before:")
message("")
message("$ tunewright -r -vv examples")
execute_process(COMMAND "${PROGRAM}" -r -vv examples
  WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE status)
message("")
list_presets("After:")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "tunewright ended with exit status ${status}")
endif()
