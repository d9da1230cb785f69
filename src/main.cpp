#include "main.h"

#include <cstdio>

#include "RP2040.h"
#include "audio.h"
#include "door.h"
#include "fwupdate.h"
#include "hardware/clocks.h"
#include "hardware/watchdog.h"
#include "lights.h"
#include "pico/stdlib.h"
#include "screen.h"
#include "settings.h"
#include "status.h"
#include "usb.h"
#include "wireless.h"

// Bounds of the main stack, from the linker.
extern "C" uint32_t __StackBottom[];

namespace {

// Marks the stack not yet in use, so that anyone inspecting memory can see
// how deep it has ever reached. The words just below the live stack pointer
// are left alone.
void main_paint_stack() {
    const uintptr_t sp = __get_MSP();
    if (sp < MAIN_STACK_GAP) return;
    const uintptr_t limit = sp - MAIN_STACK_GAP;
    for (uint32_t *p = __StackBottom; reinterpret_cast<uintptr_t>(p) < limit; p++) {
        *p = MAIN_STACK_PAINT;
    }
}

}  // namespace

int main() {
    // Panics with "System clock of 132000 kHz cannot be exactly achieved"
    // when the PLL cannot reach the frequency exactly.
    set_sys_clock_khz(MAIN_SYS_CLOCK_KHZ, true);
    stdio_init_all();
    puts("orlix-fw-io");
    main_paint_stack();
    if (wireless_development_keys()) puts("WARNING: DEVELOPMENT radio keys, not for the field\r");

    status_init();
    settings_init();
    door_init();
    lights_init();
    screen_init();
    audio_init();
    wireless_init();
    usb_init();
    fwupdate_init();

    // Armed only now, so that slow set-up is not bounded by it.
    watchdog_start_tick(MAIN_WATCHDOG_TICK_CYCLES);
    watchdog_enable(MAIN_WATCHDOG_TIMEOUT_MS, false);

    for (;;) {
        watchdog_update();
        door_poll();
        watchdog_update();
        screen_poll();
        watchdog_update();
        fwupdate_poll();
        watchdog_update();
        usb_poll();
        watchdog_update();
        audio_poll();
        watchdog_update();
        lights_poll();
        watchdog_update();
        wireless_poll();
        watchdog_update();
    }
}
