// Simulated board: the boot ROM's restart into USB boot mode. It is recorded
// as a board event with its two masks; the firmware does not run again until
// the board is powered on anew.
#pragma once

#include "pico/types.h"

#ifdef __cplusplus
extern "C" {
#endif

void __attribute__((noreturn)) rom_reset_usb_boot(uint32_t usb_activity_gpio_pin_mask,
                                                  uint32_t disable_interface_mask);

static inline void __attribute__((noreturn)) reset_usb_boot(uint32_t usb_activity_gpio_pin_mask,
                                                            uint32_t disable_interface_mask) {
    rom_reset_usb_boot(usb_activity_gpio_pin_mask, disable_interface_mask);
}

#ifdef __cplusplus
}
#endif
