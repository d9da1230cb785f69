// The microsecond timer and sleeps, on the virtual clock.
#include "pico/time.h"

#include "board.h"

extern "C" {

const absolute_time_t nil_time = 0;
const absolute_time_t at_the_end_of_time = UINT64_MAX;

uint64_t time_us_64(void) {
    vb::charge();
    return vb::board().now_ns / 1000;
}

absolute_time_t get_absolute_time(void) {
    return time_us_64();
}

absolute_time_t make_timeout_time_us(uint64_t us) {
    return get_absolute_time() + us;
}

absolute_time_t make_timeout_time_ms(uint32_t ms) {
    return make_timeout_time_us(uint64_t{ms} * 1000);
}

bool time_reached(absolute_time_t t) {
    const bool reached = get_absolute_time() >= t;
    if (!reached) vb::idle_deadline_checked(t * 1000);
    return reached;
}

// Its result is compared with a limit that only the firmware knows: a pass
// that takes a difference is never skipped.
int64_t absolute_time_diff_us(absolute_time_t from, absolute_time_t to) {
    vb::board().idle_changes++;
    return static_cast<int64_t>(to - from);
}

void sleep_us(uint64_t us) {
    vb::charge();
    vb::board().idle_changes++;
    vb::advance_to(vb::board().now_ns + us * 1000);
}

void sleep_ms(uint32_t ms) {
    sleep_us(uint64_t{ms} * 1000);
}

}  // extern "C"
