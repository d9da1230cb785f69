// Simulated board: platform macros and panic.
#pragma once

#include "pico/types.h"

// Code placement and binary information mean nothing off the board.
#define __not_in_flash_func(func_name) func_name
#define __time_critical_func(func_name) func_name
#define __no_inline_not_in_flash_func(func_name) func_name
#define __unused __attribute__((unused))

#ifdef __cplusplus
extern "C" {
#endif

[[noreturn]] void panic(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#ifdef __cplusplus
}
#endif
