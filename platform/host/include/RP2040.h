// Simulated board: the processor's core registers.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The main stack pointer of the simulated processor, inside [__StackBottom, __StackTop).
uint32_t __get_MSP(void);

#ifdef __cplusplus
}
#endif
