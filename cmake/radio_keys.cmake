# The build-time radio keys, from ORLIX_KEY_FILE or the public development keys: the generated
# header wireless_keys.h in ${ORLIX_KEYS_DIR}, and the configure-time warning when they are the
# development keys. Included by cmake/monocypher.cmake; tests/tools/radio_keys_test.cmake
# configures it alone.

# Reads `name = hex digits` from key file `file` as a C initialiser list of `bytes` bytes
# ("0x44, 0x45, ...", digits as written).
function(orlix_read_key file name bytes out)
  file(STRINGS ${file} lines REGEX "^[ \t]*${name}[ \t]*=")
  list(LENGTH lines count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "Radio key file: expected one line `${name} = ...`, found ${count}")
  endif()
  string(REGEX REPLACE "^[ \t]*${name}[ \t]*=" "" hex "${lines}")
  string(REGEX REPLACE "[ \t]" "" hex "${hex}")
  math(EXPR digits "${bytes} * 2")
  string(LENGTH "${hex}" length)
  if(NOT hex MATCHES "^[0-9A-Fa-f]+$" OR NOT length EQUAL digits)
    message(FATAL_ERROR "Radio key file: ${name} must be ${digits} hexadecimal digits")
  endif()
  string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " list "${hex}")
  string(REGEX REPLACE ", $" "" list "${list}")
  set(${out} "${list}" PARENT_SCOPE)
endfunction()

# Sets `out` to 1 when key file `file` holds the public development message key of
# `development_file`, whatever its name or spelling (blanks, case), else 0.
function(orlix_key_is_development file development_file out)
  orlix_read_key(${file} shared_secret 32 key)
  orlix_read_key(${development_file} shared_secret 32 development)
  string(TOLOWER "${key}" key)
  string(TOLOWER "${development}" development)
  if(key STREQUAL development)
    set(${out} 1 PARENT_SCOPE)
  else()
    set(${out} 0 PARENT_SCOPE)
  endif()
endfunction()

# A key file holds the 32-byte message key shared by the fobs and the boards, and the three bytes
# that carry the LoRa module's air-encryption key (see cmake/radio-development.key for the format).
# The keys become a generated header in the build tree, never a file of the repository.
set(ORLIX_KEY_FILE "" CACHE FILEPATH
    "Radio key file (message key and module air key); empty: the public development keys")
# A key file that holds the development message key is the development keys, whatever its name.
set(ORLIX_DEVELOPMENT_KEY_FILE ${CMAKE_CURRENT_LIST_DIR}/radio-development.key)
set(orlix_key_file ${ORLIX_DEVELOPMENT_KEY_FILE})
if(ORLIX_KEY_FILE)
  set(orlix_key_file ${ORLIX_KEY_FILE})
endif()
if(NOT EXISTS ${orlix_key_file})
  message(FATAL_ERROR "Radio key file ${orlix_key_file} does not exist")
endif()
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${orlix_key_file})
orlix_key_is_development(${orlix_key_file} ${ORLIX_DEVELOPMENT_KEY_FILE} orlix_key_is_development)
if(NOT orlix_key_is_development)
  set(orlix_key_feature "radio keys: from a key file")
  message(STATUS "Radio keys: from ORLIX_KEY_FILE")
else()
  set(orlix_key_feature "radio keys: DEVELOPMENT, not for the field")
  set(orlix_key_source "cmake/radio-development.key")
  if(ORLIX_KEY_FILE)
    set(orlix_key_source "${ORLIX_KEY_FILE} holds the development message key of cmake/radio-development.key")
  endif()
  if(ORLIX_TARGET STREQUAL "board")
    message(WARNING "Radio keys: this image carries the public DEVELOPMENT keys "
                    "(${orlix_key_source}). Boards for the field are built with "
                    "-DORLIX_KEY_FILE=<key file kept outside the repository>.")
  else()
    message(STATUS "Radio keys: the DEVELOPMENT keys (${orlix_key_source})")
  endif()
endif()
orlix_read_key(${orlix_key_file} shared_secret 32 orlix_shared_secret)
orlix_read_key(${orlix_key_file} module_crypt 3 orlix_module_crypt)

if(ORLIX_TARGET STREQUAL "host" AND NOT ORLIX_FUZZ)
  add_test(NAME radio_keys COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
                                   -DWORK_DIR=${CMAKE_BINARY_DIR}/radio_keys_test
                                   -P ${CMAKE_SOURCE_DIR}/tests/tools/radio_keys_test.cmake)
endif()

set(ORLIX_KEYS_DIR ${CMAKE_BINARY_DIR}/generated/keys)
file(CONFIGURE OUTPUT ${ORLIX_KEYS_DIR}/wireless_keys.h CONTENT [[
// Generated at configure time from the radio key file. Secret: not to be copied anywhere else.
#pragma once

// 1 when these are the public development keys.
#define WIRELESS_KEYS_DEVELOPMENT @orlix_key_is_development@
// Which keys these are, for the image's binary information (picotool info -a).
#define WIRELESS_KEYS_FEATURE "@orlix_key_feature@"
// The 32-byte key of every radio message's keyed BLAKE2b code.
#define WIRELESS_SHARED_SECRET_BYTES @orlix_shared_secret@
// Bytes 9 to 11 of the LoRa module's configuration frame (its air-encryption key).
#define WIRELESS_MODULE_CRYPT_BYTES @orlix_module_crypt@
]] @ONLY)
