// CRC-16/MODBUS check value of the screen line's frames.
#pragma once

#include <cstddef>
#include <cstdint>

// Returns 0xFFFF for a null pointer or no bytes.
uint16_t crc_modbus(const unsigned char *input_str, size_t num_bytes);
