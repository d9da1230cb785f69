// CRC-16/MODBUS check value of the screen line's frames.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t CRC_MODBUS_INIT = 0xFFFF;

// Returns 0xFFFF for a null pointer or no bytes.
uint16_t crc_modbus(const unsigned char *input_str, size_t num_bytes);
// Continues `crc` over more bytes: crc_modbus(a + b) is
// crc_modbus_update(crc_modbus(a), b). A null pointer leaves `crc` as it is.
uint16_t crc_modbus_update(uint16_t crc, const unsigned char *input_str, size_t num_bytes);
