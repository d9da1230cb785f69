# The radio messages' cryptography, for both flavours: Monocypher (keyed BLAKE2b and the
# constant-time compare), unpacked into deps/ by scripts/setup, and the build-time radio keys.

# ---- radio keys ---------------------------------------------------------------------------------
# A key file holds the 32-byte message key shared by the fobs and the boards, and the three bytes
# that carry the LoRa module's air-encryption key (see cmake/radio-development.key for the format).
# The keys become a generated header in the build tree, never a file of the repository.
set(ORLIX_KEY_FILE "" CACHE FILEPATH
    "Radio key file (message key and module air key); empty: the public development keys")
set(ORLIX_DEVELOPMENT_KEY_FILE ${CMAKE_SOURCE_DIR}/cmake/radio-development.key)
if(ORLIX_KEY_FILE)
  set(orlix_key_file ${ORLIX_KEY_FILE})
  set(orlix_key_is_development 0)
  set(orlix_key_feature "radio keys: from a key file")
  message(STATUS "Radio keys: from ORLIX_KEY_FILE")
else()
  set(orlix_key_file ${ORLIX_DEVELOPMENT_KEY_FILE})
  set(orlix_key_is_development 1)
  set(orlix_key_feature "radio keys: DEVELOPMENT, not for the field")
  if(ORLIX_TARGET STREQUAL "board")
    message(WARNING "Radio keys: this image carries the public DEVELOPMENT keys "
                    "(cmake/radio-development.key). Boards for the field are built with "
                    "-DORLIX_KEY_FILE=<key file kept outside the repository>.")
  else()
    message(STATUS "Radio keys: the DEVELOPMENT keys (cmake/radio-development.key)")
  endif()
endif()
if(NOT EXISTS ${orlix_key_file})
  message(FATAL_ERROR "Radio key file ${orlix_key_file} does not exist")
endif()
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${orlix_key_file})

# Reads `name = hex digits` from the key file as a C initialiser list of `bytes` bytes.
function(orlix_read_key name bytes out)
  file(STRINGS ${orlix_key_file} lines REGEX "^[ \t]*${name}[ \t]*=")
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
orlix_read_key(shared_secret 32 orlix_shared_secret)
orlix_read_key(module_crypt 3 orlix_module_crypt)

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
add_library(orlix_radio_keys INTERFACE)
target_include_directories(orlix_radio_keys INTERFACE ${ORLIX_KEYS_DIR})
target_link_libraries(${ORLIX_FW_TARGET} PRIVATE orlix_radio_keys)

# ---- Monocypher ---------------------------------------------------------------------------------
# Not our code: compiled without our warning set. The firmware includes monocypher.h through
# src/monocypher_keyed.h.
set(ORLIX_MONOCYPHER_DIR ${CMAKE_SOURCE_DIR}/deps/monocypher)
if(NOT EXISTS ${ORLIX_MONOCYPHER_DIR}/monocypher.c)
  message(FATAL_ERROR "No Monocypher at ${ORLIX_MONOCYPHER_DIR}; run scripts/setup")
endif()
target_include_directories(${ORLIX_FW_TARGET} PRIVATE ${ORLIX_MONOCYPHER_DIR})

if(ORLIX_TARGET STREQUAL "board")
  # The message check hashes 32 bytes for every byte the radio delivers: its code and the
  # constants it reads stay in RAM, free of flash wait states and XIP cache misses. The object's
  # function sections are renamed into the SDK's .time_critical.* and its constant sections into
  # .data.* before linking.
  add_library(orlix_monocypher_flash OBJECT ${ORLIX_MONOCYPHER_DIR}/monocypher.c)
  target_compile_options(orlix_monocypher_flash PRIVATE -ffunction-sections -fdata-sections)
  find_program(ORLIX_READELF_TOOL NAMES arm-none-eabi-readelf REQUIRED)
  set(orlix_monocypher_ram ${CMAKE_CURRENT_BINARY_DIR}/monocypher_ram.o)
  add_custom_command(
    OUTPUT ${orlix_monocypher_ram}
    COMMAND ${CMAKE_COMMAND} -DOBJCOPY=${CMAKE_OBJCOPY} -DREADELF=${ORLIX_READELF_TOOL}
            -DIN=$<TARGET_OBJECTS:orlix_monocypher_flash> -DOUT=${orlix_monocypher_ram}
            -P ${CMAKE_SOURCE_DIR}/cmake/ram_sections.cmake
    DEPENDS $<TARGET_OBJECTS:orlix_monocypher_flash> ${CMAKE_SOURCE_DIR}/cmake/ram_sections.cmake
    COMMENT "Placing Monocypher's code and constants in RAM")
  set_source_files_properties(${orlix_monocypher_ram} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
  target_sources(${ORLIX_LINK_TARGET} PRIVATE ${orlix_monocypher_ram})
else()
  add_library(orlix_monocypher STATIC ${ORLIX_MONOCYPHER_DIR}/monocypher.c)
  target_include_directories(orlix_monocypher PUBLIC ${ORLIX_MONOCYPHER_DIR})
  target_link_libraries(orlix_monocypher PUBLIC orlix_radio_keys)
  target_link_libraries(${ORLIX_LINK_TARGET} PUBLIC orlix_monocypher)
endif()
