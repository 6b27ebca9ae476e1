# cmake -DPROGRAM=... -DNAME=... -DSUMMARY=... -DDOCS=... -DOUT=... -P help_page.cmake
# A manual page from PROGRAM's --help (run off screen), written by vm6142-docs to OUT.
# In a sanitizer build the help text is all that is wanted here: no leak check at exit.
execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
                        ASAN_OPTIONS=detect_leaks=0 ${PROGRAM} --help
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help ended with ${rc}: ${err}")
endif()
set(help "${out}${err}")
file(WRITE "${OUT}.help" "${help}")
execute_process(COMMAND ${DOCS} help-man ${NAME} ${SUMMARY} ${OUT}.help ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "vm6142-docs could not write ${OUT}")
endif()
