# The radio messages' cryptography, for both flavours: Monocypher (keyed BLAKE2b and the
# constant-time compare), unpacked into deps/ by scripts/setup, and the build-time radio keys.

# ---- radio keys ---------------------------------------------------------------------------------
# The generated header wireless_keys.h (cmake/radio_keys.cmake), for the firmware.
include(${CMAKE_CURRENT_LIST_DIR}/radio_keys.cmake)
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
