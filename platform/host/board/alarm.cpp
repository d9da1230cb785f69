// The timer's alarm 3 and the SDK's default alarm pool on it: up to 16
// alarms, whose callbacks run in the TIMER_IRQ_3 handler at their time.
//
// As in the SDK, adding or cancelling an alarm forces the interrupt, so an
// alarm already due runs at once (in interrupt context), and an alarm whose
// callback returns a delay is kept and fires again.
#include <algorithm>

#include "board.h"
#include "devices.h"
#include "hardware/irq.h"
#include "pico/time.h"

namespace {

constexpr unsigned kAlarmIrq = TIMER_IRQ_3;
constexpr unsigned kPoolSize = 16;
constexpr uint16_t kSequenceMask = 0x7fff;

struct Entry {
    bool used;
    int64_t target_us;
    uint64_t order;  // alarms due at the same time fire in the order they were set
    alarm_callback_t callback;
    void *user_data;
    uint16_t sequence;
};

struct AlarmState {
    Entry entries[kPoolSize];
    uint64_t next_order;
    bool handler_installed;  // this boot's runtime has set up the default pool
    bool irq_raised;
};

AlarmState *alarms = vb::shared_alloc<AlarmState>();

int64_t now_us() {
    return static_cast<int64_t>(vb::board().now_ns / 1000);
}

alarm_id_t make_id(unsigned index, uint16_t sequence) {
    return static_cast<alarm_id_t>(index << 16 | sequence);
}

// The earliest entry due now, or -1.
int due_entry() {
    int best = -1;
    for (unsigned i = 0; i < kPoolSize; i++) {
        const Entry &e = alarms->entries[i];
        if (!e.used || e.target_us > now_us()) continue;
        if (best < 0) {
            best = static_cast<int>(i);
            continue;
        }
        const Entry &b = alarms->entries[best];
        if (e.target_us < b.target_us || (e.target_us == b.target_us && e.order < b.order)) {
            best = static_cast<int>(i);
        }
    }
    return best;
}

void alarm_irq_handler() {
    alarms->irq_raised = false;
    for (int index = due_entry(); index >= 0; index = due_entry()) {
        Entry &e = alarms->entries[index];
        const int64_t delta = e.callback(make_id(static_cast<unsigned>(index), e.sequence), e.user_data);
        if (!e.used) continue;  // cancelled by its own callback
        if (delta == 0) {
            e.used = false;
        } else {
            e.target_us = delta < 0 ? e.target_us - delta : now_us() + delta;
            e.order = alarms->next_order++;
        }
    }
    vb::reschedule();
}

void force_irq() {
    alarms->irq_raised = true;
    vb::irq_raise(kAlarmIrq);
    vb::irq_dispatch();
}

uint64_t alarm_next_event_ns() {
    uint64_t next = vb::kNever;
    if (alarms->irq_raised) return next;  // the handler will look at every entry
    for (const Entry &e : alarms->entries) {
        if (e.used) next = std::min(next, static_cast<uint64_t>(std::max<int64_t>(e.target_us, 0)) * 1000);
    }
    return next;
}

void alarm_fire(uint64_t now_ns) {
    if (alarms->irq_raised) return;
    for (const Entry &e : alarms->entries) {
        if (e.used && static_cast<uint64_t>(std::max<int64_t>(e.target_us, 0)) * 1000 <= now_ns) {
            alarms->irq_raised = true;
            vb::irq_raise(kAlarmIrq);
            return;
        }
    }
}

void alarm_power_on_reset() {
    *alarms = AlarmState{};
}

vb::Device alarm_device{{"alarm", alarm_next_event_ns, alarm_fire, alarm_power_on_reset}};

}  // namespace

// The default pool is a single object; its address is all callers see.
struct alarm_pool {
    int unused;
};

namespace {
alarm_pool default_pool;
}

extern "C" {

// The SDK's runtime creates the default pool before main and installs its
// handler; here that happens on first use in each boot.
alarm_pool_t *alarm_pool_get_default(void) {
    if (!alarms->handler_installed) {
        alarms->handler_installed = true;
        irq_set_exclusive_handler(kAlarmIrq, alarm_irq_handler);
        irq_set_enabled(kAlarmIrq, true);
    }
    return &default_pool;
}

alarm_id_t alarm_pool_add_alarm_at(alarm_pool_t *pool, absolute_time_t time, alarm_callback_t callback,
                                   void *user_data, bool fire_if_past) {
    vb::charge();
    if (pool != &default_pool) vb::board_halt("alarm_pool_add_alarm_at: not the default pool");
    if (!fire_if_past && static_cast<int64_t>(time) < now_us()) return 0;
    unsigned index = 0;
    while (index < kPoolSize && alarms->entries[index].used) index++;
    if (index == kPoolSize) return -1;
    Entry &e = alarms->entries[index];
    uint16_t sequence = static_cast<uint16_t>((e.sequence + 1) & kSequenceMask);
    if (sequence == 0) sequence = 1;
    e = Entry{true, static_cast<int64_t>(time), alarms->next_order++, callback, user_data, sequence};
    const alarm_id_t id = make_id(index, sequence);
    force_irq();
    vb::reschedule();
    // An alarm that fired at once and ended itself has no id to return.
    return alarms->entries[index].used && alarms->entries[index].sequence == sequence ? id : 0;
}

alarm_id_t alarm_pool_add_alarm_in_us(alarm_pool_t *pool, uint64_t us, alarm_callback_t callback, void *user_data,
                                      bool fire_if_past) {
    return alarm_pool_add_alarm_at(pool, make_timeout_time_us(us), callback, user_data, fire_if_past);
}

bool alarm_pool_cancel_alarm(alarm_pool_t *pool, alarm_id_t alarm_id) {
    vb::charge();
    if (pool != &default_pool) vb::board_halt("alarm_pool_cancel_alarm: not the default pool");
    const unsigned index = static_cast<unsigned>(alarm_id) >> 16;
    if (index >= kPoolSize) return false;
    Entry &e = alarms->entries[index];
    if (!e.used || e.sequence != static_cast<uint16_t>(alarm_id)) return false;
    e.used = false;
    vb::reschedule();
    return true;
}

}  // extern "C"
