# Renames every function section (.text.*) of one object to .time_critical.*, which the SDK's
# linker script places in RAM (copied there at start-up), as __not_in_flash_func does for a
# single function, and every constant section (.rodata.*) to .data.*, so that the code reads its
# tables (BLAKE2b's initial words) from RAM too. Unused sections are still dropped by
# --gc-sections.
#
# cmake -DOBJCOPY=... -DREADELF=... -DIN=<object> -DOUT=<object> -P ram_sections.cmake
execute_process(COMMAND ${READELF} -S -W ${IN} OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${IN}")
endif()
string(REGEX MATCHALL "\\.text\\.[A-Za-z0-9_.$]+" names "${sections}")
list(REMOVE_DUPLICATES names)
set(args)
foreach(name ${names})
  string(REPLACE ".text." ".time_critical." new "${name}")
  list(APPEND args --rename-section ${name}=${new})
endforeach()
string(REGEX MATCHALL "\\.rodata\\.[A-Za-z0-9_.$]+" names "${sections}")
list(REMOVE_DUPLICATES names)
foreach(name ${names})
  string(REPLACE ".rodata." ".data." new "${name}")
  list(APPEND args --rename-section ${name}=${new})
endforeach()
execute_process(COMMAND ${OBJCOPY} ${args} ${IN} ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objcopy failed on ${IN}")
endif()
