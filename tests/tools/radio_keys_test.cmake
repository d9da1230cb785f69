# The radio keys' configure step (cmake/radio_keys.cmake) alone, in a board-flavoured project of
# its own: the development keys, a key file holding the development message key under another
# name and spelling, and a key file of its own. Run: cmake -DSOURCE_DIR=<repo> -DWORK_DIR=<dir> -P
file(REMOVE_RECURSE ${WORK_DIR})
file(WRITE ${WORK_DIR}/src/CMakeLists.txt "cmake_minimum_required(VERSION 3.25)\nproject(radio_keys NONE)\n"
           "set(ORLIX_TARGET board)\ninclude(${SOURCE_DIR}/cmake/radio_keys.cmake)\n")
file(WRITE ${WORK_DIR}/copied.key "module_crypt = 12 34 56\n  shared_secret=4445 5645 4c4f 504d 454e 5420 4b45 593a"
           " 204e 4f54 2046 4f52 2046 4945 4c44 2121\n")
file(WRITE ${WORK_DIR}/own.key "shared_secret = 444556454c4f504d454e54204b45593a204e4f5420464f52204649454c442122\n"
           "module_crypt = 5A A5 00\n")

# Configures with `key_args`; the case passes when the header and the warning say `development`.
function(check_case name key_args development)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${WORK_DIR}/src -B ${WORK_DIR}/${name} ${key_args}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${name}: configure failed: ${err}")
  endif()
  file(READ ${WORK_DIR}/${name}/generated/keys/wireless_keys.h header)
  string(FIND "${header}" "#define WIRELESS_KEYS_DEVELOPMENT ${development}" flag)
  set(feature "radio keys: from a key file")
  if(development)
    set(feature "radio keys: DEVELOPMENT, not for the field")
  endif()
  string(FIND "${header}" "\"${feature}\"" named)
  string(FIND "${err}" "this image carries the public DEVELOPMENT keys" warned)
  if(flag EQUAL -1 OR named EQUAL -1 OR (development AND warned EQUAL -1) OR (NOT development AND NOT warned EQUAL -1))
    message(FATAL_ERROR "${name}: expected development=${development}\n${header}\n${err}")
  endif()
endfunction()

check_case(no_key_file "" 1)
check_case(development_copy "-DORLIX_KEY_FILE=${WORK_DIR}/copied.key" 1)
check_case(own_key "-DORLIX_KEY_FILE=${WORK_DIR}/own.key" 0)
