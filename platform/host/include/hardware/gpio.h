// Simulated board: GPIO.
#pragma once

#include "pico/types.h"

#define GPIO_OUT 1
#define GPIO_IN 0

typedef enum gpio_function {
    GPIO_FUNC_SPI = 1,
    GPIO_FUNC_UART = 2,
    GPIO_FUNC_I2C = 3,
    GPIO_FUNC_PWM = 4,
    GPIO_FUNC_SIO = 5,
    GPIO_FUNC_PIO0 = 6,
    GPIO_FUNC_PIO1 = 7,
    GPIO_FUNC_GPCK = 8,
    GPIO_FUNC_USB = 9,
    GPIO_FUNC_NULL = 0x1f,
} gpio_function_t;

#ifdef __cplusplus
extern "C" {
#endif

void gpio_init(uint gpio);
void gpio_set_dir(uint gpio, bool out);
void gpio_put(uint gpio, bool value);
bool gpio_get(uint gpio);
void gpio_set_pulls(uint gpio, bool up, bool down);
void gpio_set_function(uint gpio, gpio_function_t fn);
static inline void gpio_pull_up(uint gpio) { gpio_set_pulls(gpio, true, false); }
static inline void gpio_pull_down(uint gpio) { gpio_set_pulls(gpio, false, true); }
static inline void gpio_disable_pulls(uint gpio) { gpio_set_pulls(gpio, false, false); }

#ifdef __cplusplus
}
#endif
