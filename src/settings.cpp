#include "settings.h"

#include <cstdio>
#include <cstring>

#include "hardware/flash.h"
#include "hardware/regs/addressmap.h"
#include "hardware/sync.h"
#include "pico/stdlib.h"
#include "status.h"

settings_t settings;

namespace {

constexpr uint32_t SETTINGS_CRC32_POLY = 0xEDB88320;  // reflected
constexpr uint8_t SETTINGS_FILLER = 0xFF;             // erased cells: programming it changes nothing
constexpr unsigned SETTINGS_PAGES_PER_SECTOR = SETTINGS_SECTOR_SIZE / SETTINGS_PAGE_SIZE;
// No store is ever saved this often: a copy with a write counter from here on
// is damaged, and taken as the newest it would win over every later save.
constexpr uint32_t SETTINGS_WRITE_COUNTER_DAMAGED = 0x80000000;

// When the next clear is honoured.
absolute_time_t next_valid_clear;
// The copy being written: it does not fit the 2 KiB stack.
settings_entry_t entry;

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

}  // namespace

uint32_t settings_calculate_crc32(const uint8_t *data, size_t length) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < length; i++) {
        crc ^= data[i];
        for (unsigned bit = 0; bit < 8; bit++) {
            const uint32_t mask = 0u - (crc & 1u);
            crc = (crc >> 1) ^ (SETTINGS_CRC32_POLY & mask);
        }
    }
    return ~crc;
}

int settings_find_current_sector(uint32_t *highest_write_counter) {
    int current = -1;
    uint32_t highest = 0;
    for (unsigned sector = 0; sector < SETTINGS_SECTOR_COUNT; sector++) {
        const settings_entry_t *copy = settings_sector_copy(static_cast<int>(sector));
        if (copy->magic != SETTINGS_MAGIC || copy->write_counter >= SETTINGS_WRITE_COUNTER_DAMAGED) continue;
        if (settings_calculate_crc32(copy->data, SETTINGS_DATA_SIZE) != copy->crc32) continue;
        if (copy->write_counter > highest) {
            current = static_cast<int>(sector);
            highest = copy->write_counter;
        }
    }
    *highest_write_counter = highest;
    return current;
}

void settings_init() {
    memset(&settings, 0, sizeof settings);
    next_valid_clear = get_absolute_time();  // a clear right after start is honoured

    uint32_t highest = 0;
    const int current = settings_find_current_sector(&highest);
    if (current < 0) {
        puts("settings_init: set to defaults\r");
        return;
    }
    memcpy(&settings, settings_sector_copy(current)->data, sizeof settings);
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

bool settings_save() {
    uint32_t highest = 0;
    const int current = settings_find_current_sector(&highest);
    const int target = (current + 1) % static_cast<int>(SETTINGS_SECTOR_COUNT);  // sector 0 when none

    memset(&entry, SETTINGS_FILLER, sizeof entry);
    entry.magic = SETTINGS_MAGIC;
    entry.write_counter = highest + 1;
    memcpy(entry.data, &settings, sizeof settings);
    entry.crc32 = settings_calculate_crc32(entry.data, SETTINGS_DATA_SIZE);

    settings_write_sector(settings_sector_offset(target));
    // A worn or failing sector shows here rather than at the next start.
    return memcmp(settings_sector_copy(target), &entry, sizeof entry) == 0;
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
