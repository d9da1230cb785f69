#include "crc16.h"

namespace {

constexpr uint16_t CRC16_POLY_REFLECTED = 0xA001;

uint16_t crc_tab16[256];
bool crc_tab16_init = false;

void crc16_build_table() {
    for (unsigned i = 0; i < 256; i++) {
        uint16_t reg = 0;
        uint16_t c = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; bit++) {
            reg = ((reg ^ c) & 1) ? static_cast<uint16_t>((reg >> 1) ^ CRC16_POLY_REFLECTED)
                                  : static_cast<uint16_t>(reg >> 1);
            c >>= 1;
        }
        crc_tab16[i] = reg;
    }
    crc_tab16_init = true;
}

}  // namespace

uint16_t crc_modbus(const unsigned char *input_str, size_t num_bytes) {
    return crc_modbus_update(CRC_MODBUS_INIT, input_str, num_bytes);
}

uint16_t crc_modbus_update(uint16_t crc, const unsigned char *input_str, size_t num_bytes) {
    if (!crc_tab16_init) crc16_build_table();
    if (input_str == nullptr) return crc;
    for (size_t i = 0; i < num_bytes; i++) {
        crc = static_cast<uint16_t>((crc >> 8) ^ crc_tab16[(crc ^ input_str[i]) & 0xFF]);
    }
    return crc;
}
