// Simulated board: standard output on UART1.
#pragma once

#include "pico/types.h"

#ifdef __cplusplus
extern "C" {
#endif

bool stdio_init_all(void);

#ifdef __cplusplus
}
#endif
