# Board build: the firmware image for the RP2040 (orlix-fw-io.elf and orlix-fw-io.uf2).
#
# Expects from the top-level CMakeLists.txt: cmake/pico_sdk_import.cmake included before project(),
# and ORLIX_FW_SOURCES (the firmware modules, src/*.cpp).

pico_sdk_init()

# The image must end below the fob store (see cmake/pico_sdk_import.cmake): check that the linker
# region got the limit and that the flash driver did not.
file(READ ${CMAKE_BINARY_DIR}/pico_flash_region.ld ORLIX_FLASH_REGION)
if(NOT ORLIX_FLASH_REGION MATCHES "LENGTH = ${ORLIX_FLASH_IMAGE_LIMIT}")
  message(FATAL_ERROR "pico_flash_region.ld does not limit the image to ${ORLIX_FLASH_IMAGE_LIMIT}: "
                      "${ORLIX_FLASH_REGION}")
endif()
get_target_property(ORLIX_BASE_DEFS pico_base_headers INTERFACE_COMPILE_DEFINITIONS)
if(ORLIX_BASE_DEFS MATCHES "PICO_FLASH_SIZE_BYTES")
  message(FATAL_ERROR "PICO_FLASH_SIZE_BYTES reached the compile definitions (${ORLIX_BASE_DEFS}); "
                      "the flash driver would refuse to write the fob store")
endif()

set(ORLIX_FW orlix-fw-io)
set(ORLIX_FW_TARGET ${ORLIX_FW})
set(ORLIX_LINK_TARGET ${ORLIX_FW})

add_executable(${ORLIX_FW} ${ORLIX_FW_SOURCES})
target_include_directories(${ORLIX_FW} PRIVATE
  ${CMAKE_SOURCE_DIR}/include
  ${CMAKE_SOURCE_DIR}/platform/rp2040    # tusb_config.h and other board-only headers
)

# Warnings are errors in our own sources; the SDK's and the libraries' sources keep their defaults.
if(NOT DEFINED ORLIX_WARNINGS)
  set(ORLIX_WARNINGS -Wall -Wextra -Werror)
endif()
set_property(SOURCE ${ORLIX_FW_SOURCES} APPEND PROPERTY COMPILE_OPTIONS ${ORLIX_WARNINGS})

# ---- SDK libraries ------------------------------------------------------------------------------
target_link_libraries(${ORLIX_FW} PRIVATE
  pico_stdlib            # clocks, GPIO, UART, time, stdio
  pico_sync              # mutex, critical sections
  pico_unique_id         # the flash chip's 64-bit ID
  pico_bootrom           # reset_usb_boot
  cmsis_core             # RP2040.h: core register access (__get_MSP, ...)
  hardware_pio
  hardware_dma
  hardware_irq
  hardware_flash
  hardware_watchdog
  hardware_sync
  hardware_clocks
  hardware_uart
  hardware_gpio
)

# ---- console: stdio on UART1 (TX GPIO 8, RX GPIO 9), 115200 baud, "\n" sent as "\r\n" ----------
# These are SDK configuration macros; the SDK's own sources are compiled within this target, so
# stdio_init_all() binds to this UART and the binary info records these pins.
pico_enable_stdio_uart(${ORLIX_FW} 1)
pico_enable_stdio_usb(${ORLIX_FW} 0)
pico_enable_stdio_semihosting(${ORLIX_FW} 0)
target_compile_definitions(${ORLIX_FW} PRIVATE
  PICO_DEFAULT_UART=1
  PICO_DEFAULT_UART_TX_PIN=8
  PICO_DEFAULT_UART_RX_PIN=9
  PICO_DEFAULT_UART_BAUD_RATE=115200
  PICO_STDIO_ENABLE_CRLF_SUPPORT=1
  PICO_STDIO_DEFAULT_CRLF=1
)

# ---- main stack: 2 KiB from __StackBottom to __StackTop (the SDK's default, stated here) ---------
target_compile_definitions(${ORLIX_FW} PRIVATE PICO_STACK_SIZE=0x800)

# ---- program information (picotool info) --------------------------------------------------------
# The build type ("Release") is recorded from CMAKE_BUILD_TYPE.
pico_set_program_name(${ORLIX_FW} "orlix-fw-io")

# ---- outputs: .uf2 (and .bin, .hex, .dis, .map) beside the .elf ----------------------------------
pico_add_extra_outputs(${ORLIX_FW})

# ---- size report, run on every build: fails if the image reaches the fob store ------------------
string(REGEX REPLACE "objcopy$" "" ORLIX_BINUTILS_PREFIX "${CMAKE_OBJCOPY}")
find_program(ORLIX_READELF_TOOL NAMES ${ORLIX_BINUTILS_PREFIX}readelf arm-none-eabi-readelf REQUIRED)
add_custom_target(${ORLIX_FW}-size ALL
  COMMAND ${CMAKE_COMMAND}
    -DELF=$<TARGET_FILE:${ORLIX_FW}>
    -DREADELF_TOOL=${ORLIX_READELF_TOOL}
    -DFLASH_BASE=0x10000000
    -DFLASH_LIMIT=${ORLIX_FLASH_IMAGE_LIMIT}
    -P ${CMAKE_CURRENT_LIST_DIR}/size_report.cmake
  VERBATIM)
add_dependencies(${ORLIX_FW}-size ${ORLIX_FW})
