// The fob store's flash as the board may find it at start-up: copies of any
// header, counter, check value and content in any of the 32 sectors. Loading
// must not crash or read past the table, must take a copy that is whole
// (right magic and check value) or the defaults, must never accept a write
// counter of 0x80000000 or above (damaged), and a store saved after loading
// must be what the next start loads.
//
// Input: records of ten header bytes (sector, flags, write counter, and a
// word used as magic or check value where the flags leave it to the input),
// a length byte, and twice that many bytes of content.
//   flags bit 0: the right magic (else the word);
//   flags bit 1: the right check value over the data (else the word);
//   flags bit 2: the rest of the sector 0x00 (else erased, 0xFF);
//   flags bit 3: the content written raw from the start of the sector.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_board.h"
#include "settings.h"
#include "status.h"
#include "vboard_flash.h"

namespace {

constexpr size_t kRecordHeader = 11;
constexpr uint32_t kDamagedCounter = 0x80000000;
constexpr uint32_t kStoreSize = SETTINGS_SECTOR_COUNT * SETTINGS_SECTOR_SIZE;

settings_entry_t copy_buf;

void bring_up() {
    fuzz::unit_board();
    fuzz::console_off();
    status_init();
}

uint32_t le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint32_t sector_offset(unsigned sector) {
    return SETTINGS_FLASH_OFFSET + sector * SETTINGS_SECTOR_SIZE;
}

void write_record(const uint8_t *rec, const uint8_t *content, size_t len) {
    const unsigned sector = rec[0] % SETTINGS_SECTOR_COUNT;
    const uint8_t flags = rec[1];
    const uint32_t word = le32(rec + 6);
    memset(&copy_buf, (flags & 4u) != 0 ? 0x00 : 0xFF, sizeof copy_buf);
    if ((flags & 8u) != 0) {
        memcpy(&copy_buf, content, len);
    } else {
        memcpy(copy_buf.data, content, len);
        copy_buf.magic = (flags & 1u) != 0 ? SETTINGS_MAGIC : word;
        copy_buf.write_counter = le32(rec + 2);
        copy_buf.crc32 = (flags & 2u) != 0 ? settings_calculate_crc32(copy_buf.data, SETTINGS_DATA_SIZE) : word;
    }
    vb::flash_write(sector_offset(sector), &copy_buf, sizeof copy_buf);
}

// Whether `s` is the record of a whole copy in flash (the defaults count when none is).
bool held_by_a_whole_copy(const settings_t &s) {
    settings_t defaults{};
    if (memcmp(&s, &defaults, sizeof s) == 0) return true;
    for (unsigned sector = 0; sector < SETTINGS_SECTOR_COUNT; sector++) {
        vb::flash_read(sector_offset(sector), &copy_buf, sizeof copy_buf);
        if (copy_buf.magic != SETTINGS_MAGIC) continue;
        if (settings_calculate_crc32(copy_buf.data, SETTINGS_DATA_SIZE) != copy_buf.crc32) continue;
        settings_t stored;
        memcpy(&stored, copy_buf.data, sizeof stored);
        if (stored.total_fobs > SETTINGS_MAX_FOBS) stored.total_fobs = SETTINGS_MAX_FOBS;
        if (memcmp(&s, &stored, sizeof s) == 0) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = (bring_up(), true);
    (void)ready;
    vb::flash_fill(SETTINGS_FLASH_OFFSET, 0xFF, kStoreSize);
    size_t at = 0;
    while (at + kRecordHeader <= size) {
        const uint8_t *rec = data + at;
        const size_t len = std::min<size_t>(size_t{rec[10]} * 2, size - at - kRecordHeader);
        write_record(rec, rec + kRecordHeader, len);
        at += kRecordHeader + len;
    }

    settings_init();
    if (settings.total_fobs > SETTINGS_MAX_FOBS) fuzz::finding("more fobs in use than the table holds");
    if (!held_by_a_whole_copy(settings)) fuzz::finding("a store loaded that no whole copy holds");
    uint32_t highest = 0;
    settings_find_current_sector(&highest);
    if (highest >= kDamagedCounter) fuzz::finding("a damaged write counter taken as the newest");
    // The last counter before the damaged range leaves no room for a newer copy.
    if (highest == kDamagedCounter - 1) return 0;

    if (!settings_save()) fuzz::finding("a save to good flash failed");
    const settings_t saved = settings;
    settings_init();
    if (memcmp(&saved, &settings, sizeof saved) != 0) fuzz::finding("the next start lost the saved store");
    return 0;
}
