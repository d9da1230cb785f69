// Simulated board: the watchdog.
#pragma once

#include "pico/types.h"

#ifdef __cplusplus
extern "C" {
#endif

void watchdog_start_tick(uint cycles);
void watchdog_enable(uint32_t delay_ms, bool pause_on_debug);
void watchdog_update(void);
void watchdog_reboot(uint32_t pc, uint32_t sp, uint32_t delay_ms);
void watchdog_disable(void);
bool watchdog_caused_reboot(void);

#ifdef __cplusplus
}
#endif
