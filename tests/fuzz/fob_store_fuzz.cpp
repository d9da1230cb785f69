// The fob store's flash as the board may find it at start-up: copies of any
// header, counter, check value and content in any of the 32 sectors. Loading
// must not crash or read past the table and must take a copy that may load
// (right magic and check value, and not a copy without a seal whose write
// counter is at or past 0x80000000: no firmware makes that many saves, so
// that is a worn header bit) or the defaults. Then a few presses, each
// saved: every save reported as done must be what the next start loads,
// wherever the counters stood (up to 0x7FFFFFFF too), so that a fob's counter
// never goes back. Last, the header of one copy the board wrote is damaged
// (the write counter is outside the check value): an older copy must not
// become the newest, and the newest, damaged, loads or gives way to the one
// before.
//
// Input: a damage byte (bit 0: damage; the rest picks the copy), a 32-bit
// value for the damaged write counter, then records of ten header bytes
// (sector, flags, write counter, and a word used as magic or check value
// where the flags leave it to the input), a length byte, and twice that many
// bytes of content.
//   flags bit 0: the right magic (else the word);
//   flags bit 1: the right check value over the data (else the word);
//   flags bit 2: the rest of the sector 0x00 (else erased, 0xFF);
//   flags bit 3: the content written raw from the start of the sector;
//   flags bit 6: the write counter 0x7FFFFFFF less its low four bits.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_board.h"
#include "settings.h"
#include "status.h"
#include "vboard_flash.h"

namespace {

constexpr size_t kInputHeader = 5;
constexpr size_t kRecordHeader = 11;
constexpr uint32_t kLastCounter = 0x7FFFFFFF;
constexpr uint32_t kStoreSize = SETTINGS_SECTOR_COUNT * SETTINGS_SECTOR_SIZE;
constexpr int kPresses = 3;

settings_entry_t copy_buf;
std::vector<uint8_t> before_save(kStoreSize);
std::vector<uint8_t> after_save(kStoreSize);

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
        copy_buf.crc32 = (flags & 2u) != 0 ? settings_calculate_crc32(copy_buf.data, SETTINGS_DATA_SIZE) : word;
    }
    vb::flash_write(sector_offset(sector), &copy_buf, sizeof copy_buf);
}

// Older firmware's copy (no seal's tag) with a write counter it can never
// have reached.
bool unsealed_past_the_limit(const settings_entry_t &copy) {
    settings_seal_t seal;
    memcpy(&seal, copy.data + SETTINGS_SEAL_AT, sizeof seal);
    const bool sealed = seal.tag == SETTINGS_SEAL_TAG || seal.tag == SETTINGS_SEAL_TAG_RENUMBERED;
    return !sealed && copy.write_counter >= SETTINGS_WRITE_COUNTER_LIMIT;
}

// Whether `s` is the record of a copy in flash that may load (the defaults
// count when none is).
bool held_by_a_loadable_copy(const settings_t &s) {
    settings_t defaults{};
    if (memcmp(&s, &defaults, sizeof s) == 0) return true;
    for (unsigned sector = 0; sector < SETTINGS_SECTOR_COUNT; sector++) {
        vb::flash_read(sector_offset(sector), &copy_buf, sizeof copy_buf);
        if (copy_buf.magic != SETTINGS_MAGIC || unsealed_past_the_limit(copy_buf)) continue;
        if (settings_calculate_crc32(copy_buf.data, SETTINGS_DATA_SIZE) != copy_buf.crc32) continue;
        settings_t stored;
        memcpy(&stored, copy_buf.data, sizeof stored);
        if (stored.total_fobs > SETTINGS_MAX_FOBS) stored.total_fobs = SETTINGS_MAX_FOBS;
        if (memcmp(&s, &stored, sizeof s) == 0) return true;
    }
    return false;
}

// A press of every paired fob (a new fob paired when there is none), saved
// as the radio link saves it. Returns the sector the save wrote last.
int press_and_save() {
    if (settings.total_fobs == 0) {
        settings.fobs[0] = settings_fob_t{1, 2, 3, 0};
        settings.total_fobs = 1;
    }
    for (uint32_t i = 0; i < settings.total_fobs; i++) settings.fobs[i].counter++;
    vb::flash_read(SETTINGS_FLASH_OFFSET, before_save.data(), kStoreSize);
    if (!settings_save()) fuzz::finding("a save to good flash failed");
    vb::flash_read(SETTINGS_FLASH_OFFSET, after_save.data(), kStoreSize);
    // The sector that changed to hold the store; one that held it already
    // when a save wrote the very same bytes again.
    int written = -1;
    for (unsigned sector = 0; sector < SETTINGS_SECTOR_COUNT; sector++) {
        const size_t at = sector * SETTINGS_SECTOR_SIZE;
        const auto *copy = reinterpret_cast<const settings_entry_t *>(after_save.data() + at);
        if (memcmp(copy->data, &settings, sizeof settings) != 0) continue;
        if (written < 0 || memcmp(before_save.data() + at, after_save.data() + at, SETTINGS_SECTOR_SIZE) != 0) {
            written = static_cast<int>(sector);
        }
    }
    if (written < 0) fuzz::finding("a save reported as done wrote no copy of the store");
    return written;
}

void damage_header(int sector, uint32_t write_counter) {
    vb::flash_read(sector_offset(static_cast<unsigned>(sector)), &copy_buf, sizeof copy_buf);
    copy_buf.write_counter = write_counter;
    vb::flash_fill(sector_offset(static_cast<unsigned>(sector)), 0xFF, SETTINGS_SECTOR_SIZE);
    vb::flash_write(sector_offset(static_cast<unsigned>(sector)), &copy_buf, sizeof copy_buf);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = (bring_up(), true);
    (void)ready;
    if (size < kInputHeader) return 0;
    vb::flash_fill(SETTINGS_FLASH_OFFSET, 0xFF, kStoreSize);
    size_t at = kInputHeader;
    while (at + kRecordHeader <= size) {
        const uint8_t *rec = data + at;
        const size_t len = std::min<size_t>(size_t{rec[10]} * 2, size - at - kRecordHeader);
        write_record(rec, rec + kRecordHeader, len);
        at += kRecordHeader + len;
    }

    settings_init();
    if (settings.total_fobs > SETTINGS_MAX_FOBS) fuzz::finding("more fobs in use than the table holds");
    if (!held_by_a_loadable_copy(settings)) fuzz::finding("a store loaded that no loadable copy holds");

    settings_t saved[kPresses];
    int sectors[kPresses];
    static settings_entry_t copies[kPresses];  // each as written
    for (int press = 0; press < kPresses; press++) {
        sectors[press] = press_and_save();
        saved[press] = settings;
        vb::flash_read(sector_offset(static_cast<unsigned>(sectors[press])), &copies[press], sizeof copies[press]);
        settings_init();
        if (memcmp(&saved[press], &settings, sizeof settings) != 0) fuzz::finding("the next start lost the saved store");
    }

    if ((data[0] & 1u) == 0) return 0;
    const int victim = (data[0] >> 1) % kPresses;
    vb::flash_read(sector_offset(static_cast<unsigned>(sectors[victim])), &copy_buf, sizeof copy_buf);
    const uint32_t write_counter = le32(data + 1);
    if (write_counter == copy_buf.write_counter) return 0;
    // The copy before the newest may be gone (written over, or erased as the
    // store sees fit); it is judged only while it is there.
    const int before = kPresses - 2;
    vb::flash_read(sector_offset(static_cast<unsigned>(sectors[before])), &copy_buf, sizeof copy_buf);
    const bool before_kept = memcmp(&copy_buf, &copies[before], sizeof copy_buf) == 0;
    damage_header(sectors[victim], write_counter);
    settings_init();
    const bool newest = memcmp(&saved[kPresses - 1], &settings, sizeof settings) == 0;
    if (victim != kPresses - 1) {
        if (!newest) fuzz::finding("a damaged older copy became the newest");
    } else if (before_kept && !newest && memcmp(&saved[before], &settings, sizeof settings) != 0) {
        // Its data still checks out: it may load, or give way to the one before.
        fuzz::finding("a damaged newest copy gave way to neither itself nor the one before");
    }
    return 0;
}
