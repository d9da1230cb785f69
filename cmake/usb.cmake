# The USB device stack, TinyUSB 0.18, in both flavours: one CDC port and the firmware's own
# class driver for the reset interface (src/usb.cpp).
#
# ORLIX_USB_VID: the vendor ID the device descriptor carries. The default, 0x2E8A, is Raspberry
# Pi's, under which `picotool reboot` finds an RP2040 board's reset interface without being told
# the IDs; a maker with its own vendor ID sets it here (picotool then needs --vid 0x.... --pid 0x1001).
set(ORLIX_USB_VID 0x2E8A CACHE STRING "USB vendor ID of the device descriptor")
if(NOT ORLIX_USB_VID MATCHES "^0[xX][0-9a-fA-F]+$")
  message(FATAL_ERROR "ORLIX_USB_VID must be a hexadecimal number such as 0x2E8A, not '${ORLIX_USB_VID}'")
endif()
math(EXPR ORLIX_USB_VID_VALUE "${ORLIX_USB_VID}")
if(ORLIX_USB_VID_VALUE LESS 1 OR ORLIX_USB_VID_VALUE GREATER 65535)
  message(FATAL_ERROR "ORLIX_USB_VID ${ORLIX_USB_VID} is not a 16-bit vendor ID")
endif()

if(ORLIX_TARGET STREQUAL "board")
  # The SDK's TinyUSB with the RP2040 controller port, configured by platform/rp2040/tusb_config.h
  # (on the image's include path, see cmake/board.cmake).
  if(NOT TARGET tinyusb_device)
    message(FATAL_ERROR "The Pico SDK found no TinyUSB (deps/root/usr/src/tinyusb); run scripts/setup")
  endif()
  target_link_libraries(${ORLIX_LINK_TARGET} PRIVATE tinyusb_device)
  target_compile_definitions(${ORLIX_FW_TARGET} PRIVATE ORLIX_USB_VID=${ORLIX_USB_VID})
else()
  # The same TinyUSB sources (device core and CDC class) over the simulated board's device
  # controller (platform/host/board/usb_controller.cpp), configured by
  # platform/host/include/tusb_config.h, which takes the board's configuration.
  set(ORLIX_TINYUSB_SRC ${CMAKE_SOURCE_DIR}/deps/root/usr/src/tinyusb/src)
  if(NOT EXISTS ${ORLIX_TINYUSB_SRC}/tusb.c)
    message(FATAL_ERROR "No TinyUSB at ${ORLIX_TINYUSB_SRC}; run scripts/setup")
  endif()
  add_library(orlix_tinyusb OBJECT
    ${ORLIX_TINYUSB_SRC}/tusb.c
    ${ORLIX_TINYUSB_SRC}/common/tusb_fifo.c
    ${ORLIX_TINYUSB_SRC}/device/usbd.c
    ${ORLIX_TINYUSB_SRC}/device/usbd_control.c
    ${ORLIX_TINYUSB_SRC}/class/cdc/cdc_device.c)
  # Not our code: its own defaults, no warnings as errors.
  target_include_directories(orlix_tinyusb PRIVATE ${ORLIX_TINYUSB_SRC} ${ORLIX_HOST_INCLUDE})
  target_compile_options(orlix_tinyusb PRIVATE ${ORLIX_FUZZ_COVERAGE})

  # One archive with the board, so that TinyUSB's calls into the controller port and the
  # firmware's callbacks resolve whichever side the linker meets first.
  target_sources(${ORLIX_LINK_TARGET} PRIVATE $<TARGET_OBJECTS:orlix_tinyusb>)
  target_include_directories(${ORLIX_LINK_TARGET} SYSTEM PUBLIC ${ORLIX_TINYUSB_SRC})
  target_include_directories(${ORLIX_FW_TARGET} SYSTEM PRIVATE ${ORLIX_TINYUSB_SRC})
  target_compile_definitions(${ORLIX_FW_TARGET} PRIVATE ORLIX_USB_VID=${ORLIX_USB_VID})
  target_compile_definitions(${ORLIX_LINK_TARGET} PUBLIC ORLIX_USB_VID=${ORLIX_USB_VID})
endif()
