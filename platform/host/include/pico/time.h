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

// Alarms of the default pool: the callback runs in the timer interrupt
// (TIMER_IRQ_3) once the time is reached. It returns 0 to end the alarm, a
// positive delay to fire again that many µs after it returns, or a negative
// one to fire again that many µs after the time it was due.
typedef int32_t alarm_id_t;
typedef int64_t (*alarm_callback_t)(alarm_id_t id, void *user_data);
typedef struct alarm_pool alarm_pool_t;

alarm_pool_t *alarm_pool_get_default(void);
// >0 the alarm's id; 0 if the time had passed and fire_if_past is false (or
// the callback, run at once, ended the alarm); -1 if the pool is full.
alarm_id_t alarm_pool_add_alarm_at(alarm_pool_t *pool, absolute_time_t time, alarm_callback_t callback,
                                   void *user_data, bool fire_if_past);
alarm_id_t alarm_pool_add_alarm_in_us(alarm_pool_t *pool, uint64_t us, alarm_callback_t callback, void *user_data,
                                      bool fire_if_past);
bool alarm_pool_cancel_alarm(alarm_pool_t *pool, alarm_id_t alarm_id);

static inline alarm_id_t add_alarm_at(absolute_time_t time, alarm_callback_t callback, void *user_data,
                                      bool fire_if_past) {
    return alarm_pool_add_alarm_at(alarm_pool_get_default(), time, callback, user_data, fire_if_past);
}
static inline alarm_id_t add_alarm_in_us(uint64_t us, alarm_callback_t callback, void *user_data,
                                         bool fire_if_past) {
    return alarm_pool_add_alarm_in_us(alarm_pool_get_default(), us, callback, user_data, fire_if_past);
}
static inline alarm_id_t add_alarm_in_ms(uint32_t ms, alarm_callback_t callback, void *user_data,
                                         bool fire_if_past) {
    return alarm_pool_add_alarm_in_us(alarm_pool_get_default(), 1000ull * ms, callback, user_data, fire_if_past);
}
static inline bool cancel_alarm(alarm_id_t alarm_id) {
    return alarm_pool_cancel_alarm(alarm_pool_get_default(), alarm_id);
}

static inline bool is_nil_time(absolute_time_t t) { return t == 0; }
static inline uint64_t to_us_since_boot(absolute_time_t t) { return t; }
static inline uint32_t to_ms_since_boot(absolute_time_t t) { return (uint32_t)(t / 1000); }
static inline absolute_time_t delayed_by_ms(absolute_time_t t, uint32_t ms) { return t + 1000ull * ms; }
static inline absolute_time_t delayed_by_us(absolute_time_t t, uint64_t us) { return t + us; }

#ifdef __cplusplus
}
#endif
