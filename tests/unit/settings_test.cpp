// The fob store: the flash ring's copies, pairing, clearing, and power cuts
// during a save, on the simulated 2 MiB flash.
#include "settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "board_test.h"
#include "hardware/sync.h"
#include "status.h"
#include "vboard_flash.h"

namespace {

constexpr uint32_t kArea = 0x1E0000;
constexpr uint32_t kSector = 4096;
constexpr unsigned kSectors = 32;
constexpr size_t kDataSize = 4084;

// CRC-32/ISO-HDLC from a table, apart from the firmware's bitwise loop.
uint32_t reference_crc32(const uint8_t *data, size_t n) {
    static uint32_t table[256];
    if (table[1] == 0) {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    }
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; i++) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

struct Fob {
    uint32_t uid1, uid2, uid3, counter;
};

// The 324-byte record image, built byte by byte (little-endian words).
std::vector<uint8_t> record(const std::vector<Fob> &fobs, uint32_t total) {
    std::vector<uint8_t> r(324, 0);
    auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; i++) r[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    for (size_t i = 0; i < fobs.size() && i < 20; i++) {
        put(i * 16, fobs[i].uid1);
        put(i * 16 + 4, fobs[i].uid2);
        put(i * 16 + 8, fobs[i].uid3);
        put(i * 16 + 12, fobs[i].counter);
    }
    put(320, total);
    return r;
}

std::vector<uint8_t> record(const std::vector<Fob> &fobs) {
    return record(fobs, static_cast<uint32_t>(fobs.size()));
}

// A copy as a board writes one: magic, write counter, CRC, the record, filler.
void put_copy(unsigned sector, uint32_t write_counter, const std::vector<uint8_t> &rec, uint8_t filler = 0xA5) {
    std::vector<uint8_t> s(kSector, filler);
    const uint32_t magic = 0x53455454;
    memcpy(s.data(), &magic, 4);
    memcpy(s.data() + 4, &write_counter, 4);
    memcpy(s.data() + 12, rec.data(), rec.size());
    const uint32_t crc = reference_crc32(s.data() + 12, kDataSize);
    memcpy(s.data() + 8, &crc, 4);
    vb::flash_write(kArea + sector * kSector, s.data(), s.size());
}

struct Copy {
    uint32_t magic, write_counter, crc;
    std::vector<uint8_t> data;
    bool valid() const { return magic == 0x53455454 && crc == reference_crc32(data.data(), data.size()); }
    std::vector<uint8_t> rec() const { return {data.begin(), data.begin() + 324}; }
};

Copy read_copy(unsigned sector) {
    std::vector<uint8_t> s(kSector);
    vb::flash_read(kArea + sector * kSector, s.data(), s.size());
    Copy c{};
    memcpy(&c.magic, s.data(), 4);
    memcpy(&c.write_counter, s.data() + 4, 4);
    memcpy(&c.crc, s.data() + 8, 4);
    c.data.assign(s.begin() + 12, s.end());
    return c;
}

std::vector<uint8_t> ram_record() {
    std::vector<uint8_t> r(sizeof settings);
    memcpy(r.data(), &settings, sizeof settings);
    return r;
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { boot(); }
    // What a start of the firmware does up to the store's load.
    void boot() {
        test::unit_board();
        status_init();
        console_from_ = vb::tx_count(test::kScreenUart);
    }
    // Console text, once the UART has sent all it holds.
    std::string console() {
        uart_tx_wait_blocking(uart1);
        return vb::tx_text(test::kScreenUart, console_from_);
    }
    size_t console_from_ = 0;
};

TEST_F(SettingsTest, Crc32IsIsoHdlcBitByBit) {
    const char *check = "123456789";
    EXPECT_EQ(settings_calculate_crc32(reinterpret_cast<const uint8_t *>(check), 9), 0xCBF43926u);
    std::vector<uint8_t> data(kDataSize);
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 7 + 3);
    EXPECT_EQ(settings_calculate_crc32(data.data(), data.size()), reference_crc32(data.data(), data.size()));
    EXPECT_EQ(settings_calculate_crc32(data.data(), 0), 0u);
}

TEST_F(SettingsTest, ErasedAreaLoadsDefaultsAndTheFirstSaveGoesToSectorZero) {
    settings_init();
    EXPECT_EQ(console(), "settings_init: set to defaults\r\n");
    EXPECT_EQ(settings.total_fobs, 0u);
    EXPECT_EQ(status.in.total_fobs, 0);
    EXPECT_EQ(vb::flash_op_count(), 0u) << "nothing is written until the first change";

    const uint64_t t0 = vb::now_ns();
    settings_fobs_pair(0x11111111, 0x22222222, 0x33333333, 5);
    EXPECT_EQ(status.in.total_fobs, 1);
    const auto ops = vb::flash_ops();
    ASSERT_EQ(ops.size(), 17u);
    EXPECT_EQ(ops[0].kind, vb::FlashOpKind::Erase);
    EXPECT_EQ(ops[0].offset, kArea);
    for (unsigned k = 0; k < 16; k++) {
        EXPECT_EQ(ops[1 + k].kind, vb::FlashOpKind::Program);
        EXPECT_EQ(ops[1 + k].offset, kArea + k * 256) << "pages in ascending order";
        EXPECT_GE(ops[1 + k].start_ns, ops[k].end_ns);
    }
    // One erase and sixteen programs at the flash's typical times, back to back.
    EXPECT_GE(vb::now_ns() - t0, vb::kFlashEraseNs + 16 * vb::kFlashProgramNs);
    EXPECT_LE(ops.back().end_ns - ops[0].start_ns, vb::kFlashEraseNs + 16 * vb::kFlashProgramNs + 100000);

    const Copy c = read_copy(0);
    EXPECT_TRUE(c.valid());
    EXPECT_EQ(c.write_counter, 1u);
    EXPECT_EQ(c.rec(), record({{0x11111111, 0x22222222, 0x33333333, 5}}));
    for (unsigned s = 1; s < kSectors; s++) EXPECT_EQ(read_copy(s).magic, 0xFFFFFFFFu);
}

TEST_F(SettingsTest, NewestValidCopyIsLoadedAndTheNextSaveFollowsIt) {
    put_copy(3, 7, record({{1, 2, 3, 40}}));
    put_copy(4, 8, record({{1, 2, 3, 41}, {0xDEADBEEF, 0x01020304, 0xA0B0C0D0, 7}}));
    settings_init();
    EXPECT_EQ(console(),
              "settings_init: loaded\r\n"
              "  total fobs: 2\r\n"
              "    fob 0: 00000001 00000002 00000003 counter=41\r\n"
              "    fob 1: deadbeef 01020304 a0b0c0d0 counter=7\r\n");
    EXPECT_EQ(status.in.total_fobs, 2);
    EXPECT_EQ(ram_record(), record({{1, 2, 3, 41}, {0xDEADBEEF, 0x01020304, 0xA0B0C0D0, 7}}));

    settings_fobs_find(1, 2, 3)->counter = 50;
    EXPECT_TRUE(settings_save());
    const Copy c = read_copy(5);
    EXPECT_TRUE(c.valid());
    EXPECT_EQ(c.write_counter, 9u);
    EXPECT_EQ(c.rec(), record({{1, 2, 3, 50}, {0xDEADBEEF, 0x01020304, 0xA0B0C0D0, 7}}));
    EXPECT_EQ(read_copy(4).write_counter, 8u) << "the previous copy stays intact";
    EXPECT_TRUE(read_copy(4).valid());
}

TEST_F(SettingsTest, RingWrapsFromSector31ToSector0) {
    for (unsigned s = 0; s < kSectors; s++) put_copy(s, 100 + s, record({{9, 9, 9, s}}));
    settings_init();
    EXPECT_EQ(settings.fobs[0].counter, 31u);
    EXPECT_TRUE(settings_save());
    EXPECT_EQ(read_copy(0).write_counter, 132u);
    EXPECT_EQ(vb::flash_ops().front().offset, kArea);
    boot();
    settings_init();
    EXPECT_EQ(settings.fobs[0].counter, 31u) << "sector 0 now holds the newest copy";
    uint32_t highest = 0;
    EXPECT_EQ(settings_find_current_sector(&highest), 0);
    EXPECT_EQ(highest, 132u);
}

TEST_F(SettingsTest, CopiesThatFailTheirChecksAreSkipped) {
    put_copy(10, 20, record({{1, 1, 1, 1}}));
    put_copy(11, 21, record({{2, 2, 2, 2}}));  // damaged below: a byte past the record
    put_copy(12, 22, record({{3, 3, 3, 3}}));  // damaged magic
    put_copy(13, 23, record({{4, 4, 4, 4}}));  // damaged CRC field
    put_copy(14, 0, record({{5, 5, 5, 5}}));   // write counter 0 is never chosen
    uint8_t b = 0;
    vb::flash_read(kArea + 11 * kSector + 12 + 2000, &b, 1);
    b ^= 0x10;
    vb::flash_write(kArea + 11 * kSector + 12 + 2000, &b, 1);
    vb::flash_fill(kArea + 12 * kSector, 0x55, 1);
    vb::flash_fill(kArea + 13 * kSector + 8, 0x00, 1);
    uint32_t highest = 0;
    EXPECT_EQ(settings_find_current_sector(&highest), 10);
    EXPECT_EQ(highest, 20u);
    settings_init();
    EXPECT_EQ(settings.fobs[0].uid1, 1u);
    // Byte 4083 of the data, the last the CRC covers.
    put_copy(15, 30, record({{6, 6, 6, 6}}));
    vb::flash_fill(kArea + 15 * kSector + kSector - 1, 0x00, 1);
    EXPECT_EQ(settings_find_current_sector(&highest), 10);
}

TEST_F(SettingsTest, EqualWriteCountersLoadTheLowerSector) {
    put_copy(20, 5, record({{20, 0, 0, 0}}));
    put_copy(6, 5, record({{6, 0, 0, 0}}));
    settings_init();
    EXPECT_EQ(settings.fobs[0].uid1, 6u);
}

TEST_F(SettingsTest, PairingAppendsNewFobsOnlyUpToTwenty) {
    settings_init();
    for (uint32_t i = 0; i < 20; i++) settings_fobs_pair(i, i + 100, i + 200, i);
    EXPECT_EQ(settings.total_fobs, 20u);
    EXPECT_EQ(status.in.total_fobs, 20);
    EXPECT_EQ(vb::flash_erase_count(), 20u);
    EXPECT_EQ(read_copy(19).write_counter, 20u);

    const uint64_t ops = vb::flash_op_count();
    settings_fobs_pair(999, 999, 999, 1);  // a 21st
    settings_fobs_pair(3, 103, 203, 150);  // paired already, higher counter
    EXPECT_EQ(vb::flash_op_count(), ops) << "nothing written";
    EXPECT_EQ(settings.total_fobs, 20u);
    EXPECT_EQ(settings_fobs_find(3, 103, 203)->counter, 3u);
    EXPECT_EQ(settings_fobs_find(999, 999, 999), nullptr);
    EXPECT_EQ(settings_fobs_find(3, 103, 204), nullptr) << "all three words must match";

    boot();
    settings_init();
    EXPECT_EQ(settings.total_fobs, 20u);
    EXPECT_EQ(settings_fobs_find(19, 119, 219), &settings.fobs[19]);
}

TEST_F(SettingsTest, ClearIsRateLimitedToOnePerFiveSeconds) {
    put_copy(0, 1, record({{1, 2, 3, 4}, {5, 6, 7, 8}}));
    settings_init();
    settings_fobs_clear();  // right after start: honoured
    EXPECT_EQ(settings.total_fobs, 0u);
    EXPECT_EQ(status.in.total_fobs, 0);
    EXPECT_EQ(ram_record(), record({}));
    EXPECT_EQ(read_copy(1).rec(), record({}));
    EXPECT_EQ(read_copy(1).write_counter, 2u);

    settings_fobs_pair(10, 11, 12, 13);
    vb::advance_us(4000 * test::kMs);
    const uint64_t ops = vb::flash_op_count();
    settings_fobs_clear();  // within 5 s of the honoured one: dropped
    EXPECT_EQ(settings.total_fobs, 1u);
    EXPECT_EQ(vb::flash_op_count(), ops);
    vb::advance_us(1000 * test::kMs);
    settings_fobs_clear();  // 5 s or more after: honoured
    EXPECT_EQ(settings.total_fobs, 0u);
    EXPECT_EQ(vb::flash_op_count(), ops + 17);
}

TEST_F(SettingsTest, ClearDeadlineCountsFromTheHonouredClear) {
    settings_init();
    settings_fobs_pair(1, 1, 1, 1);
    const uint64_t t = vb::now_us();
    settings_fobs_clear();
    // Just before 5000 ms from the clear: still dropped.
    settings_fobs_pair(2, 2, 2, 2);
    vb::advance_us(t + 5000 * test::kMs - vb::now_us() - 10);
    settings_fobs_clear();
    EXPECT_EQ(settings.total_fobs, 1u);
    vb::advance_us(20);
    settings_fobs_clear();
    EXPECT_EQ(settings.total_fobs, 0u);
}

// A copy claiming more than 20 fobs (never written by this firmware) is read
// as a full table: no operation looks past the 20 entries (the sanitizer
// would stop the test at the first read beyond `settings`).
TEST_F(SettingsTest, StoredCountAboveTwentyIsTreatedAsTwenty) {
    std::vector<Fob> fobs;
    for (uint32_t i = 0; i < 20; i++) fobs.push_back({i, i, i, i});
    for (const uint32_t total : {21u, 0xFFFFFFFFu}) {
        boot();
        vb::flash_fill(kArea, 0xFF, kSectors * kSector);
        put_copy(0, 1, record(fobs, total));
        settings_init();
        EXPECT_EQ(settings.total_fobs, 20u);
        EXPECT_EQ(status.in.total_fobs, 20);
        const std::string text = console();
        EXPECT_NE(text.find("  total fobs: 20\r\n"), std::string::npos);
        EXPECT_NE(text.find("    fob 19: 00000013 00000013 00000013 counter=19\r\n"), std::string::npos);
        EXPECT_EQ(text.find("fob 20:"), std::string::npos);
        EXPECT_EQ(settings_fobs_find(77, 77, 77), nullptr);
        const uint64_t ops = vb::flash_op_count();
        settings_fobs_pair(77, 77, 77, 1);
        EXPECT_EQ(vb::flash_op_count(), ops);
    }
    // The same for a count set in RAM.
    settings.total_fobs = 1000;
    EXPECT_EQ(settings_fobs_find(5, 6, 7), nullptr);
    settings_fobs_pair(5, 6, 7, 8);
    EXPECT_EQ(settings.total_fobs, 1000u);
}

// Worn sectors (cells that no longer erase) are passed over, a bounded
// number of them; when every try fails, the console says so.
TEST_F(SettingsTest, ASaveThatDoesNotReadBackGoesToTheNextSector) {
    auto wear = [](unsigned sector) {
        vb::flash_fill(kArea + sector * kSector, 0x00, kSector);
        vb::flash_wear_out(kArea + sector * kSector, kSector);
    };
    vb::flash_fill(kArea, 0xFF, kSectors * kSector);
    settings_init();
    settings_fobs_pair(1, 2, 3, 4);  // sector 0
    wear(1);
    wear(2);
    settings.fobs[0].counter = 9;
    EXPECT_TRUE(settings_save());
    EXPECT_EQ(read_copy(3).write_counter, 4u) << "above the counters of the two failed tries";
    EXPECT_TRUE(read_copy(3).valid());
    boot();
    settings_init();
    EXPECT_EQ(settings.fobs[0].counter, 9u);

    for (const unsigned sector : {4u, 5u, 6u}) wear(sector);
    settings.fobs[0].counter = 10;
    const uint64_t erases = vb::flash_erase_count();
    EXPECT_FALSE(settings_save());
    EXPECT_EQ(vb::flash_erase_count(), erases + 3) << "three tries";
    EXPECT_NE(console().find("settings_save: failed, not stored\r\n"), std::string::npos);
    boot();
    settings_init();
    EXPECT_EQ(settings.fobs[0].counter, 9u) << "the last good copy is loaded";
}

// Without changing the layout: a copy's seal (the write counter repeated in
// the data's last bytes) makes a flipped header bit show; copies without one
// are older firmware's and load as before (as every put_copy() here).
TEST_F(SettingsTest, DamagedWriteCountersNeverMakeACopyTheNewest) {
    vb::flash_fill(kArea, 0xFF, kSectors * kSector);
    settings_init();
    settings_fobs_pair(1, 2, 3, 4);  // sector 0, write counter 1
    settings.fobs[0].counter = 9;
    settings_save();  // sector 1, write counter 2
    std::vector<uint8_t> seal(8);
    vb::flash_read(kArea + kSector - 8, seal.data(), 8);
    EXPECT_EQ(seal, std::vector<uint8_t>({0x53, 0x45, 0x41, 0x4C, 1, 0, 0, 0}));
    const uint8_t flipped = 0x10;  // bit 20 of sector 0's write counter
    vb::flash_write(kArea + 6, &flipped, 1);
    boot();
    settings_init();
    EXPECT_EQ(ram_record(), record({{1, 2, 3, 9}}));
    // Saves go on from the newest good copy, and are found again.
    settings.fobs[0].counter = 10;
    EXPECT_TRUE(settings_save());
    EXPECT_EQ(read_copy(2).write_counter, 3u);
    boot();
    settings_init();
    EXPECT_EQ(settings.fobs[0].counter, 10u);
}

// At the end of the write counters' range the ring is renumbered: the copy
// starts again from write counter 1 under a seal of the next epoch, which
// outranks every older copy, so nothing rolls back and every save loads.
TEST_F(SettingsTest, TheRingIsRenumberedBeforeItsWriteCountersRunOut) {
    for (const uint32_t newest : {0x7FFFFFFEu, 0x7FFFFFFFu}) {
        SCOPED_TRACE(newest);
        boot();
        vb::flash_fill(kArea, 0xFF, kSectors * kSector);
        put_copy(4, newest - 1, record({{1, 2, 3, 99}}));
        put_copy(5, newest, record({{1, 2, 3, 100}}));
        settings_init();
        for (uint32_t counter = 101; counter < 105; counter++) {
            settings.fobs[0].counter = counter;
            ASSERT_TRUE(settings_save());
            boot();
            settings_init();
            ASSERT_EQ(ram_record(), record({{1, 2, 3, counter}}));
        }
        // One save more at the top of the range, then the next epoch.
        const unsigned renumbered = newest == 0x7FFFFFFF ? 6 : 7;
        EXPECT_EQ(read_copy(renumbered).write_counter, 1u);
        std::vector<uint8_t> seal(12);
        vb::flash_read(kArea + renumbered * kSector + kSector - 12, seal.data(), 12);
        EXPECT_EQ(seal, std::vector<uint8_t>({1, 0, 0, 0, 0x52, 0x4E, 0x55, 0x4D, 1, 0, 0, 0}));
    }
    // The tries of a save that meets worn sectors at the top of the range.
    vb::flash_fill(kArea + 7 * kSector, 0x00, kSector);
    vb::flash_wear_out(kArea + 7 * kSector, kSector);
    settings.fobs[0].counter = 200;
    EXPECT_TRUE(settings_save());
    boot();
    settings_init();
    EXPECT_EQ(settings.fobs[0].counter, 200u);
}

// Older firmware's copies (no seal) have write counters below 0x80000000:
// no firmware reaches 2^31 saves. One at or past it is a programmed bit that
// lost its charge, and never wins over a genuine copy, whichever sector it
// is in; with no genuine copy the store starts empty.
TEST_F(SettingsTest, AnUnsealedCopyPastTheLimitIsDamageNotTheNewest) {
    struct Case {
        uint32_t worn;        // the damaged copy's write counter
        unsigned worn_at;     // its sector
        bool genuine;         // sector 1 holds the genuine newest copy, write counter 11
    };
    const Case cases[] = {{0x8000000A, 0, true}, {0x80000000, 0, true}, {0xFFFFFFFF, 2, true},
                          {0x8000000A, 0, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.worn);
        SCOPED_TRACE(c.worn_at);
        boot();
        vb::flash_fill(kArea, 0xFF, kSectors * kSector);
        put_copy(c.worn_at, c.worn, record({{7, 7, 7, 5}}));
        if (c.genuine) put_copy(1, 11, record({{7, 7, 7, 50}, {8, 8, 8, 3}}));
        settings_init();
        EXPECT_EQ(ram_record(), c.genuine ? record({{7, 7, 7, 50}, {8, 8, 8, 3}}) : record({}));
        settings.fobs[0].counter = 51;
        ASSERT_TRUE(settings_save());
        const unsigned next = c.genuine ? 2 : 0;
        EXPECT_EQ(read_copy(next).write_counter, c.genuine ? 12u : 1u);
        boot();
        settings_init();
        EXPECT_EQ(settings.fobs[0].counter, 51u);
    }
}

// Power cut at each of the 17 operations of a save (before it starts, or a
// little, half or nearly all of the way through): the next start loads either
// the new copy or the previous one, never anything else, and later saves go
// on from there without losing what was committed.
TEST_F(SettingsTest, PowerCutAtEveryStepOfASaveLoadsTheNewOrThePreviousCopy) {
    struct Case {
        vb::CutPoint point;
        double fraction;
    };
    const Case cases[] = {{vb::CutPoint::Before, 0},
                          {vb::CutPoint::Inside, 0.01},
                          {vb::CutPoint::Inside, 0.5},
                          {vb::CutPoint::Inside, 0.99}};
    // Three arrangements: a ring in use (the target sector holds the oldest
    // copy), a ring with a single copy (the target is erased), and a ring in
    // use at the end of the write counters' range (the save renumbers it).
    for (const uint32_t ring_from : {500u, 0u, 0x7FFFFFE0u}) {
        const bool full_ring = ring_from != 0;
        for (uint64_t op = 0; op < 17; op++) {
            for (const Case &c : cases) {
                SCOPED_TRACE("ring from " + std::to_string(ring_from) + ", operation " + std::to_string(op) +
                             ", fraction " + std::to_string(c.fraction));
                boot();
                vb::flash_fill(kArea, 0xFF, kSectors * kSector);
                std::vector<Fob> before = {{0xA1, 0xB2, 0xC3, 1000}, {7, 8, 9, 70}};
                if (full_ring) {
                    for (unsigned s = 0; s < kSectors; s++) {
                        put_copy((s + 9) % kSectors, ring_from + s, record({{0xA1, 0xB2, 0xC3, 969 + s}, {7, 8, 9, 70}}),
                                 0xFF);
                    }
                } else {
                    put_copy(30, 77, record(before), 0xFF);
                }
                settings_init();
                ASSERT_EQ(ram_record(), record(before));
                vb::flash_cut_power(op, c.point, c.fraction, 1234 + op);
                bool cut = false;
                try {
                    settings_fobs_pair(0xF00D, 0xCAFE, 0xBEEF, 42);
                } catch (const vb::PowerCutException &) {
                    cut = true;
                }
                ASSERT_TRUE(cut);
                const std::vector<Fob> after = {before[0], before[1], {0xF00D, 0xCAFE, 0xBEEF, 42}};

                boot();
                settings_init();
                const auto loaded = ram_record();
                EXPECT_TRUE(loaded == record(before) || loaded == record(after));
                if (op == 0) {
                    EXPECT_EQ(loaded, record(before)) << "the erase had not finished";
                }

                // The store goes on from what it loaded, and the next save commits.
                settings_fobs_find(0xA1, 0xB2, 0xC3)->counter = 2000;
                EXPECT_TRUE(settings_save());
                const auto expected = ram_record();
                boot();
                settings_init();
                EXPECT_EQ(ram_record(), expected);
            }
        }
    }
}

TEST_F(SettingsTest, InterruptsAreOffFromBeforeTheEraseToAfterTheLastPage) {
    settings_init();
    // The flash model halts the board if it is written with interrupts on;
    // after the save they are on again.
    settings_fobs_pair(1, 2, 3, 4);
    const uint32_t was = save_and_disable_interrupts();
    restore_interrupts(was);
    EXPECT_EQ(was, 0u);
}

}  // namespace

namespace {

// The reader of the layout without the radio's record: the newest copy by
// magic, CRC and write counter, and its first 324 bytes.
std::vector<uint8_t> old_layout_load() {
    int newest = -1;
    uint32_t highest = 0;
    for (unsigned s = 0; s < kSectors; s++) {
        const Copy c = read_copy(s);
        if (c.valid() && c.write_counter > highest) {
            highest = c.write_counter;
            newest = static_cast<int>(s);
        }
    }
    return newest < 0 ? std::vector<uint8_t>{} : read_copy(static_cast<unsigned>(newest)).rec();
}

// The radio's record: 16 bytes right after the fobs, little-endian.
std::vector<uint8_t> radio_bytes(uint32_t epoch, uint32_t counter, uint16_t origin, uint8_t state) {
    std::vector<uint8_t> r = {0x52, 0x44, 0x49, 0x4F};
    for (const uint32_t v : {epoch, counter}) {
        for (int i = 0; i < 4; i++) r.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    r.insert(r.end(), {static_cast<uint8_t>(origin), static_cast<uint8_t>(origin >> 8), state, 1});
    return r;
}

// A copy of older firmware (any filler after the fobs) loads with epoch 0 and
// no event. The record and the fobs are one copy: a fob save keeps the
// record, the record's save keeps the fobs, and the fobs' bytes stay exactly
// what the reader of the layout without the record loads.
TEST_F(SettingsTest, RadioRecordRidesWithTheFobsAndOlderCopiesHaveNone) {
    const std::vector<uint8_t> fobs = record({{1, 2, 3, 40}});
    for (const uint8_t filler : {0x00, 0xA5, 0xFF}) {
        boot();
        vb::flash_fill(kArea, 0xFF, kSectors * kSector);
        put_copy(6, 9, fobs, filler);
        settings_init();
        EXPECT_EQ(ram_record(), fobs);
        EXPECT_EQ(settings_radio.boot_epoch, 0u) << int{filler};
        EXPECT_EQ(settings_radio.event_known, 0) << int{filler};
    }
    settings_radio.boot_epoch = 7;
    settings_radio.event_counter = 0x01020304;
    settings_radio.event_origin = 0xC78B;
    settings_radio.event_state = 1;
    settings_radio.event_known = 1;
    settings_fobs_pair(4, 5, 6, 50);  // a fob save
    boot();
    settings_init();
    const std::vector<uint8_t> both = record({{1, 2, 3, 40}, {4, 5, 6, 50}});
    EXPECT_EQ(ram_record(), both);
    EXPECT_EQ(old_layout_load(), both);
    Copy c = read_copy(7);
    EXPECT_EQ(std::vector<uint8_t>(c.data.begin() + 324, c.data.begin() + 340), radio_bytes(7, 0x01020304, 0xC78B, 1));
    EXPECT_EQ(settings_radio.event_counter, 0x01020304u);

    settings_radio.boot_epoch = 8;  // the record's save
    settings_save();
    boot();
    settings_init();
    EXPECT_EQ(ram_record(), both);
    EXPECT_EQ(old_layout_load(), both);
    EXPECT_EQ(settings_radio.boot_epoch, 8u);
    EXPECT_EQ(settings_radio.event_origin, 0xC78B);
    c = read_copy(8);
    EXPECT_EQ(std::vector<uint8_t>(c.data.begin() + 324, c.data.begin() + 340), radio_bytes(8, 0x01020304, 0xC78B, 1));
}

}  // namespace
