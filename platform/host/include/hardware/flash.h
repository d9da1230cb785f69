// Simulated board: the program flash (erase, program, unique identifier).
#pragma once

#include "hardware/regs/addressmap.h"
#include "pico/types.h"

#define FLASH_PAGE_SIZE (1u << 8)
#define FLASH_SECTOR_SIZE (1u << 12)
#define FLASH_BLOCK_SIZE (1u << 16)
#define FLASH_UNIQUE_ID_SIZE_BYTES 8

#ifdef __cplusplus
extern "C" {
#endif

// Like the SDK's: the offset and length must be sector (erase) or page
// (program) aligned, and nothing may run from flash meanwhile, so the caller
// masks interrupts. They return once the flash reads normally again.
void flash_range_erase(uint32_t flash_offs, size_t count);
void flash_range_program(uint32_t flash_offs, const uint8_t *data, size_t count);
void flash_get_unique_id(uint8_t *id_out);

#ifdef __cplusplus
}
#endif
