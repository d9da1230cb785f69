// The fob store's flash as the board may find it at start-up: copies of any
// header, counter, seal, check value and content in any of the 32 sectors.
// Loading must not crash or read past the table and must take the newest
// whole copy, or the defaults when there is none: whole is the right magic
// and check value, a write counter below 0x80000000 (above is damaged) and,
// when the copy carries a seal, the seal's counter equal to the header's.
// Then a few presses, each saved: every save reported as done must be what
// the next start loads, wherever the counters stood (up to 0x7FFFFFFF too),
// so that a fob's counter never goes back.
//
// Input: records of ten header bytes (sector, flags, write counter, and a
// word used as magic or check value where the flags leave it to the input),
// a length byte, and twice that many bytes of content.
//   flags bit 0: the right magic (else the word);
//   flags bit 1: the right check value over the data (else the word);
//   flags bit 2: the rest of the sector 0x00 (else erased, 0xFF);
//   flags bit 3: the content written raw from the start of the sector;
//   flags bit 4: a seal, with the header's write counter (bit 5: the word);
//   flags bit 6: the write counter 0x7FFFFFFF less its low four bits.
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
constexpr uint32_t kLastCounter = kDamagedCounter - 1;
constexpr int kPresses = 3;

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
        copy_buf.write_counter = (flags & 64u) != 0 ? kLastCounter - (rec[2] & 0xFu) : le32(rec + 2);
        if ((flags & 16u) != 0) {
            const settings_seal_t seal{SETTINGS_SEAL_TAG, (flags & 32u) != 0 ? word : copy_buf.write_counter};
            memcpy(copy_buf.data + SETTINGS_SEAL_AT, &seal, sizeof seal);
        }
        copy_buf.crc32 = (flags & 2u) != 0 ? settings_calculate_crc32(copy_buf.data, SETTINGS_DATA_SIZE) : word;
    }
    vb::flash_write(sector_offset(sector), &copy_buf, sizeof copy_buf);
}

bool whole(const settings_entry_t &copy) {
    // The first copy ever written has counter 1: 0 is never written.
    if (copy.magic != SETTINGS_MAGIC || copy.write_counter == 0 || copy.write_counter >= kDamagedCounter) return false;
    if (settings_calculate_crc32(copy.data, SETTINGS_DATA_SIZE) != copy.crc32) return false;
    settings_seal_t seal;
    memcpy(&seal, copy.data + SETTINGS_SEAL_AT, sizeof seal);
    return seal.tag != SETTINGS_SEAL_TAG || seal.write_counter == copy.write_counter;
}

// Whether `s` is the record of the newest whole copy in flash (of one of
// them, when several share the highest counter), or the defaults when none is.
bool the_newest_copy(const settings_t &s) {
    uint32_t newest = 0;
    bool any = false, matches = false;
    for (unsigned sector = 0; sector < SETTINGS_SECTOR_COUNT; sector++) {
        vb::flash_read(sector_offset(sector), &copy_buf, sizeof copy_buf);
        if (!whole(copy_buf) || (any && copy_buf.write_counter < newest)) continue;
        settings_t stored;
        memcpy(&stored, copy_buf.data, sizeof stored);
        if (stored.total_fobs > SETTINGS_MAX_FOBS) stored.total_fobs = SETTINGS_MAX_FOBS;
        const bool same = memcmp(&s, &stored, sizeof s) == 0;
        matches = (any && copy_buf.write_counter == newest && matches) || same;
        newest = copy_buf.write_counter;
        any = true;
    }
    const settings_t defaults{};
    return any ? matches : memcmp(&s, &defaults, sizeof s) == 0;
}

// A press of every paired fob (or a new fob paired when there is none),
// saved as the radio link saves it.
void press_all() {
    if (settings.total_fobs == 0) {
        settings.fobs[0] = settings_fob_t{1, 2, 3, 0};
        settings.total_fobs = 1;
    }
    for (uint32_t i = 0; i < settings.total_fobs; i++) settings.fobs[i].counter++;
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
    if (!the_newest_copy(settings)) fuzz::finding("a start loaded other than the newest whole copy");

    for (int press = 0; press < kPresses; press++) {
        press_all();
        if (!settings_save()) fuzz::finding("a save to good flash failed");
        const settings_t saved = settings;
        settings_init();
        if (memcmp(&saved, &settings, sizeof saved) != 0) fuzz::finding("the next start lost the saved store");
    }
    return 0;
}
