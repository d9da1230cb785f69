// Simulated board: where the program flash is mapped.
//
// On the board the flash reads at 0x10000000 + offset. Here XIP_BASE is the
// address of the simulated flash array (below 4 GiB: the host build is not
// position independent), so `XIP_BASE + offset` reads the same bytes.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
extern uint8_t vb_flash_memory[];
#ifdef __cplusplus
}
#endif

#define XIP_BASE ((uintptr_t)vb_flash_memory)
