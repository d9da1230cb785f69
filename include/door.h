// Door sensor (GPIO 25, high = open) and maglock drive (GPIO 24, high = locked).
#pragma once

#include <cstdint>

constexpr unsigned DOOR_MAGLOCK_PIN = 24;
constexpr unsigned DOOR_SENSOR_PIN = 25;
// How long a new sensor level must hold before the door field follows it.
constexpr int64_t DOOR_DEBOUNCE_TIME = 50000;  // µs

void door_init();
void door_poll();
void door_update_maglock();
