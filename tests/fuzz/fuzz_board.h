// Shared pieces of the fuzz targets: the simulated board brought up once per
// process as main() brings it up, and the screen line's framing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "crc16.h"
#include "hardware/clocks.h"
#include "pico/stdlib.h"
#include "tusb.h"
#include "vboard.h"
#include "vboard_usb.h"

namespace fuzz {

constexpr unsigned kRadioUart = 0;
constexpr unsigned kScreenUart = 1;
constexpr uint32_t kScreenBaud = 115200;

// Clock and console as main() sets them; the modules are the target's own.
inline void unit_board() {
    vb::unit_setup();
    set_sys_clock_khz(132000, true);
    stdio_init_all();
}

// Console text costs a simulated UART byte each; targets whose surface is not
// the screen line drop it, as a board without a console would.
inline void console_off() {
    vb::board().stdio_ready = false;
}

// A frame as the screen unit sends it: ">>>", the payload, its check value.
inline std::string screen_frame(const std::string &payload) {
    char check[8];
    snprintf(check, sizeof check, "%04X",
             crc_modbus(reinterpret_cast<const unsigned char *>(payload.data()), payload.size()));
    return ">>>" + payload + check + "\r\n";
}

// A finding: libFuzzer reports the crash and keeps the input.
[[noreturn]] inline void finding(const char *what) {
    fprintf(stderr, "finding: %s\n", what);
    __builtin_trap();
}

// A restart clears RAM on the board; here the USB stack's own state must be
// let go, or it would not start again.
inline void usb_stack_off() {
    if (tud_inited()) tud_deinit(0);
}

// Plugs the simulated USB host in, the board moving by `step` while the host
// waits, and waits for the enumeration.
inline void usb_plug(void (*step)()) {
    vb::usb::set_runner([step](const std::function<bool()> &done, uint64_t limit_us) {
        const uint64_t end = vb::now_us() + limit_us;
        while (!done()) {
            if (vb::now_us() >= end) return false;
            step();
        }
        return true;
    });
    vb::usb::plug();
    if (!vb::usb::wait_enumerated()) finding("the host could not enumerate the board");
}

}  // namespace fuzz
