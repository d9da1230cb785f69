#include "door.h"

#include "pico/stdlib.h"
#include "status.h"

namespace {

bool sensor_state;
absolute_time_t last_sensor_changed_at;

void door_update_sensor_status() {
    status.in.door = sensor_state ? CABINET_DOOR_OPEN : CABINET_DOOR_CLOSED;
}

}  // namespace

void door_init() {
    gpio_init(DOOR_MAGLOCK_PIN);
    gpio_set_dir(DOOR_MAGLOCK_PIN, GPIO_OUT);
    door_update_maglock();  // locked from the first moment the pin is driven

    gpio_init(DOOR_SENSOR_PIN);
    gpio_set_dir(DOOR_SENSOR_PIN, GPIO_IN);
    gpio_pull_down(DOOR_SENSOR_PIN);
    sensor_state = gpio_get(DOOR_SENSOR_PIN);
    door_update_sensor_status();
    last_sensor_changed_at = nil_time;
}

void door_poll() {
    const absolute_time_t now = get_absolute_time();
    const bool level = gpio_get(DOOR_SENSOR_PIN);
    if (level != sensor_state) {
        // Every change, bounce or not, restarts the wait.
        sensor_state = level;
        last_sensor_changed_at = now;
        return;
    }
    if (!is_nil_time(last_sensor_changed_at) &&
        absolute_time_diff_us(last_sensor_changed_at, now) >= DOOR_DEBOUNCE_TIME) {
        door_update_sensor_status();
        last_sensor_changed_at = nil_time;
    }
}

void door_update_maglock() {
    gpio_put(DOOR_MAGLOCK_PIN, status.out.maglock == MAGLOCK_ON);
}
