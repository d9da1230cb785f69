# Board build: brings in the Pico SDK. Included before project(), because the SDK chooses the
# cross toolchain, the platform and the board at that point; pico_sdk_init() (cmake/board.cmake)
# follows after project().
#
# The SDK comes from PICO_SDK_PATH (the "board" preset points it at deps/, see scripts/setup).

if(NOT PICO_SDK_PATH AND DEFINED ENV{PICO_SDK_PATH})
  set(PICO_SDK_PATH "$ENV{PICO_SDK_PATH}")
endif()
set(PICO_SDK_PATH "${PICO_SDK_PATH}" CACHE PATH "Path to the Pico SDK")
if(NOT EXISTS "${PICO_SDK_PATH}/pico_sdk_init.cmake")
  message(FATAL_ERROR
    "No Pico SDK at PICO_SDK_PATH='${PICO_SDK_PATH}'. Run scripts/setup (or make setup) first.")
endif()

# The board: an RP2040 with 2 MiB of flash, wired like a Pico.
set(PICO_PLATFORM rp2040 CACHE STRING "Pico SDK platform")
set(PICO_BOARD pico CACHE STRING "Pico SDK board")

include("${PICO_SDK_PATH}/pico_sdk_init.cmake")

# The top 128 KiB of the flash, from offset 0x1E0000, hold the fob store. The SDK sizes the FLASH
# memory region of its linker script (pico_flash_region.ld) from the CMake variable
# PICO_FLASH_SIZE_BYTES when pico_sdk_init() runs, so setting it to 0x1E0000 makes the link fail
# for an image that would run into the fob store.
#
# It is set here, after the SDK's pre-load step has read the board header, and not before: a value
# present during that step is also passed to every source as the C macro PICO_FLASH_SIZE_BYTES,
# and the flash driver then refuses (hard_assert) to erase or program anything above 0x1E0000,
# the fob store included. Set here, the macro keeps the board's 2 MiB.
set(ORLIX_FLASH_IMAGE_LIMIT 0x1E0000)
set(PICO_FLASH_SIZE_BYTES ${ORLIX_FLASH_IMAGE_LIMIT})
