# Fails when the joined firmware object still calls the C library's output
# functions directly: their text would bypass the board's console.
execute_process(COMMAND ${NM} -u ${OBJECT} OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${OBJECT}")
endif()
string(REGEX MATCHALL "U (puts|printf|putchar|vprintf|fputs|fwrite|fputc|__printf_chk|__puts_chk)\n" direct "${undefined}")
if(direct)
  message(FATAL_ERROR "firmware calls the C library's output directly: ${direct}")
endif()
