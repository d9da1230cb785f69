// The USB device (descriptors, the reset interface, the USB stack's worker
// interrupt) and the host console on its serial port.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t USB_VENDOR_ID = ORLIX_USB_VID;  // a build option, see cmake/usb.cmake
constexpr uint16_t USB_PRODUCT_ID = 0x1001;
constexpr uint16_t USB_DEVICE_RELEASE = 0x0100;
constexpr uint16_t USB_LANGID_ENGLISH_US = 0x0409;
constexpr size_t USB_DESC_DEVICE_LEN = 18;
constexpr size_t USB_DESC_CFG_LEN = 84;
constexpr uint8_t USB_STRING_COUNT = 6;      // index 0 is the language list
constexpr size_t USB_DESC_STR_WORDS = 20;    // a header word and up to 19 characters
constexpr size_t USB_DESC_STR_MAX_CHARS = USB_DESC_STR_WORDS - 1;

// The reset interface (interface 0) and its requests.
constexpr uint8_t USB_RESET_INTERFACE_CLASS = 0xFF;
constexpr uint8_t USB_RESET_INTERFACE_SUBCLASS = 0x00;
constexpr uint8_t USB_RESET_INTERFACE_PROTOCOL = 0x01;
// Only these request types act: host to device, class or vendor, to the interface.
constexpr uint8_t USB_RESET_REQUEST_TYPE_CLASS = 0x21;
constexpr uint8_t USB_RESET_REQUEST_TYPE_VENDOR = 0x41;
constexpr uint8_t USB_RESET_REQUEST_BOOTSEL = 1;
constexpr uint8_t USB_RESET_REQUEST_FLASH = 2;
constexpr unsigned USB_BOOTSEL_ACTIVITY_PIN = 26;
constexpr uint16_t USB_BOOTSEL_DISABLE_MASK = 0x7F;  // wValue bits handed to the boot ROM
constexpr uint32_t USB_REBOOT_DELAY_MS = 100;
constexpr uint32_t USB_FALLBACK_TASK_INTERVAL_US = 1000;

// The host console on CDC port 0.
constexpr uint8_t USB_CDC_PORT = 0;
constexpr size_t USB_CMD_LINE_SIZE = 64;     // 63 characters and the terminating zero
// Image bytes read at a time: a block's worth, so that refilling the ring
// between two windows costs a few calls into the stack rather than one per
// USB packet.
constexpr size_t USB_FW_READ_SIZE = 1024;
// After a session that ended early, the rest of its image is dropped until
// the host has been quiet this long.
constexpr uint32_t USB_IMAGE_QUIET_MS = 500;
constexpr int USB_BOOTSEL_FLUSH_PASSES = 20;
constexpr uint32_t USB_BOOTSEL_FLUSH_SLEEP_MS = 5;

// Starts the USB device stack, the worker interrupt and the console.
void usb_init();
// One pass of the host console.
void usb_poll();
// Keeps a bridge report word for the host; a report not yet sent is replaced.
void fw_reporter(const char *msg);
// Fills the string descriptor buffer with `text` (cut to 19 characters) and
// returns it; valid until the next string request.
const uint16_t *usb_desc_string(const char *text);
