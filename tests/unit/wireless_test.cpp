// The radio link and its messages: the module set-up, the receive window,
// the message check, presses, pairing, the status broadcast and adoption.
#include "wireless.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "board_test.h"
extern "C" {
#include "monocypher.h"
}
#include "radio_messages.h"
#include "settings.h"
#include "status.h"
#include "vboard_flash.h"

namespace {

using peers::Message;
using test::kMs;

constexpr unsigned kRadioUart = 0;
constexpr uint32_t kRadioBaud = 9600;
constexpr uint64_t kMsNs = 1000000;
constexpr uint64_t kSlotNs = WIRELESS_SLOT_MS * kMsNs;
constexpr uint64_t kPollUs = 10;
constexpr uint64_t kIdlePollUs = 1000;
constexpr uint16_t kBoardTag = 0x5534;  // the origin tag of kBoardId
constexpr uint16_t kPeer1Tag = 0x63C5;  // of peer 1 1 1 1 1 1 1 1
constexpr uint16_t kPeer2Tag = 0xC78B;  // of peer 2 2 2 2 2 2 2 2
constexpr uint8_t kBoardId[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
constexpr uint32_t kU1 = 0x0A0B0C0D, kU2 = 0x11223344, kU3 = 0xCAFEF00D;

const peers::Key kKey = peers::build_key();

peers::BoardId board_id() {
    peers::BoardId id{};
    memcpy(id.data(), kBoardId, id.size());
    return id;
}

struct Sent {
    uint64_t start_ns;
    Message message;
};

// The event a status message tells: bytes 20 to 23 and 24 to 25, big-endian.
uint32_t counter_of(const Message &m) {
    return uint32_t{m[20]} << 24 | uint32_t{m[21]} << 16 | uint32_t{m[22]} << 8 | m[23];
}
uint16_t origin_of(const Message &m) {
    return static_cast<uint16_t>(m[24] << 8 | m[25]);
}
// A relay's source, bytes 14 and 15; 0 in every other message.
uint16_t relayed_from_of(const Message &m) {
    return static_cast<uint16_t>(m[14] << 8 | m[15]);
}
// Its freshness: the epoch (26 to 29) and sequence (30, 31), big-endian, as one number.
uint64_t freshness_of(const Message &m) {
    uint64_t f = 0;
    for (size_t i = 26; i < 32; i++) f = f << 8 | m[i];
    return f;
}

class WirelessTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::unit_board();
        vb::set_flash_unique_id(kBoardId);
        status_init();
        settings_init();
        uart_tx_wait_blocking(uart1);
        console_before_init_ = vb::tx_count(test::kScreenUart);
        init_at_ns_ = vb::now_ns();
        const uint64_t ops = vb::flash_op_count();
        wireless_init();
        init_end_ns_ = vb::now_ns();
        const auto saved = vb::flash_ops(ops);
        init_save_ns_ = saved.empty() ? 0 : saved.back().end_ns - saved.front().start_ns;
        uart_tx_wait_blocking(uart1);
        console_from_ = vb::tx_count(test::kScreenUart);
        radio_from_ = vb::tx_count(kRadioUart);
    }

    // Calls wireless_poll as the main loop does, every kPollUs, until `t_ns`.
    void poll_until(uint64_t t_ns) {
        while (vb::now_ns() < t_ns) {
            wireless_poll();
            vb::advance_us(kPollUs);
        }
    }
    void poll_for_ms(uint64_t ms) { poll_until(vb::now_ns() + ms * kMsNs); }
    // Long quiet stretches, polled every millisecond (much faster).
    void idle_until(uint64_t t_ns) {
        while (vb::now_ns() < t_ns) {
            wireless_poll();
            vb::advance_us(kIdlePollUs);
        }
    }

    // Puts bytes on the module's output; returns when the last one has arrived.
    uint64_t deliver(const std::string &bytes) {
        vb::send_to_board(kRadioUart, bytes, kRadioBaud);
        return vb::board().uart[kRadioUart].wire_free_ns;
    }
    // Delivers bytes so that the last arrives at `t_ns`, polling meanwhile,
    // and polls a little beyond it.
    void deliver_at(const std::string &bytes, uint64_t t_ns) {
        poll_until(t_ns - vb::wire_ns(bytes.size(), kRadioBaud));
        deliver(bytes);
        poll_until(t_ns + 200000);
    }
    void deliver_and_poll(const std::string &bytes) {
        const uint64_t at = deliver(bytes);
        poll_until(at + 200000);
    }
    void press(const Message &m) { deliver_and_poll(peers::as_string(m)); }
    // A peer's status message arriving at `t_ns`; answers the fob state then.
    status_fob_t status_from(const peers::BoardId &id, uint8_t fob, uint32_t age, uint64_t t_ns) {
        deliver_at(peers::as_string(peers::status_message(kKey, id, fob, age)), t_ns);
        return status.in.fob;
    }
    // A peer's status message that carries its event's counter and origin.
    static Message event_message(const peers::BoardId &id, uint8_t fob, uint32_t age, uint32_t counter,
                                 uint16_t origin, uint16_t relayed_from = 0) {
        Message m = peers::status_message(kKey, id, fob, age);
        m[14] = static_cast<uint8_t>(relayed_from >> 8);
        m[15] = static_cast<uint8_t>(relayed_from);
        for (unsigned i = 0; i < 4; i++) m[20 + i] = static_cast<uint8_t>(counter >> (24 - 8 * i));
        m[24] = static_cast<uint8_t>(origin >> 8);
        m[25] = static_cast<uint8_t>(origin);
        return peers::seal(m, kKey);
    }
    void event_from(const peers::BoardId &id, uint8_t fob, uint32_t age, uint32_t counter, uint16_t origin,
                    uint64_t t_ns, uint16_t relayed_from = 0) {
        deliver_at(peers::as_string(event_message(id, fob, age, counter, origin, relayed_from)), t_ns);
    }
    // Plain peers 0x40 0 .. 0x40 n-1, each telling an old NONE: the board hears
    // them and changes nothing.
    void hear_plain_peers(uint8_t n) {
        for (uint8_t k = 0; k < n; k++) {
            status_from({0x40, k, 0, 0, 0, 0, 0, 0}, FOB_NONE, 5000, vb::now_ns() + 55 * kMsNs);
        }
    }

    std::string console(size_t from) {
        uart_tx_wait_blocking(uart1);
        return vb::tx_text(test::kScreenUart, from);
    }
    std::string console() { return console(console_from_); }
    // When each console line beginning with `text` started to leave.
    std::vector<uint64_t> line_times(const std::string &text) {
        uart_tx_wait_blocking(uart1);
        const auto bytes = vb::tx_bytes(test::kScreenUart, console_from_);
        const std::string all = vb::tx_text(test::kScreenUart, console_from_);
        std::vector<uint64_t> out;
        for (size_t at = 0; at < all.size(); at = all.find('\n', at) + 1) {
            if (all.compare(at, text.size(), text) == 0) out.push_back(bytes[at].start_ns);
            if (all.find('\n', at) == std::string::npos) break;
        }
        return out;
    }

    // The 48-byte messages the board has sent to the module since init.
    std::vector<Sent> sent() {
        uart_tx_wait_blocking(uart0);
        const auto bytes = vb::tx_bytes(kRadioUart, radio_from_);
        std::vector<Sent> out;
        for (size_t i = 0; i + 48 <= bytes.size(); i += 48) {
            Sent s{bytes[i].start_ns, {}};
            for (size_t k = 0; k < 48; k++) s.message[k] = bytes[i + k].value;
            out.push_back(s);
        }
        EXPECT_EQ(bytes.size() % 48, 0u);
        return out;
    }

    std::vector<Sent> sent_between(uint64_t from_ns, uint64_t to_ns) {
        std::vector<Sent> out;
        for (const Sent &m : sent()) {
            if (m.start_ns >= from_ns && m.start_ns < to_ns) out.push_back(m);
        }
        return out;
    }

    void pair(uint32_t counter) { settings_fobs_pair(kU1, kU2, kU3, counter); }
    Message fob(uint32_t counter) { return peers::fob_message(kKey, kU1, kU2, kU3, counter); }

    uint64_t init_at_ns_ = 0, init_end_ns_ = 0, init_save_ns_ = 0;
    size_t console_before_init_ = 0, console_from_ = 0, radio_from_ = 0;
};

// ---- start-up --------------------------------------------------------------------------------

TEST_F(WirelessTest, InitSetsUpTheUartPinsAndModule) {
    const vb::Board &b = vb::board();
    for (const unsigned pin : {16u, 17u}) {
        EXPECT_EQ(b.pins[pin].func, vb::kFuncUart);
        EXPECT_TRUE(b.pins[pin].pull_up);
        EXPECT_FALSE(b.pins[pin].pull_down);
    }
    for (const unsigned pin : {20u, 21u}) {
        EXPECT_EQ(b.pins[pin].func, vb::kFuncSio);
        EXPECT_TRUE(b.pins[pin].out_enable);
        EXPECT_FALSE(vb::level(pin)) << "normal mode at the end";
    }
    EXPECT_FALSE(b.pins[22].out_enable);
    EXPECT_TRUE(b.pins[22].pull_up);
    EXPECT_EQ(b.uart[kRadioUart].baud, kRadioBaud);  // 48 MHz divides to 9600 exactly
    EXPECT_EQ(console(console_before_init_), "LoRa done\r\n");

    // The configuration frame, all 12 bytes, sent in configuration mode
    // (M1 high, M0 low).
    const auto frame = vb::tx_bytes(kRadioUart, 0);
    ASSERT_EQ(frame.size(), 12u);
    const auto expected = peers::build_config_frame();
    for (size_t i = 0; i < 12; i++) {
        EXPECT_EQ(frame[i].value, expected[i]) << i;
        EXPECT_TRUE(frame[i].pins_start & (1u << 20)) << i;
        EXPECT_FALSE(frame[i].pins_start & (1u << 21)) << i;
    }
    EXPECT_EQ(expected[0], 0xC2);
    EXPECT_EQ(expected[8], 0x0D);

    // M1 up, 100 + 100 ms, the frame, 100 ms, M1 down, 100 ms, "LoRa done".
    std::vector<vb::PinEvent> m1, m0;
    for (const auto &e : vb::pin_events()) {
        if (e.pin == 20) m1.push_back(e);
        if (e.pin == 21) m0.push_back(e);
    }
    EXPECT_TRUE(m0.empty()) << "M0 stays low in both modes";
    ASSERT_EQ(m1.size(), 2u);
    EXPECT_TRUE(m1[0].level);
    EXPECT_FALSE(m1[1].level);
    EXPECT_GE(frame[0].start_ns, m1[0].t_ns + 200 * kMsNs);
    EXPECT_LE(frame[0].start_ns, m1[0].t_ns + 200 * kMsNs + 20000);
    EXPECT_GE(m1[1].t_ns, frame[0].start_ns + 100 * kMsNs);
    EXPECT_LE(m1[1].t_ns, frame[0].start_ns + 100 * kMsNs + 20000);
    const uint64_t done_at = vb::tx_bytes(test::kScreenUart, console_before_init_)[0].start_ns;
    EXPECT_GE(done_at, m1[1].t_ns + 100 * kMsNs);
    EXPECT_LE(done_at, m1[1].t_ns + 100 * kMsNs + 20000);
    // A little over 400 ms in all, and one save: the start's epoch.
    EXPECT_EQ(vb::flash_op_count(), 17u);
    EXPECT_GE(init_end_ns_ - init_at_ns_, 400 * kMsNs);
    EXPECT_LE(init_end_ns_ - init_at_ns_, 401 * kMsNs + init_save_ns_);
}

TEST_F(WirelessTest, ModeLinesCarryTheModeNumber) {
    const uint64_t t = vb::now_ns();
    lora_e220_set_mode(LORA_E220_MODE_WOR);
    EXPECT_TRUE(vb::level(21));
    EXPECT_FALSE(vb::level(20));
    EXPECT_GE(vb::now_ns() - t, 100 * kMsNs);
    lora_e220_set_mode(LORA_E220_MODE_SLEEP);
    EXPECT_TRUE(vb::level(21));
    EXPECT_TRUE(vb::level(20));
    lora_e220_set_mode(LORA_E220_MODE_NORMAL);
    EXPECT_FALSE(vb::level(21));
    EXPECT_FALSE(vb::level(20));
}

// ---- the status broadcast --------------------------------------------------------------------

// A board alone, knowing no event: it asks at once (a plain message with the
// age "no event", nothing beyond the age), then once in each interval, in its
// second half: intervals of 1 and 2 s, then of 64 s, 6 or 7 messages in 5
// minutes where a broadcast every 5 s made 50. Boards started together that
// ask at once never hear each other, and doubling intervals would fill the
// air with their questions for a minute.
TEST_F(WirelessTest, QuietBoardSpeaksOnceAnIntervalTheIntervalsGrowing) {
    idle_until(init_at_ns_ + 300000 * kMsNs);
    const auto s = sent();
    ASSERT_GE(s.size(), 6u);
    ASSERT_LE(s.size(), 7u);
    uint64_t start_ms = 0, interval_ms = 1000;
    for (size_t i = 0; i < s.size(); i++) {
        EXPECT_TRUE(peers::authentic(s[i].message, kKey));
        const auto f = peers::decode_status(s[i].message);
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(f->sender, board_id());
        EXPECT_EQ(f->kind, 0x0A);
        EXPECT_EQ(f->fob, FOB_NONE);
        EXPECT_EQ(f->age_ms, WIRELESS_AGE_NO_EVENT) << "no fob event yet";
        for (size_t zero = 14; zero < 26; zero++) {
            if (zero < 16 || zero >= 20) {
                EXPECT_EQ(s[i].message[zero], 0) << zero;
            }
        }
        EXPECT_EQ(freshness_of(s[i].message), (uint64_t{1} << 16) + i + 1) << "epoch 1, sequence from 1";
        const uint64_t at = s[i].start_ns - init_at_ns_;
        EXPECT_GE(at, (start_ms + interval_ms / 2) * kMsNs) << i;
        EXPECT_LT(at, (start_ms + interval_ms) * kMsNs + 2 * kMsNs) << i;
        EXPECT_LT((at - (start_ms + interval_ms / 2) * kMsNs) % kSlotNs, 2 * kMsNs) << i << ": on a slot";
        start_ms += interval_ms;
        interval_ms = interval_ms == 1000 ? 2000 : 64000;
    }
}

// Boards with other IDs draw other times, as does the same board later.
TEST_F(WirelessTest, FirstBroadcastTimeDependsOnTheBoardId) {
    std::vector<uint64_t> delays;
    for (const uint8_t last : {0xFE, 0xFF, 0xFE}) {
        uint8_t id[8];
        memcpy(id, kBoardId, sizeof id);
        id[7] = last;
        vb::set_flash_unique_id(id);
        const uint64_t at = vb::now_ns();
        wireless_init();
        radio_from_ = vb::tx_count(kRadioUart);
        poll_until(at + 1100 * kMsNs);
        ASSERT_EQ(sent().size(), 1u);
        delays.push_back(sent()[0].start_ns - at);
    }
    EXPECT_GT(std::max(delays[0], delays[1]) - std::min(delays[0], delays[1]), kMsNs);
    EXPECT_NE(delays[0], delays[2]);
}

// Bytes 0 to 19 as a plain board sends them; the event's counter (1 for the
// first this board knows of, then one more for each) in 20 to 23 and the
// origin tag of this board in 24 and 25; the rest zero.
TEST_F(WirelessTest, StatusMessageOfLockdown1234msAgo) {
    wireless_toggle();  // none to lockdown, now
    ASSERT_EQ(status.in.fob, FOB_LOCKDOWN);
    vb::advance_us(1234 * kMs);
    wireless_broadcast_status();
    wireless_toggle();
    wireless_broadcast_status();
    const auto s = sent();
    ASSERT_EQ(s.size(), 2u);
    const uint8_t expected[] = {0x0A, 0x01, 0x00, 0x00, 0x00, 0x00, 0x04, 0xD2, 0x00, 0x00,
                                0x00, 0x01, 0x55, 0x34, 0, 0, 0, 1, 0, 1};
    EXPECT_EQ(0, memcmp(s[0].message.data() + 12, expected, sizeof expected));
    Message plain = s[0].message;
    std::fill(plain.begin() + 20, plain.begin() + 32, 0);
    EXPECT_EQ(peers::seal(plain, kKey), peers::status_message(kKey, board_id(), FOB_LOCKDOWN, 1234));
    EXPECT_TRUE(peers::authentic(s[0].message, kKey));
    const uint8_t head[] = {0xFF, 0xFE, 0xFF, 0xFE, 0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    EXPECT_EQ(0, memcmp(s[0].message.data(), head, sizeof head));
    EXPECT_EQ(s[1].message[13], FOB_UNLOCK);
    EXPECT_EQ(counter_of(s[1].message), 2u);
    EXPECT_EQ(origin_of(s[1].message), kBoardTag);
}

// The code is a keyed BLAKE2b with a 16-byte digest (not a cut 64-byte one),
// checked against values computed with another implementation.
TEST_F(WirelessTest, MacIsKeyedBlake2bWithA16ByteDigest) {
    peers::Key key{};
    Message m{};
    for (size_t i = 0; i < 32; i++) {
        key[i] = static_cast<uint8_t>(i);
        m[i] = static_cast<uint8_t>(100 + i);
    }
    const Message sealed = peers::seal(m, key);
    EXPECT_EQ(peers::hex(sealed.data() + 32, 16), "A288A69370F0F6516F4CE53A73933F8C");
    // What a cut 64-byte digest would give instead.
    EXPECT_NE(peers::hex(sealed.data() + 32, 16), "9426828002CEB093AD9CA85585011414");
}

// The check starts from the keyed state kept after the key block; it must
// give Monocypher's one-shot keyed hash for every key and body, and accept
// exactly the messages that carry it.
TEST_F(WirelessTest, FastCheckMatchesTheOneShotKeyedHash) {
    std::mt19937 rng(20261208);
    for (int round = 0; round < 400; round++) {
        uint8_t key[WIRELESS_KEY_SIZE];
        for (uint8_t &b : key) b = static_cast<uint8_t>(rng());
        wireless_mac_key(key);
        for (int body = 0; body < 8; body++) {
            uint8_t msg[WIRELESS_MSG_SIZE];
            for (size_t i = 0; i < WIRELESS_BODY_SIZE; i++) msg[i] = static_cast<uint8_t>(rng());
            uint8_t expected[WIRELESS_MAC_SIZE];
            crypto_blake2b_general(expected, sizeof expected, key, sizeof key, msg, WIRELESS_BODY_SIZE);
            wireless_mac(msg + WIRELESS_BODY_SIZE, msg);
            ASSERT_EQ(memcmp(msg + WIRELESS_BODY_SIZE, expected, sizeof expected), 0) << round << " " << body;
            ASSERT_TRUE(wireless_message_authentic(msg));
            msg[rng() % WIRELESS_MSG_SIZE] ^= static_cast<uint8_t>(1u << (rng() % 8));
            ASSERT_FALSE(wireless_message_authentic(msg));
        }
    }
}

// ---- presses -----------------------------------------------------------------------------------

struct CounterCase {
    uint32_t received;
    bool accepted;
};

class CounterWindowTest : public WirelessTest, public ::testing::WithParamInterface<CounterCase> {};

TEST_P(CounterWindowTest, StoredTenAcceptsElevenTo209) {
    pair(10);
    const uint64_t ops = vb::flash_op_count();
    press(fob(GetParam().received));
    char line[64];
    snprintf(line, sizeof line, "MSG FROM 0a0b0c0d11223344cafef00d %d\r\n", static_cast<int>(GetParam().received));
    const std::string text = console();
    EXPECT_EQ(text.rfind(line, 0), 0u) << text;
    if (GetParam().accepted) {
        EXPECT_EQ(text, std::string(line) + "TOGGLE!\r\n");
        EXPECT_EQ(status.in.fob, FOB_LOCKDOWN);
        EXPECT_EQ(settings_fobs_find(kU1, kU2, kU3)->counter, GetParam().received);
        EXPECT_EQ(vb::flash_op_count(), ops + 17) << "the new counter is saved";
    } else {
        EXPECT_EQ(text, line);
        EXPECT_EQ(status.in.fob, FOB_NONE);
        EXPECT_EQ(settings_fobs_find(kU1, kU2, kU3)->counter, 10u);
        EXPECT_EQ(vb::flash_op_count(), ops);
    }
}

INSTANTIATE_TEST_SUITE_P(Window, CounterWindowTest,
                         ::testing::Values(CounterCase{11, true}, CounterCase{209, true}, CounterCase{10, false},
                                           CounterCase{9, false}, CounterCase{210, false},
                                           CounterCase{0xFFFFFFFF, false}, CounterCase{0, false}));

TEST_F(WirelessTest, HoldOffThenUnlockAndFallBack) {
    pair(0);
    press(fob(1));
    ASSERT_EQ(status.in.fob, FOB_LOCKDOWN);
    // The toggle follows the message's console line at once.
    const uint64_t toggled = line_times("MSG FROM").at(0);
    poll_for_ms(2600);
    // At once after a random delay, and again in the first 2 s interval.
    auto s = sent_between(toggled, sent_between(toggled, vb::now_ns()).at(0).start_ns + 2000 * kMsNs);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(peers::decode_status(s[0].message)->fob, FOB_LOCKDOWN);
    EXPECT_NEAR(peers::decode_status(s[0].message)->age_ms, (s[0].start_ns - toggled) / kMsNs, 1);
    // The delay counts from the toggle, before the press's flash save.
    EXPECT_GE(s[0].start_ns, vb::flash_ops().back().end_ns);
    EXPECT_GE(s[1].start_ns + 2 * kMsNs, s[0].start_ns + 1000 * kMsNs);
    EXPECT_LE(s[1].start_ns, s[0].start_ns + 2000 * kMsNs + 2 * kMsNs);
    // On slots counted from the toggle, as every board that heard the press counts them.
    const uint64_t first_slot = toggled + WIRELESS_SLOT_LEAD_MS * kMsNs;
    EXPECT_LE(s[0].start_ns, first_slot + kSlotNs + 2 * kMsNs);
    EXPECT_LT((s[0].start_ns - first_slot) % kSlotNs, 2 * kMsNs);
    EXPECT_LT((s[1].start_ns - first_slot) % kSlotNs - 1000 * kMsNs % kSlotNs, 2 * kMsNs);

    // 3 s later: accepted (the counter moves on) but no toggle.
    deliver_at(peers::as_string(fob(2)), toggled + 3000 * kMsNs);
    EXPECT_EQ(status.in.fob, FOB_LOCKDOWN);
    EXPECT_EQ(settings_fobs_find(kU1, kU2, kU3)->counter, 2u);
    EXPECT_EQ(line_times("TOGGLE!").size(), 1u);

    // 7 s after the first toggle: unlock, broadcast, and 2 s later none.
    deliver_at(peers::as_string(fob(3)), toggled + 7100 * kMsNs);
    ASSERT_EQ(status.in.fob, FOB_UNLOCK);
    ASSERT_EQ(line_times("TOGGLE!").size(), 2u);
    const uint64_t unlocked = line_times("MSG FROM").at(2);
    poll_until(unlocked + 1999 * kMsNs);
    EXPECT_EQ(status.in.fob, FOB_UNLOCK);
    // (The toggle came a little over 1 ms after its message's console line.)
    poll_until(unlocked + 2003 * kMsNs);
    EXPECT_EQ(status.in.fob, FOB_NONE);
    poll_until(unlocked + 4600 * kMsNs);
    // The unlock on the air before the fall-back (its repeat only if it comes
    // in time), the fall-back at once after a random delay and again in the
    // first interval.
    s = sent_between(unlocked, unlocked + 4600 * kMsNs);
    const size_t unlocks = s.size() - 2;
    ASSERT_TRUE(unlocks == 1 || unlocks == 2) << s.size();
    for (size_t i = 0; i < s.size(); i++) {
        const auto f = peers::decode_status(s[i].message);
        EXPECT_EQ(f->fob, i < unlocks ? FOB_UNLOCK : FOB_NONE) << i;
        EXPECT_EQ(counter_of(s[i].message), i < unlocks ? 2u : 3u) << i;
    }
    EXPECT_LE(s[0].start_ns, unlocked + (WIRELESS_SLOT_LEAD_MS + WIRELESS_SLOT_MS + 2) * kMsNs);
    EXPECT_LT(s[unlocks - 1].start_ns, unlocked + 2000 * kMsNs) << "sent before the fall-back";
    const Sent none = s[unlocks];
    EXPECT_GE(none.start_ns, unlocked + 2000 * kMsNs);
    EXPECT_LE(none.start_ns, unlocked + (2003 + WIRELESS_SLOT_LEAD_MS + WIRELESS_SLOT_MS) * kMsNs);
    // The fall-back is the last fob event.
    const uint32_t since_unlocked_ms = static_cast<uint32_t>((none.start_ns - unlocked) / kMsNs);
    EXPECT_LE(peers::decode_status(none.message)->age_ms, since_unlocked_ms - 2000);
    EXPECT_GE(peers::decode_status(none.message)->age_ms, since_unlocked_ms - 2003);
}

// After its own event's first broadcast a board that hears a peer tell the
// event back stays silent in the 2 s interval and then takes the longest at
// once; without the echo it speaks again in that interval and once anywhere
// in the next 16 s, and then takes the longest.
class EchoTest : public WirelessTest, public ::testing::WithParamInterface<bool> {};

TEST_P(EchoTest, AnEchoedEventEndsTheShortIntervals) {
    const bool echo = GetParam();
    const peers::BoardId p1{1, 1, 1, 1, 1, 1, 1, 1};
    pair(0);
    press(fob(1));
    poll_for_ms(600);
    const Sent first = sent().back();
    if (echo) event_from(p1, FOB_LOCKDOWN, 0, counter_of(first.message), kBoardTag, first.start_ns + 800 * kMsNs);
    poll_until(first.start_ns + 34000 * kMsNs);
    // Without the echo: again in [1 s, 2 s) and [2 s, 18 s), then in [50 s, 82 s).
    EXPECT_EQ(sent_between(first.start_ns + 1, vb::now_ns()).size(), echo ? 0u : 2u);
    idle_until(first.start_ns + 82100 * kMsNs);
    EXPECT_EQ(sent_between(first.start_ns + 1, vb::now_ns()).size(), echo ? 1u : 3u);
}

INSTANTIATE_TEST_SUITE_P(EchoOrNot, EchoTest, ::testing::Bool());

// What a peer tells 60 ms after this board's press, before its first
// broadcast. The same news under either name (the peer toggled on the same
// press) is on the air already: nothing is sent within the next 30 s. A
// question is answered by the event's own broadcast alone, within the second.
struct EarlyCase {
    uint32_t counter;  // 0: a question (no event)
    uint16_t origin;
    size_t sent;       // in the second after the press
};

class EarlyNewsTest : public WirelessTest, public ::testing::WithParamInterface<EarlyCase> {};

TEST_P(EarlyNewsTest, PeersNewsBeforeTheFirstBroadcast) {
    const EarlyCase c = GetParam();
    const peers::BoardId p1{1, 1, 1, 1, 1, 1, 1, 1};
    pair(0);
    press(fob(1));
    const uint64_t pressed = vb::now_ns(), told = pressed + 60 * kMsNs;
    if (c.counter == 0) {
        status_from(p1, FOB_NONE, WIRELESS_AGE_NO_EVENT, told);
    } else {
        event_from(p1, FOB_LOCKDOWN, 100, c.counter, c.origin, told);
    }
    ASSERT_TRUE(sent_between(pressed - 100 * kMsNs, told).empty()) << "the first broadcast is still due";
    poll_until(pressed + 1000 * kMsNs);
    EXPECT_EQ(sent_between(told, vb::now_ns()).size(), c.sent);
    if (c.counter != 0) {
        poll_until(pressed + 30000 * kMsNs);
        EXPECT_TRUE(sent_between(told, vb::now_ns()).empty());
    }
    EXPECT_EQ(status.in.fob, FOB_LOCKDOWN);
}

INSTANTIATE_TEST_SUITE_P(SameNewsOrQuestion, EarlyNewsTest,
                         ::testing::Values(EarlyCase{1, 0xFFFF, 0}, EarlyCase{1, 0x0001, 0}, EarlyCase{0, 0, 1}));

class HoldOffEdgeTest : public WirelessTest, public ::testing::WithParamInterface<int64_t> {};

// A press whose last byte arrives just before the 7000 ms hold-off ends does
// not toggle; one just after it does. Either way the counter is saved.
TEST_P(HoldOffEdgeTest, SecondToggleNeedsSevenSeconds) {
    pair(0);
    press(fob(1));
    const uint64_t toggled = line_times("MSG FROM").at(0);
    deliver_at(peers::as_string(fob(2)), toggled + 7000 * kMsNs + GetParam());
    EXPECT_EQ(status.in.fob, GetParam() < 0 ? FOB_LOCKDOWN : FOB_UNLOCK);
    EXPECT_EQ(settings_fobs_find(kU1, kU2, kU3)->counter, 2u);
}

INSTANTIATE_TEST_SUITE_P(Edges, HoldOffEdgeTest, ::testing::Values(-1000000, 2000000));

TEST_F(WirelessTest, PressFromNoneLocksDownWithoutFallBack) {
    pair(0);
    press(fob(1));
    const uint64_t toggled = line_times("MSG FROM").at(0);
    poll_for_ms(10000);
    EXPECT_EQ(status.in.fob, FOB_LOCKDOWN);
    for (const auto &m : sent_between(toggled, vb::now_ns())) EXPECT_EQ(peers::decode_status(m.message)->fob, FOB_LOCKDOWN);
}

// ---- status messages from peers ----------------------------------------------------------------

struct AdoptCase {
    uint32_t their_age;
    bool adopted;
};

class AdoptionTest : public WirelessTest, public ::testing::WithParamInterface<AdoptCase> {};

// This board's last fob event (a lock) was 15000 ms ago when the peer's
// message is handled: adopted only if the peer's is more than 10000 ms more
// recent. (The message's console line comes first and takes about 1 ms to
// enter the console FIFO.)
TEST_P(AdoptionTest, PeerStateAdoptedOnlyWhenClearlyMoreRecent) {
    wireless_toggle();
    const Message m = peers::status_message(kKey, {1, 2, 3, 4, 5, 6, 7, 8}, FOB_UNLOCK, GetParam().their_age);
    deliver_at(peers::as_string(m), vb::now_ns() + 15000 * kMsNs - 700000);
    const std::string text = console();
    EXPECT_NE(text.find("MSG FROM fefffeff0403020108070605 167903232\r\n"), std::string::npos) << text;
    if (GetParam().adopted) {
        EXPECT_EQ(status.in.fob, FOB_UNLOCK);
        EXPECT_EQ(text.substr(text.size() - 21), "RESET FOB STATUS TO 2") << "no line end";
    } else {
        EXPECT_EQ(status.in.fob, FOB_LOCKDOWN);
        EXPECT_EQ(text.find("RESET"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Ages, AdoptionTest,
                         ::testing::Values(AdoptCase{2000, true}, AdoptCase{6000, false}, AdoptCase{20000, false},
                                           AdoptCase{4999, true}, AdoptCase{5000, false},
                                           AdoptCase{15000, false}));

// A board's start is no fob event: until its first, it offers peers no
// state (a restarted cabinet must not cancel their lockdown) and takes any
// event a peer knows, however old (so that it joins their lockdown).
TEST_F(WirelessTest, ABoardThatKnowsNoFobEventTakesAnyPeersEvent) {
    auto from = [&](uint8_t id, uint8_t fob, uint32_t age, uint64_t at_ms) {
        return status_from({id, 0, 0, 0, 0, 0, 0, 0}, fob, age, init_end_ns_ + at_ms * kMsNs);
    };
    EXPECT_EQ(from(1, FOB_LOCKDOWN, WIRELESS_AGE_NO_EVENT, 1000), FOB_NONE) << "a peer that knows none either";
    EXPECT_EQ(from(2, FOB_LOCKDOWN, 3600000, 2000), FOB_LOCKDOWN) << "an hour old";
    EXPECT_EQ(from(3, FOB_NONE, WIRELESS_AGE_NO_EVENT, 40000), FOB_LOCKDOWN) << "a restarted peer";
    const auto s = sent();
    ASSERT_FALSE(s.empty());
    const uint32_t age = peers::decode_status(s.back().message)->age_ms;
    EXPECT_NEAR(age, (s.back().start_ns - init_end_ns_) / kMsNs - 2000, 5) << "since the adoption";
}

// A plain peer's state is taken up as a new event of this board's (counter 1,
// its own tag, stamped now as a plain board stamps it) and relayed once
// within the answer window of one peer; no fall-back, and the schedule goes
// on where it was (interval [7 s, 15 s) from start: its message in [11, 15)).
TEST_F(WirelessTest, AdoptedUnlockStaysAndIsRelayedOnce) {
    const Message m = peers::status_message(kKey, {9, 9, 9, 9, 9, 9, 9, 9}, FOB_UNLOCK, 100);
    deliver_at(peers::as_string(m), init_at_ns_ + 8000 * kMsNs);
    ASSERT_EQ(status.in.fob, FOB_UNLOCK);
    const uint64_t adopted = vb::now_ns();
    poll_until(init_at_ns_ + 10900 * kMsNs);
    EXPECT_EQ(status.in.fob, FOB_UNLOCK) << "no fall-back after an adoption";
    const auto s = sent_between(init_at_ns_ + 8000 * kMsNs, init_at_ns_ + 10900 * kMsNs);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_LE(s[0].start_ns, adopted + WIRELESS_ANSWER_MIN_MS * kMsNs);
    EXPECT_EQ(peers::decode_status(s[0].message)->fob, FOB_UNLOCK);
    EXPECT_EQ(counter_of(s[0].message), 1u);
    EXPECT_EQ(origin_of(s[0].message), kBoardTag);
    // The adoption, after its two console lines, was this board's last fob event.
    const uint32_t age = peers::decode_status(s[0].message)->age_ms;
    EXPECT_LE(age, (s[0].start_ns - init_at_ns_) / kMsNs - 8000);
    EXPECT_GE(age, (s[0].start_ns - init_at_ns_) / kMsNs - 8000 - 4);
}

// After an adoption the board follows that peer's later events (its event
// time: receive time less its age), not other peers' nor repeats of one event.
TEST_F(WirelessTest, FollowsTheAdoptedPeersLaterEvents) {
    const peers::BoardId peer{5, 5, 5, 5, 5, 5, 5, 5}, other{6, 6, 6, 6, 6, 6, 6, 6};
    const uint64_t t = init_at_ns_ + 12000 * kMsNs;
    auto from = [&](const peers::BoardId &id, uint8_t fob, uint32_t age, uint64_t at_ms) {
        return status_from(id, fob, age, t + at_ms * kMsNs);
    };
    EXPECT_EQ(from(peer, FOB_LOCKDOWN, 100, 0), FOB_LOCKDOWN) << "by the margin";
    // The same event, later by up to 200 ms each time (the jitter tracked).
    EXPECT_EQ(from(peer, FOB_NONE, 5100, 5000), FOB_LOCKDOWN);
    EXPECT_EQ(from(peer, FOB_NONE, 5900, 6000), FOB_LOCKDOWN);
    EXPECT_EQ(from(peer, FOB_NONE, 6200, 6500), FOB_LOCKDOWN);
    EXPECT_EQ(from(other, FOB_UNLOCK, 0, 7000), FOB_LOCKDOWN) << "other peers need the margin";
    EXPECT_EQ(from(peer, FOB_UNLOCK, 0, 7500), FOB_UNLOCK);
    EXPECT_EQ(from(peer, FOB_NONE, 1000, 9500), FOB_NONE);
    EXPECT_EQ(from(peer, FOB_UNLOCK, 5000, 10000), FOB_NONE) << "an older event";
    const std::string text = console();
    size_t adoptions = 0;
    for (size_t at = text.find("RESET"); at != std::string::npos; at = text.find("RESET", at + 1)) adoptions++;
    EXPECT_EQ(adoptions, 3u) << text;
    // The board's own event ends the following.
    wireless_toggle();
    EXPECT_EQ(from(peer, FOB_UNLOCK, 0, 11000), FOB_LOCKDOWN);
}

// ---- events told with their counter and origin ------------------------------------------------

struct EventCase {
    uint32_t counter;  // 0: a plain message (no counter)
    uint16_t origin;
    uint8_t fob;
    uint32_t age;
    status_fob_t state;      // this board's afterwards
    uint32_t told_counter;   // what it tells within the answer window; 0: nothing
    uint16_t told_origin;
    uint32_t after_ms = 1000;  // when peer 2 tells it, after peer 1's event
};

class EventOrderTest : public WirelessTest, public ::testing::WithParamInterface<EventCase> {};

// 64 s after start (its schedule's next message 32 s off), the board takes
// peer 1's event (5, 0x1000, lockdown), told 100 ms after it happened, and
// relays it; 1 s later peer 2 tells the row's. A higher (counter, origin) is
// taken up and relayed, the same event changes nothing, an older one is
// answered with this board's, each within the window of two peers (1.2 s).
TEST_P(EventOrderTest, NewerTakenSameQuietOlderAnswered) {
    const EventCase c = GetParam();
    const peers::BoardId p1{1, 1, 1, 1, 1, 1, 1, 1}, p2{2, 2, 2, 2, 2, 2, 2, 2};
    const uint64_t t = init_at_ns_ + 64000 * kMsNs;
    idle_until(t - 100 * kMsNs);
    event_from(p1, FOB_LOCKDOWN, 100, 5, 0x1000, t);
    ASSERT_EQ(status.in.fob, FOB_LOCKDOWN);
    poll_until(t + 900 * kMsNs);
    auto s = sent_between(t - 100 * kMsNs, t + 1000 * kMsNs);
    ASSERT_EQ(s.size(), 1u) << "relayed once";
    EXPECT_LE(s[0].start_ns, t + WIRELESS_ANSWER_MIN_MS * kMsNs);
    EXPECT_EQ(counter_of(s[0].message), 5u);
    EXPECT_EQ(origin_of(s[0].message), 0x1000);
    EXPECT_EQ(relayed_from_of(s[0].message), kPeer1Tag);
    // The age counts from the event: the message's 100 ms, its way to this
    // board and the time since, with no new stamp.
    const uint32_t since_ms = static_cast<uint32_t>((s[0].start_ns - t) / kMsNs);
    EXPECT_NEAR(peers::decode_status(s[0].message)->age_ms, 100 + WIRELESS_STATUS_TRANSIT_MS + since_ms, 3);

    const uint64_t t2 = t + c.after_ms * kMsNs;
    if (c.counter == 0) {
        status_from(p2, c.fob, c.age, t2);
    } else {
        event_from(p2, c.fob, c.age, c.counter, c.origin, t2);
    }
    poll_until(t2 + 2 * WIRELESS_ANSWER_PER_PEER_MS * kMsNs);
    EXPECT_EQ(status.in.fob, c.state);
    s = sent_between(t2 - 100 * kMsNs, vb::now_ns());
    if (c.told_counter == 0) {
        EXPECT_TRUE(s.empty());
    } else {
        ASSERT_EQ(s.size(), 1u);
        EXPECT_EQ(counter_of(s[0].message), c.told_counter);
        EXPECT_EQ(origin_of(s[0].message), c.told_origin);
        EXPECT_EQ(s[0].message[13], c.state);
        const bool reply = c.told_counter == 5 && c.told_origin == 0x1000;
        EXPECT_EQ(relayed_from_of(s[0].message), reply ? 0 : kPeer2Tag) << "a relay names its source";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Events, EventOrderTest,
    ::testing::Values(EventCase{6, 0x0001, FOB_NONE, 50, FOB_NONE, 6, 0x0001},            // newer counter
                      EventCase{5, 0x2000, FOB_UNLOCK, 50, FOB_UNLOCK, 5, 0x2000},        // newer origin
                      EventCase{5, 0x1000, FOB_LOCKDOWN, 900, FOB_LOCKDOWN, 0, 0},        // the same
                      EventCase{5, 0x0FFF, FOB_NONE, 0, FOB_LOCKDOWN, 5, 0x1000},         // older origin
                      // The same news under another name (toggled on the same press): quiet.
                      EventCase{5, 0x2000, FOB_LOCKDOWN, 50, FOB_LOCKDOWN, 0, 0},
                      EventCase{5, 0x0FFF, FOB_LOCKDOWN, 50, FOB_LOCKDOWN, 0, 0},
                      EventCase{4, 0xFFFF, FOB_UNLOCK, 0, FOB_LOCKDOWN, 5, 0x1000},       // older counter
                      // Peer 2's own press, made from a stale counter (0xC78B is its tag):
                      // within the margin of ours it is old news, past it a fresh press,
                      // taken up under the next counter.
                      EventCase{4, 0xC78B, FOB_UNLOCK, 0, FOB_LOCKDOWN, 5, 0x1000},
                      EventCase{4, 0xC78B, FOB_UNLOCK, 0, FOB_UNLOCK, 6, 0xC78B, 4000},
                      // An unlock is relayed, but not from its maker once that has fallen back
                      // (it tells that itself); taken from a relay, it still goes on.
                      EventCase{6, 0xC78B, FOB_UNLOCK, 100, FOB_UNLOCK, 6, 0xC78B},
                      EventCase{6, 0xC78B, FOB_UNLOCK, 1700, FOB_UNLOCK, 0, 0},
                      EventCase{6, 0x2000, FOB_UNLOCK, 1700, FOB_UNLOCK, 6, 0x2000},
                      EventCase{0, 0, FOB_NONE, 0, FOB_LOCKDOWN, 0, 0},                   // plain, within the margin
                      EventCase{0, 0, FOB_NONE, WIRELESS_AGE_NO_EVENT, FOB_LOCKDOWN, 5, 0x1000},  // a question
                      EventCase{0, 0, FOB_LOCKDOWN, WIRELESS_AGE_NO_EVENT, FOB_LOCKDOWN, 0, 0}));  // nothing to tell

struct SuppressCase {
    bool reply;            // a reply to old news (else a relay of peer 1's event)
    bool from_source;      // the same event then told by peer 1 (else by peer 3)
    bool sent;
};

class SuppressionTest : public WirelessTest, public ::testing::WithParamInterface<SuppressCase> {};

// Having heard 30 peers, the board answers within 30 x 616 ms (18.5 s). A
// relay is dropped when a board other than its source tells the event first;
// a reply when any board does.
TEST_P(SuppressionTest, AnswerDroppedWhenAnotherBoardSpeaksFirst) {
    const SuppressCase c = GetParam();
    const peers::BoardId p1{1, 1, 1, 1, 1, 1, 1, 1}, p3{3, 3, 3, 3, 3, 3, 3, 3};
    uint64_t t = init_at_ns_ + 64000 * kMsNs;
    idle_until(t - 2000 * kMsNs);
    hear_plain_peers(28);
    event_from(p1, FOB_LOCKDOWN, 100, 5, 0x1000, t);
    status_from(p3, FOB_NONE, 0, t + 60 * kMsNs);  // the 30th peer
    if (c.reply) {
        poll_until(t + 20000 * kMsNs);  // the relay goes out
        t = vb::now_ns();
        event_from(p1, FOB_NONE, 0, 4, 0x1000, t + 55 * kMsNs);  // old news
    }
    const uint64_t heard_from = vb::now_ns();
    event_from(c.from_source ? p1 : p3, FOB_LOCKDOWN, 100, 5, 0x1000, heard_from + 60 * kMsNs);
    poll_until(heard_from + 30 * WIRELESS_ANSWER_PER_PEER_MS * kMsNs);
    EXPECT_EQ(sent_between(heard_from, vb::now_ns()).size(), c.sent ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Answers, SuppressionTest,
                         ::testing::Values(SuppressCase{false, false, false}, SuppressCase{false, true, true},
                                           SuppressCase{true, false, false}, SuppressCase{true, true, false}));

struct CrowdCase {
    bool maker;             // told again by peer 1, the event's maker (else by peer 3)
    uint16_t relayed_from;  // its bytes 14 and 15
    uint32_t age;
    bool calmed;  // then 34 more events of peer 1's, each told by peer 3 before this board's relay
    bool doubled;
};

class CrowdTest : public WirelessTest, public ::testing::WithParamInterface<CrowdCase> {};

// Having heard 30 peers, the board relays peer 1's event; then the row's
// peer tells it again. A relay taken from another board than this one, or
// the maker trying again (within 32 s of the event), shows that the board's
// relay met others on the air: it reckons with 60 peers, and its replies to
// eight questions spread past the 30 peers' 18.5 s. Otherwise they stay
// within, as they do again once another board has told 34 events before it
// (one fewer peer each: a few may come after its relay, in its first slot).
TEST_P(CrowdTest, RelayNotHeardDoublesTheWindow) {
    const CrowdCase c = GetParam();
    const peers::BoardId p1{1, 1, 1, 1, 1, 1, 1, 1}, p3{3, 3, 3, 3, 3, 3, 3, 3};
    const uint64_t t = init_at_ns_ + 64000 * kMsNs;
    idle_until(t - 2000 * kMsNs);
    hear_plain_peers(28);
    event_from(p1, FOB_LOCKDOWN, 100, 5, kPeer1Tag, t);
    status_from(p3, FOB_NONE, 0, t + 60 * kMsNs);  // the 30th peer
    poll_until(t + 20000 * kMsNs);
    ASSERT_EQ(sent_between(t, vb::now_ns()).size(), 1u) << "relayed";
    event_from(c.maker ? p1 : p3, FOB_LOCKDOWN, c.age, 5, kPeer1Tag, vb::now_ns() + 60 * kMsNs, c.relayed_from);
    for (uint32_t counter = 6; c.calmed && counter < 40; counter++) {
        const uint8_t fob = counter % 2 ? FOB_UNLOCK : FOB_LOCKDOWN;  // never the questions' NONE
        event_from(p1, fob, 100, counter, kPeer1Tag, vb::now_ns() + 60 * kMsNs);
        event_from(p3, fob, 500, counter, kPeer1Tag, vb::now_ns() + 60 * kMsNs);
    }
    uint64_t latest_ms = 0;
    for (int k = 0; k < 8; k++) {
        const uint64_t asked = vb::now_ns() + 60 * kMsNs;
        status_from({0x40, 0, 0, 0, 0, 0, 0, 0}, FOB_NONE, WIRELESS_AGE_NO_EVENT, asked);
        idle_until(asked + (2 * 30 * WIRELESS_ANSWER_PER_PEER_MS + WIRELESS_SLOT_MS) * kMsNs);
        const auto s = sent_between(asked, vb::now_ns());
        ASSERT_FALSE(s.empty()) << "each question answered";
        if (s.size() > 1) continue;  // the schedule's own broadcast came too: which is which?
        latest_ms = std::max(latest_ms, (s[0].start_ns - asked) / kMsNs);
    }
    EXPECT_EQ(latest_ms > 30 * WIRELESS_ANSWER_PER_PEER_MS + WIRELESS_SLOT_LEAD_MS, c.doubled) << latest_ms;
}

INSTANTIATE_TEST_SUITE_P(Retold, CrowdTest,
                         ::testing::Values(CrowdCase{false, kPeer1Tag, 20000, false, true},  // relayed from the maker
                                           CrowdCase{false, kBoardTag, 20000, false, false},  // from this board
                                           CrowdCase{false, 0, 20000, false, false},          // a reply
                                           CrowdCase{true, 0, 20000, false, true},            // the maker's late try
                                           CrowdCase{true, 0, 40000, false, false},           // its longest interval
                                           CrowdCase{false, kPeer1Tag, 20000, true, false}));

// ---- freshness: recorded status messages played back --------------------------------------------

// A status message of a board that tells its freshness: epoch and sequence in
// bytes 26 to 31 (epoch 0: none, as older boards send).
Message fresh_message(const peers::BoardId &id, uint8_t fob, uint32_t counter, uint16_t origin, uint32_t epoch,
                      uint16_t sequence, uint32_t age = 100) {
    Message m = peers::status_message(kKey, id, fob, age);
    for (unsigned i = 0; i < 4; i++) {
        m[20 + i] = static_cast<uint8_t>(counter >> (24 - 8 * i));
        m[26 + i] = static_cast<uint8_t>(epoch >> (24 - 8 * i));
    }
    m[24] = static_cast<uint8_t>(origin >> 8);
    m[25] = static_cast<uint8_t>(origin);
    m[30] = static_cast<uint8_t>(sequence >> 8);
    m[31] = static_cast<uint8_t>(sequence);
    return peers::seal(m, kKey);
}

struct ReplayCase {
    const char *what;
    Message played;
    status_fob_t state;    // this board's afterwards
    bool relock = false;   // peer P locks down again (3, epoch 5, sequence 3) before the playback
    bool restart = false;  // this board restarts before the playback
};

void PrintTo(const ReplayCase &c, std::ostream *os) {
    *os << c.what;
}

const peers::BoardId kP{2, 2, 2, 2, 2, 2, 2, 2}, kQ{3, 3, 3, 3, 3, 3, 3, 3};
constexpr uint16_t kTagP = 0xC78B;  // the origin tag of kP
// Peer P's messages as recorded on the air, each told 100 ms after its press.
const Message kPLock = fresh_message(kP, FOB_LOCKDOWN, 1, kTagP, 5, 1);
const Message kPNone = fresh_message(kP, FOB_NONE, 2, kTagP, 5, 2);

Message stripped(Message m) {
    std::fill(m.begin() + 26, m.begin() + 32, 0);
    return m;
}

class ReplayTest : public WirelessTest, public ::testing::WithParamInterface<ReplayCase> {};

// Peer P presses: a lockdown at 3 s, none at 18 s (optionally a lockdown
// again at 30 s); the board follows. At 58 s the row's message is played.
TEST_P(ReplayTest, RecordedStatusChangesNothing) {
    const ReplayCase c = GetParam();
    SCOPED_TRACE(c.what);
    deliver_at(peers::as_string(kPLock), init_at_ns_ + 3000 * kMsNs);
    ASSERT_EQ(status.in.fob, FOB_LOCKDOWN);
    deliver_at(peers::as_string(kPNone), init_at_ns_ + 18000 * kMsNs);
    ASSERT_EQ(status.in.fob, FOB_NONE);
    if (c.relock) {
        deliver_at(peers::as_string(fresh_message(kP, FOB_LOCKDOWN, 3, kTagP, 5, 3)), init_at_ns_ + 30000 * kMsNs);
        ASSERT_EQ(status.in.fob, FOB_LOCKDOWN);
    }
    uint64_t at = init_at_ns_ + 58000 * kMsNs;
    if (c.restart) {
        poll_until(init_at_ns_ + 30000 * kMsNs);
        test::unit_board();
        status_init();
        settings_init();
        wireless_init();
        at = vb::now_ns() + 28000 * kMsNs;
    }
    const size_t from = vb::tx_count(test::kScreenUart);
    const status_fob_t before = status.in.fob;
    deliver_at(peers::as_string(c.played), at);
    poll_until(at + 2000 * kMsNs);
    EXPECT_EQ(status.in.fob, c.state);
    EXPECT_EQ(console(from).find("RESET") == std::string::npos, c.state == before) << console(from);
}

INSTANTIATE_TEST_SUITE_P(
    Freshness, ReplayTest,
    ::testing::Values(
        ReplayCase{"P's lockdown 40 s after its none", kPLock, FOB_NONE},
        ReplayCase{"P's none during its later lockdown", kPNone, FOB_LOCKDOWN, true},
        ReplayCase{"P's lockdown after this board restarted: the event kept in flash", kPLock, FOB_NONE, false, true},
        ReplayCase{"P's none after this board restarted in P's later lockdown", kPNone, FOB_LOCKDOWN, true, true},
        ReplayCase{"a message of P's earlier boot", fresh_message(kP, FOB_LOCKDOWN, 1, kTagP, 4, 9), FOB_NONE},
        ReplayCase{"freshness equal to P's last", fresh_message(kP, FOB_LOCKDOWN, 1, kTagP, 5, 2), FOB_NONE},
        ReplayCase{"P's lockdown, fields stripped: fails its code", stripped(kPLock), FOB_NONE},
        ReplayCase{"P's lockdown, authentic without fields", peers::seal(stripped(kPLock), kKey), FOB_NONE},
        ReplayCase{"P's plain lockdown, authentic", peers::status_message(kKey, kP, FOB_LOCKDOWN, 100), FOB_NONE},
        // Taken: P's next boot, its sequence from 1, and a board that never told freshness.
        ReplayCase{"P's later lockdown after its restart", fresh_message(kP, FOB_LOCKDOWN, 3, kTagP, 6, 1),
                   FOB_LOCKDOWN},
        ReplayCase{"P's later lockdown after both restarted", fresh_message(kP, FOB_LOCKDOWN, 3, kTagP, 6, 1),
                   FOB_LOCKDOWN, false, true},
        ReplayCase{"a plain board's lockdown: replayable, as it tells no freshness",
                   peers::status_message(kKey, kQ, FOB_LOCKDOWN, 100), FOB_LOCKDOWN}));

// Both boards restart 100 times, this one with its power cut during the
// start's save one time in four. Its broadcasts' freshness rises across all
// of them, so a peer's guard never drops one; every genuine message of the
// peer, from its next boot with its sequence starting again, is taken.
TEST_F(WirelessTest, PowerCyclesOfBothBoardsLoseNoGenuineMessage) {
    std::mt19937_64 rng(24);
    uint64_t last_sent = 0;
    unsigned cuts = 0, broadcasts = 0;
    for (uint32_t cycle = 1; cycle <= 100; cycle++) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        test::unit_board();
        status_init();
        settings_init();
        if (rng() % 4 == 0) {
            vb::flash_cut_power(rng() % 17, vb::CutPoint::Inside, 0.5, rng());
            EXPECT_THROW(wireless_init(), vb::PowerCutException);
            cuts++;
            test::unit_board();
            status_init();
            settings_init();
        }
        wireless_init();
        radio_from_ = vb::tx_count(kRadioUart);
        const uint64_t start = vb::now_ns();
        // The peer's first message of its boot `cycle + 10`: a new event, each a higher counter.
        const uint8_t fob = cycle % 2 == 0 ? FOB_NONE : FOB_LOCKDOWN;
        const uint16_t sequence = static_cast<uint16_t>(1 + rng() % 3);
        deliver_at(peers::as_string(fresh_message(kP, fob, cycle, kTagP, cycle + 10, sequence)),
                   start + 1500 * kMsNs);
        ASSERT_EQ(status.in.fob, fob);
        poll_until(start + 3000 * kMsNs);
        for (const Sent &s : sent()) {
            EXPECT_GT(freshness_of(s.message), last_sent);
            last_sent = freshness_of(s.message);
            broadcasts++;
        }
    }
    EXPECT_GE(cuts, 15u);
    EXPECT_GE(broadcasts, 100u);
}

// A plain peer's state equal to ours is no new event: no line, no new stamp,
// nothing relayed.
TEST_F(WirelessTest, PlainPeerWithOurStateChangesNothing) {
    wireless_toggle();
    const uint64_t toggled = vb::now_ns();
    poll_until(toggled + 14000 * kMsNs);
    EXPECT_EQ(status_from({7, 7, 7, 7, 7, 7, 7, 7}, FOB_LOCKDOWN, 0, toggled + 15000 * kMsNs), FOB_LOCKDOWN);
    EXPECT_EQ(console().find("RESET"), std::string::npos);
    wireless_broadcast_status();
    const auto s = sent();
    EXPECT_EQ(counter_of(s.back().message), 1u);
    EXPECT_GE(peers::decode_status(s.back().message)->age_ms, 15000u);
}

TEST_F(WirelessTest, StatusMessageOfAnotherKindIsIgnored) {
    const Message m = peers::status_message(kKey, {1, 1, 1, 1, 1, 1, 1, 1}, FOB_LOCKDOWN, 0, 0x0B);
    deliver_at(peers::as_string(m), init_at_ns_ + 15000 * kMsNs);
    EXPECT_EQ(status.in.fob, FOB_NONE);
    EXPECT_EQ(console().find("RESET"), std::string::npos);
}

// Only a reflection or a replay of its own broadcast carries the board's ID.
TEST_F(WirelessTest, StatusMessageWithThisBoardsOwnIdIsIgnored) {
    deliver_at(peers::as_string(peers::status_message(kKey, board_id(), FOB_LOCKDOWN, 0)),
               init_at_ns_ + 15000 * kMsNs);
    EXPECT_EQ(status.in.fob, FOB_NONE);
    EXPECT_EQ(console().find("RESET"), std::string::npos);
    peers::BoardId other = board_id();
    other[7] ^= 1;
    deliver_at(peers::as_string(peers::status_message(kKey, other, FOB_LOCKDOWN, 0)), init_at_ns_ + 16000 * kMsNs);
    EXPECT_EQ(status.in.fob, FOB_LOCKDOWN);
}

// ---- pairing and clear modes -----------------------------------------------------------------

TEST_F(WirelessTest, PairingModePairsNewFobsWithoutToggling) {
    status.out.fob_config = FOB_CONFIG_PAIR;
    press(fob(77));
    EXPECT_EQ(settings.total_fobs, 1u);
    EXPECT_EQ(status.in.total_fobs, 1);
    EXPECT_EQ(settings_fobs_find(kU1, kU2, kU3)->counter, 77u);
    EXPECT_EQ(status.in.fob, FOB_NONE);
    EXPECT_EQ(console().find("TOGGLE"), std::string::npos);
    const uint64_t ops = vb::flash_op_count();
    EXPECT_EQ(ops, 2 * 17u) << "the start's epoch, the pairing";
    press(fob(78));  // paired already: nothing changes
    EXPECT_EQ(settings_fobs_find(kU1, kU2, kU3)->counter, 77u);
    EXPECT_EQ(vb::flash_op_count(), ops);
    EXPECT_EQ(status.in.fob, FOB_NONE);
}

TEST_F(WirelessTest, ClearModeSuspendsPressesButNotAdoption) {
    pair(0);
    for (const uint8_t mode : {uint8_t{FOB_CONFIG_CLEAR}, uint8_t{7}}) {
        status.out.fob_config = static_cast<status_fob_config_t>(mode);
        const uint64_t ops = vb::flash_op_count();
        press(fob(5));
        EXPECT_EQ(status.in.fob, FOB_NONE);
        EXPECT_EQ(settings_fobs_find(kU1, kU2, kU3)->counter, 0u);
        EXPECT_EQ(vb::flash_op_count(), ops);
    }
    status.out.fob_config = FOB_CONFIG_CLEAR;
    const Message m = peers::status_message(kKey, {1, 2, 3, 4, 5, 6, 7, 8}, FOB_LOCKDOWN, 10);
    deliver_at(peers::as_string(m), init_at_ns_ + 15000 * kMsNs);
    EXPECT_EQ(status.in.fob, FOB_LOCKDOWN);
}

TEST_F(WirelessTest, FobMessageWithTheStatusMarkerIsAStatusMessage) {
    status.out.fob_config = FOB_CONFIG_PAIR;
    // First word FF FE FF FE, byte 12 0x0A: a status message (state 3, age 0).
    deliver_at(peers::as_string(peers::fob_message(kKey, 0xFEFFFEFF, 0, 0, 0x0A030000)),
               init_at_ns_ + 15000 * kMsNs);
    EXPECT_EQ(settings.total_fobs, 0u) << "not paired";
    EXPECT_EQ(static_cast<unsigned>(status.in.fob), 3u) << "adopted as it is";
    // Another kind byte: ignored, and still not paired.
    press(peers::fob_message(kKey, 0xFEFFFEFF, 1, 1, 0x01000000));
    EXPECT_EQ(settings.total_fobs, 0u);
}

// ---- forged, replayed and damaged messages -------------------------------------------------------

TEST_F(WirelessTest, ForgedMessagesAreDroppedWithoutOutput) {
    pair(0);
    peers::Key other = kKey;
    other[31] ^= 1;
    Message flipped = fob(1);
    flipped[20] ^= 0x04;
    Message cut64 = fob(1);  // the first 16 bytes of a 64-byte digest
    {
        uint8_t full[64];
        crypto_blake2b_general(full, 64, kKey.data(), 32, cut64.data(), 32);
        memcpy(cut64.data() + 32, full, 16);
    }
    Message zero_mac = fob(1);
    memset(zero_mac.data() + 32, 0, 16);
    for (const Message &m : {peers::fob_message(other, kU1, kU2, kU3, 1), flipped, cut64, zero_mac}) {
        press(m);
    }
    EXPECT_EQ(console(), "");
    EXPECT_EQ(status.in.fob, FOB_NONE);
    EXPECT_EQ(settings_fobs_find(kU1, kU2, kU3)->counter, 0u);
}

TEST_F(WirelessTest, ReplayedMessageIsIgnoredAlsoAfterARestart) {
    pair(0);
    const Message m = fob(1);
    press(m);
    ASSERT_EQ(status.in.fob, FOB_LOCKDOWN);
    poll_for_ms(8000);
    const uint64_t ops = vb::flash_op_count();
    press(m);
    EXPECT_EQ(status.in.fob, FOB_LOCKDOWN);
    EXPECT_EQ(vb::flash_op_count(), ops);

    // After a restart the counter comes back from flash.
    test::unit_board();
    status_init();
    settings_init();
    wireless_init();
    const size_t from = vb::tx_count(test::kScreenUart);
    EXPECT_EQ(status.in.fob, FOB_LOCKDOWN) << "the lockdown is kept over the restart";
    press(m);
    EXPECT_EQ(status.in.fob, FOB_LOCKDOWN);
    EXPECT_EQ(console(from).find("TOGGLE"), std::string::npos);
}

// ---- the receive window -----------------------------------------------------------------------
// (Each case starts after the first question's broadcast, which holds the loop while it is written.)

TEST_F(WirelessTest, MessageAfterNoiseIsFoundWhenItsLastByteArrives) {
    idle_until(init_at_ns_ + 1100 * kMsNs);
    const std::string noise = "\x01\x99\xFE\x00\x42";
    const std::string msg = peers::as_string(peers::fob_message(kKey, 1, 2, 3, 4));
    const uint64_t last = deliver(noise + msg);
    poll_until(last - 100000);
    EXPECT_EQ(console(), "") << "not before its last byte";
    poll_until(last + 100000);
    EXPECT_EQ(console(), "MSG FROM 000000010000000200000003 4\r\n");
    EXPECT_LE(line_times("MSG FROM").at(0) - last, 20000u);
}

TEST_F(WirelessTest, BackToBackMessagesAreBothFound) {
    idle_until(init_at_ns_ + 1100 * kMsNs);
    const std::string a = peers::as_string(peers::fob_message(kKey, 1, 1, 1, 1));
    const std::string b = peers::as_string(peers::fob_message(kKey, 2, 2, 2, 2));
    const uint64_t end_a = deliver(a);
    const uint64_t end_b = deliver(b);
    poll_until(end_b + 100000);
    EXPECT_EQ(console(), "MSG FROM 000000010000000100000001 1\r\nMSG FROM 000000020000000200000002 2\r\n");
    uart_tx_wait_blocking(uart1);
    const auto bytes = vb::tx_bytes(test::kScreenUart, console_from_);
    EXPECT_LE(bytes[0].start_ns - end_a, 20000u);
    EXPECT_LE(bytes[37].start_ns - end_b, 20000u);
}

TEST_F(WirelessTest, MessageMissingItsFirstByteIsNotFoundButTheNextIs) {
    const std::string a = peers::as_string(peers::fob_message(kKey, 1, 1, 1, 1));
    const std::string b = peers::as_string(peers::fob_message(kKey, 2, 2, 2, 2));
    deliver_and_poll(a.substr(1) + b);
    EXPECT_EQ(console(), "MSG FROM 000000020000000200000002 2\r\n");
}

TEST_F(WirelessTest, MessageStraddlingTheRingsEndIsReadInOrder) {
    std::mt19937 rng(7);
    std::string noise(1000, '\0');
    for (char &c : noise) c = static_cast<char>(rng());
    deliver_and_poll(noise);
    EXPECT_EQ(console(), "");
    // The next message occupies ring positions 1000 to 1023 and 0 to 23.
    const Message m = peers::fob_message(kKey, 0xABCDEF01, 2, 3, 99);
    deliver_and_poll(peers::as_string(m));
    EXPECT_EQ(console(), "MSG FROM abcdef010000000200000003 99\r\n");
}

TEST_F(WirelessTest, FewerThan48BytesSinceTheLastMessageAreNotChecked) {
    uint8_t window[48];
    EXPECT_FALSE(wireless_read_last_rx_bytes(window, 48)) << "nothing received yet";
    const std::string m = peers::as_string(peers::fob_message(kKey, 5, 5, 5, 5));
    deliver_and_poll(m.substr(0, 47));
    EXPECT_FALSE(wireless_read_last_rx_bytes(window, 48));
    EXPECT_TRUE(wireless_read_last_rx_bytes(window, 47));
    EXPECT_EQ(0, memcmp(window, m.data(), 47));
    deliver_and_poll(m.substr(47));
    EXPECT_EQ(console(), "MSG FROM 000000050000000500000005 5\r\n");
    EXPECT_FALSE(wireless_read_last_rx_bytes(window, 1)) << "an accepted message is consumed whole";
    deliver_and_poll(m.substr(0, 40));
    EXPECT_FALSE(wireless_read_last_rx_bytes(window, 48));
    EXPECT_FALSE(wireless_read_last_rx_bytes(window, 2000));
}

// A press saves the store: the flash is busy with interrupts off for longer
// than the UART's FIFO lasts. The bytes arriving meanwhile are all taken, so
// a press right behind a press is accepted too.
TEST_F(WirelessTest, BytesArrivingDuringASaveAreKept) {
    pair(0);
    deliver_and_poll(peers::as_string(fob(1)) + peers::as_string(fob(2)));
    EXPECT_EQ(settings_fobs_find(kU1, kU2, kU3)->counter, 2u);
    EXPECT_EQ(vb::rx_overruns(kRadioUart), 0u);
}

TEST_F(WirelessTest, RandomBytesAreDroppedSilently) {
    pair(0);
    std::mt19937 rng(12345);
    std::string noise(20000, '\0');
    for (char &c : noise) c = static_cast<char>(rng());
    for (size_t at = 0; at < noise.size(); at += 4000) deliver_and_poll(noise.substr(at, 4000));
    EXPECT_EQ(console(), "");
    EXPECT_EQ(status.in.fob, FOB_NONE);
    EXPECT_EQ(vb::rx_overruns(kRadioUart), 0u);
    // And the link still works.
    press(fob(1));
    EXPECT_EQ(status.in.fob, FOB_LOCKDOWN);
}

}  // namespace

// ---- power cuts ----------------------------------------------------------------------------------

// Random sequences of pairing, presses (some replayed) and clearing, played
// through the radio, with the power cut at a random flash operation of each:
// before it, or partway with its bits half flipped. After every restart the
// store holds the newest or the previous complete copy, so no accepted
// counter goes backwards and no fob is invented. Each shard's sequences
// follow from its seed (ORLIX_POWER_CUT_SEED changes the base), so a failure
// repeats; the flash is kept from one sequence to the next.
class PowerCutSequenceTest : public WirelessTest, public ::testing::WithParamInterface<unsigned> {
protected:
    static constexpr unsigned kSequences = 130;  // per shard
    static constexpr unsigned kFobs = 5;
    static constexpr uint64_t kOpsPerSave = 17;  // an erase and 16 pages

    enum class Kind { Pair, Press, Clear };
    struct Op {
        Kind kind;
        unsigned fob;
        uint32_t counter;
    };
    using Store = std::vector<std::pair<unsigned, uint32_t>>;  // fob, counter, in pairing order

    static uint32_t uid(unsigned fob, unsigned word) { return 0xF0B00000u + fob * 0x10 + word; }

    // What the board makes of `op`; true when it saves.
    static bool apply(Store &store, const Op &op) {
        auto it = std::find_if(store.begin(), store.end(), [&](const auto &f) { return f.first == op.fob; });
        switch (op.kind) {
            case Kind::Pair:
                if (it != store.end() || store.size() == SETTINGS_MAX_FOBS) return false;
                store.emplace_back(op.fob, op.counter);
                return true;
            case Kind::Press:
                if (it == store.end() || op.counter <= it->second || op.counter - it->second > 199) return false;
                it->second = op.counter;
                return true;
            case Kind::Clear:
                store.clear();
                return true;
        }
        return false;
    }

    static std::vector<uint8_t> image(const Store &store) {
        settings_t s{};
        for (size_t i = 0; i < store.size(); i++) {
            const unsigned f = store[i].first;
            s.fobs[i] = {uid(f, 1), uid(f, 2), uid(f, 3), store[i].second};
        }
        s.total_fobs = static_cast<uint32_t>(store.size());
        const auto *p = reinterpret_cast<const uint8_t *>(&s);
        return {p, p + sizeof s};
    }

    static std::vector<uint8_t> loaded() {
        const auto *p = reinterpret_cast<const uint8_t *>(&settings);
        return {p, p + sizeof settings};
    }

    void restart() {
        test::unit_board();
        status_init();
        settings_init();
        wireless_init();
    }

    // Through the radio as the board hears it, polled every 2 ms.
    void play(const Op &op) {
        if (op.kind == Kind::Clear) {
            vb::advance_us(SETTINGS_CLEAR_INTERVAL_MS * kMs);  // always honoured
            settings_fobs_clear();
            return;
        }
        status.out.fob_config = op.kind == Kind::Pair ? FOB_CONFIG_PAIR : FOB_CONFIG_NONE;
        const std::string m =
            peers::as_string(peers::fob_message(kKey, uid(op.fob, 1), uid(op.fob, 2), uid(op.fob, 3), op.counter));
        const uint64_t arrived = deliver(m);
        while (vb::now_ns() < arrived + 2 * kMsNs) {
            wireless_poll();
            vb::advance_us(2 * kMs);
        }
    }
};

TEST_P(PowerCutSequenceTest, StoreHoldsTheNewestOrThePreviousCopyAfterEveryCut) {
    const char *base = getenv("ORLIX_POWER_CUT_SEED");
    const uint64_t seed = (base != nullptr ? strtoull(base, nullptr, 10) : 9) * 1000 + GetParam();
    std::mt19937_64 rng(seed);
    vb::flash_fill(SETTINGS_FLASH_OFFSET, 0xFF, SETTINGS_SECTOR_COUNT * SETTINGS_SECTOR_SIZE);
    if (GetParam() % 2 == 1) {
        // An empty store whose write counters run out a few dozen saves on:
        // the ring is renumbered partway through the sequences.
        static settings_entry_t copy;
        memset(&copy, 0xFF, sizeof copy);
        copy.magic = SETTINGS_MAGIC;
        copy.write_counter = SETTINGS_WRITE_COUNTER_LIMIT - 1 - static_cast<uint32_t>(rng() % 60);
        memset(copy.data, 0, sizeof(settings_t));
        copy.crc32 = settings_calculate_crc32(copy.data, SETTINGS_DATA_SIZE);
        vb::flash_write(SETTINGS_FLASH_OFFSET, &copy, sizeof copy);
    }
    restart();
    Store store;
    uint32_t counters[kFobs] = {};
    unsigned cuts = 0;
    for (unsigned sequence = 0; sequence < kSequences; sequence++) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", sequence " + std::to_string(sequence));
        std::vector<Op> ops;
        Store planned = store;
        uint64_t saves = 0;
        const size_t length = 2 + rng() % 5;
        while (ops.size() < length || saves == 0) {
            const unsigned roll = static_cast<unsigned>(rng() % 20);
            const unsigned fob = static_cast<unsigned>(rng() % kFobs);
            const Kind kind = roll < 5 ? Kind::Pair : roll < 19 ? Kind::Press : Kind::Clear;
            // A fob counts every press; one in five is a replay of an older message.
            uint32_t counter = counters[fob] += 1 + static_cast<uint32_t>(rng() % 3);
            if (kind == Kind::Press && roll % 5 == 0) counter -= static_cast<uint32_t>(rng() % 6);
            ops.push_back({kind, fob, counter});
            saves += apply(planned, ops.back()) ? 1 : 0;
        }
        const bool inside = rng() % 5 != 0;
        const double fraction = std::pow(10.0, -4.0 * std::uniform_real_distribution<double>(0, 1)(rng));
        vb::flash_cut_power(rng() % (saves * kOpsPerSave), inside ? vb::CutPoint::Inside : vb::CutPoint::Before,
                            fraction, rng());

        Store before, after;
        for (const Op &op : ops) {
            before = after = store;
            apply(after, op);
            try {
                play(op);
            } catch (const vb::PowerCutException &) {
                break;
            }
            store = after;
            ASSERT_EQ(loaded(), image(store)) << "op " << &op - ops.data();
        }
        ASSERT_TRUE(vb::flash_power_was_cut());
        cuts++;

        restart();
        const auto now = loaded();
        ASSERT_TRUE(now == image(before) || now == image(after)) << "neither the newest nor the previous copy";
        for (uint32_t i = 0; i < settings.total_fobs; i++) {
            const settings_fob_t &f = settings.fobs[i];
            const auto was = std::find_if(before.begin(), before.end(), [&](const auto &b) {
                return uid(b.first, 1) == f.uid1;
            });
            EXPECT_TRUE(was == before.end() || f.counter >= was->second) << "counter went backwards";
        }
        store = now == image(after) ? after : before;
    }
    EXPECT_EQ(cuts, kSequences);
    uint32_t newest = 0;
    settings_find_current_sector(&newest);
    if (GetParam() % 2 == 1) {
        EXPECT_LT(newest, 1000u) << "the ring was renumbered";
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, PowerCutSequenceTest, ::testing::Range(0u, 8u));
