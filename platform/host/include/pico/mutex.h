// Simulated board: the SDK's mutex. Core 0 is the only owner there is, so a
// mutex held by the running code cannot be entered again, from the same
// context or from an interrupt handler.
#pragma once

#include "pico/types.h"

typedef struct mutex {
    int8_t owner;  // -1 when free, else the owning core
    bool initialised;
} mutex_t;

#ifdef __cplusplus
extern "C" {
#endif

void mutex_init(mutex_t *mtx);
bool mutex_is_initialized(mutex_t *mtx);
// Takes the mutex if it is free; never waits. On failure *owner_out (if
// given) receives the holder.
bool mutex_try_enter(mutex_t *mtx, uint32_t *owner_out);
void mutex_enter_blocking(mutex_t *mtx);
void mutex_exit(mutex_t *mtx);

#ifdef __cplusplus
}
#endif
