// GPIO: functions, directions, pulls, and the levels a peer drives.
#include "hardware/gpio.h"

#include "board.h"

namespace vb {

bool pin_level(unsigned pin) {
    const Pin &p = board().pins[pin];
    if (p.func == kFuncSio && p.out_enable) return p.out_value;
    if (p.ext_driven) return p.ext_level;
    if (p.func == kFuncUart) return true;  // an idle UART line rests high
    return p.pull_up && !p.pull_down;
}

uint32_t pin_levels() {
    uint32_t levels = 0;
    for (unsigned i = 0; i < kGpioCount; i++) levels |= uint32_t{pin_level(i)} << i;
    return levels;
}

void pin_log_change(unsigned pin, bool before) {
    Board &b = board();
    const bool after = pin_level(pin);
    if (after == before) return;
    b.pin_log[b.pin_log_total % kPinLogSize] = PinEvent{b.now_ns, static_cast<uint8_t>(pin), after};
    b.pin_log_total++;
    b.idle_changes++;
}

namespace {

Pin &checked_pin(uint gpio) {
    if (gpio >= kGpioCount) board_halt("GPIO number out of range");
    return board().pins[gpio];
}

template <typename F>
void change_pin(uint gpio, F change) {
    charge();
    Pin &p = checked_pin(gpio);
    const bool before = pin_level(gpio);
    change(p);
    pin_log_change(gpio, before);
}

}  // namespace
}  // namespace vb

extern "C" {

void gpio_init(uint gpio) {
    vb::change_pin(gpio, [](vb::Pin &p) {
        p.out_enable = false;
        p.out_value = false;
        p.func = vb::kFuncSio;
    });
}

void gpio_set_dir(uint gpio, bool out) {
    vb::change_pin(gpio, [out](vb::Pin &p) { p.out_enable = out; });
}

void gpio_put(uint gpio, bool value) {
    vb::change_pin(gpio, [value](vb::Pin &p) { p.out_value = value; });
}

bool gpio_get(uint gpio) {
    vb::charge();
    vb::checked_pin(gpio);
    return vb::pin_level(gpio);
}

void gpio_set_pulls(uint gpio, bool up, bool down) {
    vb::change_pin(gpio, [up, down](vb::Pin &p) {
        p.pull_up = up;
        p.pull_down = down;
    });
}

void gpio_set_function(uint gpio, gpio_function_t fn) {
    vb::change_pin(gpio, [fn](vb::Pin &p) { p.func = static_cast<uint8_t>(fn); });
}

}  // extern "C"
