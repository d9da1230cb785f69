#include "crc16.h"

namespace {

constexpr uint16_t CRC_MODBUS_POLY_REFLECTED = 0xA001;
constexpr uint32_t CRC_ISO_HDLC_POLY_REFLECTED = 0xEDB88320;
constexpr size_t CRC_TABLE_SIZE = 256;  // one entry per byte value

// The register after one byte's eight shifts, for each byte value.
template <typename reg_t>
void crc_make_table(reg_t *table, reg_t poly) {
    for (size_t byte = 0; byte < CRC_TABLE_SIZE; byte++) {
        reg_t reg = static_cast<reg_t>(byte);
        for (int bit = 0; bit < 8; bit++) reg = static_cast<reg_t>((reg >> 1) ^ ((reg & 1u) != 0 ? poly : 0u));
        table[byte] = reg;
    }
}

// Built in RAM on first use rather than kept const in flash: the fold of
// each acknowledged 8 KB window then reads single-cycle SRAM and never misses
// in the XIP cache that the window-sending code fills.
uint16_t crc_modbus_table[CRC_TABLE_SIZE];
uint32_t crc_iso_hdlc_table[CRC_TABLE_SIZE];
bool crc_tables_built = false;

void crc_build_tables() {
    if (crc_tables_built) return;
    crc_make_table(crc_modbus_table, CRC_MODBUS_POLY_REFLECTED);
    crc_make_table(crc_iso_hdlc_table, CRC_ISO_HDLC_POLY_REFLECTED);
    crc_tables_built = true;
}

}  // namespace

uint16_t crc_modbus(const unsigned char *input_str, size_t num_bytes) {
    return crc_modbus_update(CRC_MODBUS_INIT, input_str, num_bytes);
}

uint16_t crc_modbus_update(uint16_t crc, const unsigned char *input_str, size_t num_bytes) {
    crc_build_tables();
    if (input_str == nullptr) return crc;
    for (size_t i = 0; i < num_bytes; i++) {
        crc = static_cast<uint16_t>((crc >> 8) ^ crc_modbus_table[(crc ^ input_str[i]) & 0xFF]);
    }
    return crc;
}

uint32_t crc_iso_hdlc(const uint8_t *data, size_t len) {
    return ~crc_iso_hdlc_update(CRC_ISO_HDLC_INIT, data, len);
}

uint32_t crc_iso_hdlc_update(uint32_t crc, const uint8_t *data, size_t len) {
    crc_build_tables();
    if (data == nullptr) return crc;
    for (size_t i = 0; i < len; i++) crc = (crc >> 8) ^ crc_iso_hdlc_table[(crc ^ data[i]) & 0xFFu];
    return crc;
}
