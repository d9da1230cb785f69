// The processor core: the main stack the linker gives the board, the stack
// pointer, the clocks and the watchdog.
#include <algorithm>

#include "RP2040.h"
#include "board.h"
#include "hardware/clocks.h"
#include "hardware/watchdog.h"

// The board's 2 KiB main stack. Defined in assembly so that the two bounds
// are symbols like the linker's, at addresses that fit 32 bits (the host
// build links without position independence). It fills a page of its own,
// which the board maps shared, so that a test sees the firmware's writes.
asm(R"(
    .globl __StackBottom
    .globl __StackTop
    .bss
    .balign 4096
__StackBottom:
    .zero 0x800
__StackTop:
    .zero 0x800
    .text
)");

extern "C" uint8_t __StackBottom[];
extern "C" uint8_t __StackTop[];
static_assert(vb::kStackSize == 0x800, "the stack symbols above reserve kStackSize bytes");

namespace {
constexpr uint32_t kPllRefDiv = 1;
constexpr uint32_t kVcoMinHz = 750000000;
constexpr uint32_t kVcoMaxHz = 1600000000;
constexpr uint64_t kWatchdogMaxUs = 0xffffff / 2;  // the load register, counted twice per tick
}  // namespace

extern "C" {

uint32_t __get_MSP(void) {
    vb::charge();
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(__StackTop) - vb::board().stack_depth);
}

// The same search the SDK makes, against the simulated crystal.
bool check_sys_clock_khz(uint32_t freq_khz, uint *vco_out, uint *postdiv1_out, uint *postdiv2_out) {
    vb::charge();
    const uint64_t freq_hz = uint64_t{freq_khz} * 1000;
    const uint32_t ref_hz = vb::board().xosc_hz / kPllRefDiv;
    for (uint fbdiv = 320; fbdiv >= 16; fbdiv--) {
        const uint64_t vco_hz = uint64_t{fbdiv} * ref_hz;
        if (vco_hz < kVcoMinHz || vco_hz > kVcoMaxHz) continue;
        for (uint postdiv1 = 7; postdiv1 >= 1; postdiv1--) {
            for (uint postdiv2 = postdiv1; postdiv2 >= 1; postdiv2--) {
                if (vco_hz % (postdiv1 * postdiv2) == 0 && vco_hz / (postdiv1 * postdiv2) == freq_hz) {
                    *vco_out = static_cast<uint>(vco_hz);
                    *postdiv1_out = postdiv1;
                    *postdiv2_out = postdiv2;
                    return true;
                }
            }
        }
    }
    return false;
}

// As the SDK does by default: clk_peri leaves clk_sys for the USB PLL, so
// that the UARTs' rates no longer depend on the system clock.
void set_sys_clock_pll(uint32_t vco_freq, uint post_div1, uint post_div2) {
    vb::charge();
    vb::Board &b = vb::board();
    b.sys_clock_hz = vco_freq / (post_div1 * post_div2);
    b.peri_clock_hz = vb::kUsbPllHz;
    vb::uart_clock_changed();
}

uint32_t clock_get_hz(clock_handle_t clock) {
    vb::charge();
    switch (clock) {
        case clk_ref: return vb::board().xosc_hz;
        case clk_peri: return vb::board().peri_clock_hz;
        case clk_usb:
        case clk_adc: return vb::kUsbPllHz;
        default: return vb::board().sys_clock_hz;
    }
}

void watchdog_start_tick(uint cycles) {
    vb::charge();
    vb::board().watchdog.tick_cycles = cycles;
}

namespace {
void watchdog_load(uint32_t delay_ms) {
    vb::Board &b = vb::board();
    b.watchdog.load_us = std::min<uint64_t>(uint64_t{delay_ms} * 1000, kWatchdogMaxUs);
    b.watchdog.deadline_ns = b.now_ns + b.watchdog.load_us * 1000;
    b.watchdog.enabled = true;
    vb::reschedule();
}
}  // namespace

void watchdog_enable(uint32_t delay_ms, bool) {
    vb::charge();
    vb::board().watchdog.reboot_pending = false;
    watchdog_load(delay_ms);
}

// Like the SDK: reloads the last time-out that watchdog_enable or
// watchdog_reboot set.
// Each feed is also where the clock may skip idle passes of the main loop.
void watchdog_update(void) {
    vb::charge();
    vb::Board &b = vb::board();
    b.watchdog.feeds++;
    if (b.watchdog.enabled) {
        b.watchdog.deadline_ns = b.now_ns + b.watchdog.load_us * 1000;
        vb::reschedule(false);  // a feed is what an idle pass does
    }
    vb::idle_feed(__builtin_return_address(0));
}

void watchdog_reboot(uint32_t pc, uint32_t sp, uint32_t delay_ms) {
    (void)pc;
    (void)sp;
    vb::charge();
    vb::board().watchdog.reboot_pending = true;
    watchdog_load(delay_ms);
}

void watchdog_disable(void) {
    vb::charge();
    vb::board().watchdog.enabled = false;
    vb::reschedule();
}

bool watchdog_caused_reboot(void) {
    return vb::board().boots > 1;
}

}  // extern "C"
