// The fob store: up to 20 paired fobs with the counter of the last message
// accepted from each, kept in a ring of 32 flash sectors at the top of the
// 2 MiB flash. Every save writes a complete self-checking copy into the
// sector after the newest valid one; at load the newest valid copy wins.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr unsigned SETTINGS_MAX_FOBS = 20;
constexpr uint32_t SETTINGS_FLASH_OFFSET = 0x1E0000;  // memory-mapped at 0x101E0000
constexpr unsigned SETTINGS_SECTOR_COUNT = 32;
constexpr uint32_t SETTINGS_SECTOR_SIZE = 4096;
constexpr uint32_t SETTINGS_PAGE_SIZE = 256;
constexpr uint32_t SETTINGS_MAGIC = 0x53455454;        // bytes 54 54 45 53
constexpr uint32_t SETTINGS_CLEAR_INTERVAL_MS = 5000;  // at most one honoured clear per interval

// One paired fob; all fields little-endian in flash.
struct settings_fob_t {
    uint32_t uid1;
    uint32_t uid2;
    uint32_t uid3;
    uint32_t counter;  // of the last message accepted from this fob
};
static_assert(sizeof(settings_fob_t) == 16, "settings_fob_t is four 32-bit words");

struct settings_t {
    settings_fob_t fobs[SETTINGS_MAX_FOBS];  // entries 0 to total_fobs - 1 in use
    uint32_t total_fobs;
};
static_assert(sizeof(settings_t) == 324, "settings_t is 20 fobs and the count");
static_assert(offsetof(settings_t, total_fobs) == 320, "the count follows the 20 fobs");

// One copy of the store, filling one flash sector.
constexpr size_t SETTINGS_DATA_SIZE = SETTINGS_SECTOR_SIZE - 12;
struct settings_entry_t {
    uint32_t magic;          // SETTINGS_MAGIC
    uint32_t write_counter;  // 1 for the first copy ever written, then one more than the newest
    uint32_t crc32;          // CRC-32/ISO-HDLC of the whole of data
    uint8_t data[SETTINGS_DATA_SIZE];  // settings_t first; the rest is filler, covered by the CRC
};
static_assert(sizeof(settings_entry_t) == SETTINGS_SECTOR_SIZE, "one copy fills one sector");
static_assert(offsetof(settings_entry_t, write_counter) == 4, "flash layout");
static_assert(offsetof(settings_entry_t, crc32) == 8, "flash layout");
static_assert(offsetof(settings_entry_t, data) == 12, "flash layout");
static_assert(sizeof(settings_t) <= SETTINGS_DATA_SIZE, "the record fits a copy");
static_assert(SETTINGS_SECTOR_SIZE % SETTINGS_PAGE_SIZE == 0, "a sector is whole pages");
static_assert(SETTINGS_FLASH_OFFSET + SETTINGS_SECTOR_COUNT * SETTINGS_SECTOR_SIZE == 0x200000,
              "the ring ends at the top of the 2 MiB flash");

// The header is outside the CRC. A seal in the last bytes of data, which
// older firmware fills and ignores, repeats the write counter under the CRC,
// so that a flipped bit in the header cannot make an old copy the newest.
// A copy without a seal's tag was written by older firmware and still loads
// while its write counter is below SETTINGS_WRITE_COUNTER_LIMIT; one at or
// past it is damage (no firmware reaches 2^31 saves) and never loads.
//
// Write counters this firmware writes stay below SETTINGS_WRITE_COUNTER_LIMIT
// (older firmware counts the copies above it as damaged). Before a save would
// reach it, the ring is renumbered: the copy starts again from write counter
// 1 under a seal with the next epoch, and every copy of a later epoch is
// newer than every copy of an earlier one, whatever the counters. Copies with
// the first seal, or none, are of epoch 0.
struct settings_seal_t {
    uint32_t epoch;          // with SETTINGS_SEAL_TAG_RENUMBERED only; filler otherwise
    uint32_t tag;            // SETTINGS_SEAL_TAG or SETTINGS_SEAL_TAG_RENUMBERED
    uint32_t write_counter;  // the header's, repeated
};
constexpr uint32_t SETTINGS_SEAL_TAG = 0x4C414553;            // bytes 53 45 41 4C
constexpr uint32_t SETTINGS_SEAL_TAG_RENUMBERED = 0x4D554E52;  // bytes 52 4E 55 4D
constexpr size_t SETTINGS_SEAL_AT = SETTINGS_DATA_SIZE - sizeof(settings_seal_t);  // within data
static_assert(sizeof(settings_seal_t) == 12, "epoch, tag and write counter");
static_assert(SETTINGS_SEAL_AT >= sizeof(settings_t), "the seal lies in the unused tail");
constexpr uint32_t SETTINGS_WRITE_COUNTER_LIMIT = 0x80000000;

// The radio's record, right after settings_t in every copy: where older
// firmware leaves filler that it writes and never reads, so a copy of either
// loads on the other with the same fobs. One copy holds both: every save
// carries the fobs and this record together. A copy without the tag (older
// firmware, or none at all) means boot epoch 0 and no event known.
//   boot_epoch   numbers the board's starts; each start takes the next and
//                writes it before its first broadcast, so none is used twice
//   event_*      the board's last fob event as it tells it to its peers, so
//                that a restarted board still knows it (and its state)
struct settings_radio_t {
    uint32_t tag;  // SETTINGS_RADIO_TAG
    uint32_t boot_epoch;
    uint32_t event_counter;
    uint16_t event_origin;
    uint8_t event_state;  // status_fob_t
    uint8_t event_known;  // 1: the event fields hold an event; 0: the board knows none
};
constexpr uint32_t SETTINGS_RADIO_TAG = 0x4F494452;  // bytes 52 44 49 4F
constexpr size_t SETTINGS_RADIO_AT = sizeof(settings_t);  // within data
static_assert(sizeof(settings_radio_t) == 16, "tag, epoch, counter, origin, state, known");
static_assert(offsetof(settings_radio_t, boot_epoch) == 4 && offsetof(settings_radio_t, event_counter) == 8 &&
                  offsetof(settings_radio_t, event_origin) == 12 && offsetof(settings_radio_t, event_state) == 14 &&
                  offsetof(settings_radio_t, event_known) == 15,
              "flash layout of the radio's record");
static_assert(SETTINGS_RADIO_AT % 4 == 0, "the record's words are aligned in data");
static_assert(SETTINGS_RADIO_AT + sizeof(settings_radio_t) <= SETTINGS_SEAL_AT, "the record lies before the seal");
// A save whose sector does not read back moves on to the next sector, this many tries in all.
constexpr unsigned SETTINGS_SAVE_TRIES = 3;

extern settings_t settings;
// Loaded with the fobs; whoever changes it calls settings_save.
extern settings_radio_t settings_radio;

void settings_init();
// Writes the store into the sector after the newest copy, or the one after
// when that does not read back as written; a copy counts only if it reads
// back and would load as the newest. False when no try succeeded.
bool settings_save();
settings_fob_t *settings_fobs_find(uint32_t uid1, uint32_t uid2, uint32_t uid3);
void settings_fobs_pair(uint32_t uid1, uint32_t uid2, uint32_t uid3, uint32_t counter);
void settings_fobs_clear();

// The sector holding the newest valid copy, or -1; its write counter (0 if none).
int settings_find_current_sector(uint32_t *highest_write_counter);
// The newest copy's write counter (0: none), as loaded or last saved: every
// save advances it, also by firmware that does not keep the radio's record.
uint32_t settings_newest_write_counter();
// CRC-32/ISO-HDLC of a copy's data (crc_iso_hdlc).
uint32_t settings_calculate_crc32(const uint8_t *data, size_t length);
