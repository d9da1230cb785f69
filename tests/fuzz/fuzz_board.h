// Shared pieces of the fuzz targets: the simulated board brought up once per
// process as main() brings it up, and the screen line's framing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "crc16.h"
#include "hardware/clocks.h"
#include "pico/stdlib.h"
#include "vboard.h"

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

}  // namespace fuzz
