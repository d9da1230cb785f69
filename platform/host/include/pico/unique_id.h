// Simulated board: the board identifier, read from the flash chip.
#pragma once

#include "pico/types.h"

#define PICO_UNIQUE_BOARD_ID_SIZE_BYTES 8

typedef struct {
    uint8_t id[PICO_UNIQUE_BOARD_ID_SIZE_BYTES];
} pico_unique_board_id_t;

#ifdef __cplusplus
extern "C" {
#endif

void pico_get_unique_board_id(pico_unique_board_id_t *id_out);
// Upper-case hexadecimal, NUL-terminated, cut to len - 1 characters.
void pico_get_unique_board_id_string(char *id_out, uint len);

#ifdef __cplusplus
}
#endif
