// Check values and byte order of the wire formats: the CRC-16/MODBUS of the
// screen line's frames, the CRC-32/ISO-HDLC of a relayed screen image and of
// each fob store copy, and the 32-bit words of WAV headers and radio messages.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t CRC_MODBUS_INIT = 0xFFFF;
constexpr uint32_t CRC_ISO_HDLC_INIT = 0xFFFFFFFF;

// Returns 0xFFFF for a null pointer or no bytes.
uint16_t crc_modbus(const unsigned char *input_str, size_t num_bytes);
// Continues `crc` over more bytes: crc_modbus(a + b) is
// crc_modbus_update(crc_modbus(a), b). A null pointer leaves `crc` as it is.
uint16_t crc_modbus_update(uint16_t crc, const unsigned char *input_str, size_t num_bytes);

// The common reflected CRC-32, final complement applied: 0xCBF43926 for the
// nine ASCII digits 1 to 9.
uint32_t crc_iso_hdlc(const uint8_t *data, size_t len);
// Continues the register `crc` (CRC_ISO_HDLC_INIT at the start, not yet
// complemented) over more bytes. A null pointer leaves `crc` as it is.
uint32_t crc_iso_hdlc_update(uint32_t crc, const uint8_t *data, size_t len);

inline uint32_t crc_load_le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline uint32_t crc_load_be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

inline void crc_store_le32(uint8_t *p, uint32_t v) {
    for (unsigned i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void crc_store_be32(uint8_t *p, uint32_t v) {
    for (unsigned i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * (3 - i)));
}
