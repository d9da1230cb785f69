#include "settings.h"

#include <cstdio>
#include <cstring>

#include "crc16.h"
#include "hardware/flash.h"
#include "hardware/regs/addressmap.h"
#include "hardware/sync.h"
#include "hardware/watchdog.h"
#include "pico/stdlib.h"
#include "status.h"

settings_t settings;
settings_radio_t settings_radio;

namespace {

constexpr uint8_t SETTINGS_FILLER = 0xFF;             // erased cells: programming it changes nothing
constexpr unsigned SETTINGS_PAGES_PER_SECTOR = SETTINGS_SECTOR_SIZE / SETTINGS_PAGE_SIZE;

// A copy's place in the order of copies: its epoch, then its write counter.
// 0 for a copy that does not load.
using settings_rank_t = uint64_t;
constexpr unsigned SETTINGS_EPOCH_SHIFT = 32;

// When the next clear is honoured.
absolute_time_t next_valid_clear;
// The copy being written: it does not fit the 2 KiB stack.
settings_entry_t entry;
// Where the newest copy lies (-1: none) and its rank, found at start and
// kept by every save, so that a save does not scan the ring again.
int store_sector = -1;
settings_rank_t store_rank;
// The highest rank any try has written, good or not: a try that did not
// read back may read back later, and must never win over a newer copy.
settings_rank_t tried_rank;

settings_rank_t settings_rank(uint32_t epoch, uint32_t write_counter) {
    return (settings_rank_t{epoch} << SETTINGS_EPOCH_SHIFT) | write_counter;
}

uint32_t settings_rank_epoch(settings_rank_t rank) {
    return static_cast<uint32_t>(rank >> SETTINGS_EPOCH_SHIFT);
}

uint32_t settings_rank_counter(settings_rank_t rank) {
    return static_cast<uint32_t>(rank);
}

// A copy of older firmware, without a seal. No firmware reaches 2^31 saves
// (32 sectors of about 100,000 erases each), so a write counter at or past
// the limit is a programmed bit that lost its charge, not history: such a
// copy must not win over the genuine newest one.
settings_rank_t settings_unsealed_rank(uint32_t write_counter) {
    return write_counter < SETTINGS_WRITE_COUNTER_LIMIT ? settings_rank(0, write_counter) : 0;
}

// The header's and the seal's part of the checks (the CRC is the caller's).
settings_rank_t settings_sealed_rank(const settings_entry_t *copy) {
    if (copy->magic != SETTINGS_MAGIC) return 0;
    settings_seal_t seal;
    memcpy(&seal, copy->data + SETTINGS_SEAL_AT, sizeof seal);
    const bool renumbered = seal.tag == SETTINGS_SEAL_TAG_RENUMBERED;
    if (!renumbered && seal.tag != SETTINGS_SEAL_TAG) return settings_unsealed_rank(copy->write_counter);
    if (seal.write_counter != copy->write_counter) return 0;
    return settings_rank(renumbered ? seal.epoch : 0, copy->write_counter);
}

settings_rank_t settings_copy_rank(const settings_entry_t *copy) {
    const settings_rank_t rank = settings_sealed_rank(copy);
    if (rank == 0 || settings_calculate_crc32(copy->data, SETTINGS_DATA_SIZE) != copy->crc32) return 0;
    return rank;
}

// The next copy's rank: one more write counter, or, where that would reach
// the limit, the next epoch from write counter 1.
settings_rank_t settings_next_rank(settings_rank_t newest) {
    if (settings_rank_counter(newest) < SETTINGS_WRITE_COUNTER_LIMIT - 1) return newest + 1;
    return settings_rank(settings_rank_epoch(newest) + 1, 1);
}

void settings_build_entry(settings_rank_t rank) {
    const uint32_t epoch = settings_rank_epoch(rank);
    memset(&entry, SETTINGS_FILLER, sizeof entry);
    entry.magic = SETTINGS_MAGIC;
    entry.write_counter = settings_rank_counter(rank);
    memcpy(entry.data, &settings, sizeof settings);
    settings_radio.tag = SETTINGS_RADIO_TAG;
    memcpy(entry.data + SETTINGS_RADIO_AT, &settings_radio, sizeof settings_radio);
    settings_seal_t seal;
    memcpy(&seal, entry.data + SETTINGS_SEAL_AT, sizeof seal);
    seal.tag = epoch == 0 ? SETTINGS_SEAL_TAG : SETTINGS_SEAL_TAG_RENUMBERED;
    if (epoch != 0) seal.epoch = epoch;
    seal.write_counter = entry.write_counter;
    memcpy(entry.data + SETTINGS_SEAL_AT, &seal, sizeof seal);
    entry.crc32 = settings_calculate_crc32(entry.data, SETTINGS_DATA_SIZE);
}

uint32_t settings_sector_offset(int sector) {
    return SETTINGS_FLASH_OFFSET + static_cast<uint32_t>(sector) * SETTINGS_SECTOR_SIZE;
}

const settings_entry_t *settings_sector_copy(int sector) {
    return reinterpret_cast<const settings_entry_t *>(XIP_BASE + settings_sector_offset(sector));
}

// Entries in use. This firmware never stores more than the table holds; a
// copy that claims more is read as a full table, never beyond it.
uint32_t settings_fobs_in_use() {
    return settings.total_fobs < SETTINGS_MAX_FOBS ? settings.total_fobs : SETTINGS_MAX_FOBS;
}

// Erase, then the pages in ascending order, with interrupts off throughout:
// the flash cannot be read while it is written, so nothing may run from it.
// Runs from RAM for the same reason.
void __no_inline_not_in_flash_func(settings_write_sector)(uint32_t offset) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(&entry);
    const uint32_t interrupts = save_and_disable_interrupts();
    flash_range_erase(offset, SETTINGS_SECTOR_SIZE);
    for (unsigned page = 0; page < SETTINGS_PAGES_PER_SECTOR; page++) {
        flash_range_program(offset + page * SETTINGS_PAGE_SIZE, bytes + page * SETTINGS_PAGE_SIZE,
                            SETTINGS_PAGE_SIZE);
    }
    restore_interrupts(interrupts);
}

int settings_scan(settings_rank_t *newest) {
    int current = -1;
    settings_rank_t highest = 0;
    for (unsigned sector = 0; sector < SETTINGS_SECTOR_COUNT; sector++) {
        const settings_rank_t rank = settings_copy_rank(settings_sector_copy(static_cast<int>(sector)));
        if (rank > highest) {
            current = static_cast<int>(sector);
            highest = rank;
        }
    }
    *newest = highest;
    return current;
}

// The radio's record of a copy, or none (all zero) in a copy without it.
void settings_load_radio(const settings_entry_t *copy) {
    memcpy(&settings_radio, copy->data + SETTINGS_RADIO_AT, sizeof settings_radio);
    if (settings_radio.tag != SETTINGS_RADIO_TAG) memset(&settings_radio, 0, sizeof settings_radio);
}

}  // namespace

uint32_t settings_calculate_crc32(const uint8_t *data, size_t length) {
    return crc_iso_hdlc(data, length);
}

int settings_find_current_sector(uint32_t *highest_write_counter) {
    settings_rank_t newest = 0;
    const int current = settings_scan(&newest);
    *highest_write_counter = settings_rank_counter(newest);
    return current;
}

uint32_t settings_newest_write_counter() {
    return settings_rank_counter(store_rank);
}

void settings_init() {
    memset(&settings, 0, sizeof settings);
    memset(&settings_radio, 0, sizeof settings_radio);
    next_valid_clear = get_absolute_time();  // a clear right after start is honoured

    store_sector = settings_scan(&store_rank);
    tried_rank = store_rank;
    const int current = store_sector;
    if (current < 0) {
        puts("settings_init: set to defaults\r");
        return;
    }
    memcpy(&settings, settings_sector_copy(current)->data, sizeof settings);
    settings_load_radio(settings_sector_copy(current));
    settings.total_fobs = settings_fobs_in_use();

    puts("settings_init: loaded\r");
    printf("  total fobs: %lu\r\n", static_cast<unsigned long>(settings.total_fobs));
    for (uint32_t i = 0; i < settings.total_fobs; i++) {
        const settings_fob_t &fob = settings.fobs[i];
        printf("    fob %lu: %08lx %08lx %08lx counter=%lu\r\n", static_cast<unsigned long>(i),
               static_cast<unsigned long>(fob.uid1), static_cast<unsigned long>(fob.uid2),
               static_cast<unsigned long>(fob.uid3), static_cast<unsigned long>(fob.counter));
    }
    status.in.total_fobs = static_cast<uint8_t>(settings.total_fobs);
}

// A worn sector shows in the read-back: the copy goes to the next sector, with
// a higher rank, so that the failed one can never win. The sector holding the
// current copy is never reached. A copy counts only once it reads back and
// ranks above the newest: it is what the next start loads.
bool settings_save() {
    int target = store_sector;  // -1 when none: the first try goes to sector 0
    for (unsigned attempt = 0; attempt < SETTINGS_SAVE_TRIES; attempt++) {
        target = (target + 1) % static_cast<int>(SETTINGS_SECTOR_COUNT);
        const settings_rank_t rank = settings_next_rank(tried_rank > store_rank ? tried_rank : store_rank);
        tried_rank = rank;
        settings_build_entry(rank);
        // Each try is a whole erase and program: the watchdog is not to count them together.
        watchdog_update();
        settings_write_sector(settings_sector_offset(target));
        const settings_entry_t *copy = settings_sector_copy(target);
        if (memcmp(copy, &entry, sizeof entry) == 0 && settings_sealed_rank(copy) == rank && rank > store_rank) {
            store_sector = target;
            store_rank = rank;
            return true;
        }
    }
    puts("settings_save: failed, not stored\r");
    return false;
}

settings_fob_t *settings_fobs_find(uint32_t uid1, uint32_t uid2, uint32_t uid3) {
    const uint32_t in_use = settings_fobs_in_use();
    for (uint32_t i = 0; i < in_use; i++) {
        settings_fob_t &fob = settings.fobs[i];
        if (fob.uid1 == uid1 && fob.uid2 == uid2 && fob.uid3 == uid3) return &fob;
    }
    return nullptr;
}

void settings_fobs_pair(uint32_t uid1, uint32_t uid2, uint32_t uid3, uint32_t counter) {
    // A fob paired already keeps its stored counter.
    if (settings_fobs_find(uid1, uid2, uid3) != nullptr) return;
    const uint32_t in_use = settings_fobs_in_use();
    if (in_use == SETTINGS_MAX_FOBS) return;
    settings.fobs[in_use] = settings_fob_t{uid1, uid2, uid3, counter};
    settings.total_fobs = in_use + 1;
    status.in.total_fobs = static_cast<uint8_t>(settings.total_fobs);
    settings_save();
}

void settings_fobs_clear() {
    // Dropped, not deferred, within the interval after an honoured clear.
    if (!time_reached(next_valid_clear)) return;
    next_valid_clear = make_timeout_time_ms(SETTINGS_CLEAR_INTERVAL_MS);
    memset(settings.fobs, 0, sizeof settings.fobs);
    settings.total_fobs = 0;
    status.in.total_fobs = 0;
    settings_save();
}
