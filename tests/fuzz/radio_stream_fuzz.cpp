// The radio's byte stream: noise of any kind with authentic messages spliced
// in (fob presses of paired and unknown fobs with counters around the stored
// ones, pairing, peer status broadcasts, this board's own ID among them), in
// any fob mode, as the main loop polls the link. Nothing may crash, and the
// fob table must be exactly what the authentic messages make it: no fob
// invented, no counter taken backwards or beyond the accepted advance, no
// replay taken twice. A status message with this board's own ID changes
// nothing: the fob state moves meanwhile only by an unlock falling back.
//
// Input: operations, each a byte and its arguments:
//   0: noise: a length byte, then that many bytes;
//   1: a fob message: a selector (below 0xC0: fob selector % 4 of four known
//      fobs, three paired; else three UID words follow), a 16-bit signed
//      advance over the counter stored for the fob, 16 tail bytes;
//   2: a status message: an ID selector (even: this board's ID; odd: 8 bytes
//      follow), kind, fob state, 32-bit age, 15 more body bytes;
//   3: the fob mode (argument % 4, 3 being no known mode) and a pause of
//      (argument / 4) * 50 ms.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_board.h"
extern "C" {
#include "monocypher.h"
}
#include "settings.h"
#include "status.h"
#include "vboard_flash.h"
#include "wireless.h"
#include "wireless_keys.h"

namespace {

constexpr uint32_t kRadioBaud = 9600;
constexpr size_t kChunk = 16;  // less than the receive FIFO holds
constexpr uint32_t kStoreSize = SETTINGS_SECTOR_COUNT * SETTINGS_SECTOR_SIZE;
constexpr uint32_t kInitialCounter = 1000;
constexpr unsigned kPairedAtStart = 3;
constexpr uint32_t kKnownUids[4][3] = {
    {0x11111111, 0x22222222, 0x33333333},
    {0xA5A5A5A5, 0x00000001, 0xFFFFFFFF},
    {0x00000000, 0x00000000, 0x00000000},
    {0x0BADF00D, 0x12345678, 0x9ABCDEF0},  // not paired at start
};
const uint8_t kKey[WIRELESS_KEY_SIZE] = {WIRELESS_SHARED_SECRET_BYTES};

// What the fob table must hold.
settings_t expected;

void bring_up() {
    fuzz::unit_board();
    fuzz::console_off();
    status_init();
}

void put_le32(uint8_t *p, uint32_t v) {
    for (unsigned i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_be32(uint8_t *p, uint32_t v) {
    for (unsigned i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * (3 - i)));
}
uint32_t le32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Reads input bytes, zeros past the end.
struct Reader {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    bool more() const { return at < size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    void bytes(uint8_t *out, size_t n) {
        for (size_t i = 0; i < n; i++) out[i] = byte();
    }
};

void deliver(const uint8_t *bytes, size_t n) {
    for (size_t i = 0; i < n; i += kChunk) {
        const size_t len = std::min(kChunk, n - i);
        vb::send_to_board(fuzz::kRadioUart, std::string(reinterpret_cast<const char *>(bytes + i), len),
                          kRadioBaud);
        vb::advance_us(vb::wire_ns(len, kRadioBaud) / 1000 + 1);
        wireless_poll();
    }
}

void deliver_authentic(uint8_t (&msg)[WIRELESS_MSG_SIZE]) {
    crypto_blake2b_general(msg + WIRELESS_BODY_SIZE, WIRELESS_MAC_SIZE, kKey, sizeof kKey, msg, WIRELESS_BODY_SIZE);
    deliver(msg, sizeof msg);
}

settings_fob_t *expected_find(uint32_t uid1, uint32_t uid2, uint32_t uid3) {
    for (uint32_t i = 0; i < expected.total_fobs; i++) {
        settings_fob_t &f = expected.fobs[i];
        if (f.uid1 == uid1 && f.uid2 == uid2 && f.uid3 == uid3) return &f;
    }
    return nullptr;
}

// The table a fob message must leave.
void expect_fob_message(uint32_t uid1, uint32_t uid2, uint32_t uid3, uint32_t counter) {
    settings_fob_t *fob = expected_find(uid1, uid2, uid3);
    if (uid1 == WIRELESS_STATUS_MARKER) return;  // read as a status message
    if (status.out.fob_config == FOB_CONFIG_PAIR) {
        if (fob == nullptr && expected.total_fobs < SETTINGS_MAX_FOBS) {
            expected.fobs[expected.total_fobs++] = settings_fob_t{uid1, uid2, uid3, counter};
        }
    } else if (status.out.fob_config == FOB_CONFIG_NONE && fob != nullptr) {
        if (counter > fob->counter && counter - fob->counter <= WIRELESS_MAX_COUNTER_ADVANCE) fob->counter = counter;
    }
}

void fob_message(Reader &in) {
    uint8_t msg[WIRELESS_MSG_SIZE] = {};
    const uint8_t selector = in.byte();
    uint32_t uid[3];
    if (selector < 0xC0) {
        memcpy(uid, kKnownUids[selector % 4], sizeof uid);
    } else {
        uint8_t raw[12];
        in.bytes(raw, sizeof raw);
        for (unsigned i = 0; i < 3; i++) uid[i] = le32(raw + 4 * i);
    }
    const auto advance = static_cast<int16_t>(in.byte() << 8 | in.byte());
    const settings_fob_t *fob = expected_find(uid[0], uid[1], uid[2]);
    const uint32_t counter = (fob != nullptr ? fob->counter : kInitialCounter) + static_cast<uint32_t>(int32_t{advance});
    for (unsigned i = 0; i < 3; i++) put_le32(msg + 4 * i, uid[i]);
    put_be32(msg + 12, counter);
    in.bytes(msg + 16, 16);
    expect_fob_message(uid[0], uid[1], uid[2], counter);
    deliver_authentic(msg);
}

void status_message(Reader &in) {
    uint8_t msg[WIRELESS_MSG_SIZE] = {};
    put_le32(msg, WIRELESS_STATUS_MARKER);
    const bool own = in.byte() % 2 == 0;
    if (own) {
        const std::vector<uint8_t> id = vb::flash_unique_id();
        memcpy(msg + 4, id.data(), WIRELESS_UNIQUE_ID_SIZE);
    } else {
        in.bytes(msg + 4, WIRELESS_UNIQUE_ID_SIZE);
    }
    in.bytes(msg + 12, 4);   // kind, fob state, two more
    in.bytes(msg + 16, 16);  // age and the rest
    const status_fob_t before = status.in.fob;
    deliver_authentic(msg);
    const bool fell_back = before == FOB_UNLOCK && status.in.fob == FOB_NONE;
    if (own && status.in.fob != before && !fell_back) fuzz::finding("a status message with this board's own ID was adopted");
}

void start_input() {
    vb::flash_fill(SETTINGS_FLASH_OFFSET, 0xFF, kStoreSize);
    memset(&settings, 0, sizeof settings);
    for (unsigned i = 0; i < kPairedAtStart; i++) {
        settings.fobs[i] = settings_fob_t{kKnownUids[i][0], kKnownUids[i][1], kKnownUids[i][2], kInitialCounter};
    }
    settings.total_fobs = kPairedAtStart;
    expected = settings;
    status.in.fob = FOB_NONE;
    status.out.fob_config = FOB_CONFIG_NONE;
    wireless_init();
}

void check_table() {
    if (settings.total_fobs != expected.total_fobs ||
        memcmp(settings.fobs, expected.fobs, sizeof(settings_fob_t) * expected.total_fobs) != 0) {
        fuzz::finding("the fob table is not what the authentic messages make it");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = (bring_up(), true);
    (void)ready;
    start_input();
    Reader in{data, size};
    while (in.more()) {
        switch (in.byte() % 4) {
            case 0: {
                uint8_t noise[256];
                const size_t n = in.byte();
                in.bytes(noise, n);
                deliver(noise, n);
                break;
            }
            case 1:
                fob_message(in);
                break;
            case 2:
                status_message(in);
                break;
            default: {
                const uint8_t arg = in.byte();
                status.out.fob_config = static_cast<status_fob_config_t>(arg % 4);
                vb::advance_us(uint64_t{arg / 4u} * 50000);
                wireless_poll();
                break;
            }
        }
        check_table();
    }
    return 0;
}
