// Simulated board: the microsecond timer on the virtual clock.
#pragma once

#include "pico/types.h"

#ifdef __cplusplus
extern "C" {
#endif

extern const absolute_time_t nil_time;
extern const absolute_time_t at_the_end_of_time;

uint64_t time_us_64(void);
absolute_time_t get_absolute_time(void);
absolute_time_t make_timeout_time_ms(uint32_t ms);
absolute_time_t make_timeout_time_us(uint64_t us);
bool time_reached(absolute_time_t t);
int64_t absolute_time_diff_us(absolute_time_t from, absolute_time_t to);
void sleep_us(uint64_t us);
void sleep_ms(uint32_t ms);

static inline bool is_nil_time(absolute_time_t t) { return t == 0; }
static inline uint64_t to_us_since_boot(absolute_time_t t) { return t; }
static inline uint32_t to_ms_since_boot(absolute_time_t t) { return (uint32_t)(t / 1000); }
static inline absolute_time_t delayed_by_ms(absolute_time_t t, uint32_t ms) { return t + 1000ull * ms; }
static inline absolute_time_t delayed_by_us(absolute_time_t t, uint64_t us) { return t + us; }

#ifdef __cplusplus
}
#endif
