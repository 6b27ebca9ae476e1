# The dynamic symbols the library defines are exactly the port driver's fourteen functions and
# the entry point (unmangled: C names; nothing of the implementation leaks out).
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(names)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ [TDBRVWiu] (.+)$")
    set(name ${CMAKE_MATCH_1})
    # Linker-made markers of the shared object itself are not the driver's symbols.
    if(NOT name MATCHES "^(_init|_fini|_edata|_end|__bss_start)$")
      list(APPEND names ${name})
    endif()
  endif()
endforeach()
list(SORT names)
set(expected
  COMOpenedForSerport CableRemoveForSerport ExtBaudrateForSerport GetIntStatusForSerport
  GetStateForSerport KickTxForSerport ReadForSerport SetBreakForSerport SetControlLineForSerport
  SetMSRShadowForSerport SetReadQueueForSerport SetStateForSerport WriteForSerport
  WriteOutQueueForSerport vm9x_DriverEntry)
list(SORT expected)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported: ${names}\nexpected: ${expected}")
endif()
message(STATUS "exports: ${names}")
