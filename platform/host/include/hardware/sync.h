// Simulated board: masking interrupts on core 0.
#pragma once

#include "pico/types.h"

#ifdef __cplusplus
extern "C" {
#endif

uint32_t save_and_disable_interrupts(void);
void restore_interrupts(uint32_t status);
static inline void restore_interrupts_from_disabled(uint32_t status) { restore_interrupts(status); }
static inline void __dmb(void) {}
static inline void __sev(void) {}
static inline void __wfe(void) {}
static inline void __wfi(void) {}
static inline void tight_loop_contents(void) {}

#ifdef __cplusplus
}
#endif
