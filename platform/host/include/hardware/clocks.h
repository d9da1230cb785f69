// Simulated board: the system clock's PLL, and the clocks it feeds.
#pragma once

#include "pico/platform.h"
#include "pico/types.h"

typedef enum clock_num { clk_gpout0, clk_gpout1, clk_gpout2, clk_gpout3, clk_ref, clk_sys, clk_peri, clk_usb, clk_adc, clk_rtc } clock_handle_t;

#ifdef __cplusplus
extern "C" {
#endif

bool check_sys_clock_khz(uint32_t freq_khz, uint *vco_freq_out, uint *post_div1_out, uint *post_div2_out);
void set_sys_clock_pll(uint32_t vco_freq, uint post_div1, uint post_div2);
uint32_t clock_get_hz(clock_handle_t clock);

// As on the board: exactly the frequency, or a panic when `required`.
static inline bool set_sys_clock_khz(uint32_t freq_khz, bool required) {
    uint vco, postdiv1, postdiv2;
    if (check_sys_clock_khz(freq_khz, &vco, &postdiv1, &postdiv2)) {
        set_sys_clock_pll(vco, postdiv1, postdiv2);
        return true;
    } else if (required) {
        panic("System clock of %u kHz cannot be exactly achieved", (unsigned)freq_khz);
    }
    return false;
}

#ifdef __cplusplus
}
#endif
