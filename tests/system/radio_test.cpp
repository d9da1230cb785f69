// The wireless fobs on the whole board: the LoRa module set up at start,
// fobs and other cabinets' boards on a shared air, the fob store across
// power cuts, and a radio flood that must not disturb the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "board_test.h"
#include "radio.h"
#include "radio_messages.h"
#include "vboard_flash.h"

namespace {

using test::kMs;
constexpr uint64_t kMsNs = 1000000;
constexpr uint8_t kBoardId[8] = {0xB0, 0xA2, 0xD0, 0x01, 0x02, 0x03, 0x04, 0x05};
constexpr uint32_t kFlashArea = 0x1E0000;
// A board that knows no fob event asks its peers in the second half of
// intervals of 1 s, 2 s and then 64 s: in [0.5 s, 1 s), [2, 3) and [35, 67)
// from its start. A press from 3.5 s on reaches it between its second and third.
constexpr uint64_t kAskedMs = 3500;

class RadioSystemTest : public test::SystemTest {
protected:
    RadioSystemTest() { vb::set_flash_unique_id(kBoardId); }
    void SetUp() override {
        test::SystemTest::SetUp();
        vb::add_peer([this] { air.step(); });
    }
    std::string console() {
        std::string text;
        for (const auto &line : lines()) {
            if (!line.frame) text += line.text + "\n";
        }
        return text;
    }
    size_t count(const std::string &text) {
        const std::string all = console();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) n++;
        return n;
    }
    std::string last_report() {
        const auto f = frames();
        return f.empty() ? "" : f.back().payload;
    }
    // Runs until the last report carries `fob` and `total` fobs.
    bool report_shows(const std::string &fob_code, int total, uint64_t limit_ms) {
        char want[16];
        snprintf(want, sizeof want, "%sF%02x", fob_code.c_str(), total);
        return vb::run_until([&] { return last_report().substr(3, 6) == want; }, limit_ms * kMs);
    }
    void pair_fob(peers::Fob &fob) {
        test::send_frame("LONNOROFFX050FCP");
        vb::run_for_ms(20);
        const size_t before = count("MSG FROM");
        fob.press();
        ASSERT_TRUE(vb::run_until([&] { return count("MSG FROM") > before; }, 1000 * kMs));
        test::send_frame("LONNOROFFX050FCN");
        vb::run_for_ms(100);
    }

    // Long quiet stretches run without the peers' 100 µs slices (much
    // faster); whatever the board sends meanwhile goes on the air late.
    void idle_for_ms(uint64_t ms) {
        vb::clear_peers();
        vb::run_for_ms(ms);
        vb::add_peer([this] { air.step(); });
    }
    std::vector<peers::StatusFields> statuses_heard(const peers::PeerBoard &peer, size_t from = 0) {
        std::vector<peers::StatusFields> out;
        for (size_t i = from; i < peer.heard.size(); i++) {
            if (const auto s = peers::decode_status(peer.heard[i].message)) out.push_back(*s);
        }
        return out;
    }

    peers::Air air;
    peers::BoardRadio radio{air};
};

TEST_F(RadioSystemTest, StartUpConfiguresTheModuleAndLoadsTheStore) {
    vb::run_for_ms(1500);  // past the first question's broadcast
    const std::string text = console();
    const size_t banner = text.find("orlix-fw-io\n");
    const size_t store = text.find("settings_init: set to defaults\n");
    const size_t lora = text.find("LoRa done\n");
    ASSERT_NE(store, std::string::npos);
    ASSERT_NE(lora, std::string::npos);
    EXPECT_LT(banner, store);
    EXPECT_LT(store, lora);

    ASSERT_EQ(radio.commands.size(), 1u);
    const auto frame = peers::build_config_frame();
    EXPECT_EQ(radio.commands[0].bytes, std::string(frame.begin(), frame.end()));
    EXPECT_EQ(radio.commands[0].answer, std::string("\xC1\x00\x08\xFF\xFF\x00\x62\x23\x0D\x00\x00", 11));
    EXPECT_EQ(radio.ignored_bytes, 1u) << "the byte beyond the eight registers";
    EXPECT_EQ(radio.settings.reg, peers::ModuleSettings::network().reg);
    EXPECT_EQ(radio.mode(), 0u);
    // The module's answer reached the board and was dropped without a word.
    EXPECT_EQ(count("MSG FROM"), 0u);
    EXPECT_TRUE(vb::level(peers::kRadioAuxPin));
}

// A board that knows no fob event asks at once, then once in each interval:
// [0.5 s, 1 s), [2, 3), then [35, 67) from its start, each heard an air time later.
TEST_F(RadioSystemTest, OtherCabinetsHearTheBoardAskSoonThenLessOften) {
    peers::PeerBoard peer(air, {1, 1, 1, 1, 1, 1, 1, 1});
    vb::run_for_ms(34000);
    ASSERT_EQ(peer.heard.size(), 2u);
    for (const auto &h : peer.heard) {
        const auto s = peers::decode_status(h.message);
        ASSERT_TRUE(s.has_value());
        EXPECT_EQ(0, memcmp(s->sender.data(), kBoardId, 8));
        EXPECT_EQ(s->fob, 0);
        EXPECT_EQ(s->kind, 0x0A);
        EXPECT_EQ(s->age_ms, 0xFFFFFFFFu) << "no fob event yet";
    }
    EXPECT_LE(peer.heard[0].t_ns, 1500 * kMsNs);
    EXPECT_GE(peer.heard[1].t_ns, 2000 * kMsNs);
    EXPECT_LE(peer.heard[1].t_ns, 3500 * kMsNs);
}

TEST_F(RadioSystemTest, FobPressEndToEnd) {
    peers::PeerBoard peer(air, {2, 2, 2, 2, 2, 2, 2, 2});
    peers::Fob fob(air, 0x600DF00D, 0x12345678, 0x9ABCDEF0, 100);
    vb::run_for_ms(kAskedMs);
    pair_fob(fob);
    ASSERT_TRUE(report_shows("OOO", 1, 500));
    EXPECT_EQ(count("MSG FROM 600df00d123456789abcdef0 101"), 1u);

    const size_t heard = peer.heard.size();
    const uint64_t pressed = vb::now_ns();
    fob.press();
    ASSERT_TRUE(report_shows("FLO", 1, 1000));
    EXPECT_EQ(last_report(), "DCLFLOF01V010B");
    // Serial, air time, serial, then at most one report period.
    EXPECT_LE(vb::now_ns() - pressed, 300 * kMsNs + 260 * kMsNs);
    EXPECT_EQ(count("TOGGLE!"), 1u);
    ASSERT_TRUE(vb::run_until([&] { return !statuses_heard(peer, heard).empty(); }, 2000 * kMs));
    EXPECT_EQ(statuses_heard(peer, heard)[0].fob, 1) << "the new state reaches the other cabinets soon";

    // Replayed over the air, once the board has told its event twice: ignored.
    vb::run_for_ms(1000);
    air.collisions = false;  // heard even while the board broadcasts
    fob.send(fob.message(fob.counter));
    vb::run_for_ms(8000);
    EXPECT_EQ(count("TOGGLE!"), 1u);
    EXPECT_EQ(count("MSG FROM 600df00d123456789abcdef0 102"), 2u);
}

TEST_F(RadioSystemTest, BoardAdoptsAClearlyMoreRecentPeerState) {
    air.collisions = false;  // the board's own broadcasts fall at random times
    peers::PeerBoard first(air, {4, 4, 4, 4, 4, 4, 4, 4}), peer(air, {3, 3, 3, 3, 3, 3, 3, 3});
    vb::run_for_ms(kAskedMs);
    first.send_status(1, 0);  // this board's first fob event: a lock taken up
    ASSERT_TRUE(report_shows("FLO", 0, 1000));
    idle_for_ms(10000);
    peer.send_status(2, 6000);  // not more recent by over 10 s
    vb::run_for_ms(1000);
    EXPECT_EQ(count("MSG FROM fefffeff0303030303030303 167903232"), 1u);
    EXPECT_EQ(count("RESET"), 1u);
    peer.send_status(2, 0);
    ASSERT_TRUE(report_shows("FUN", 0, 1000));
    EXPECT_EQ(count("RESET FOB STATUS TO 2"), 1u);
    idle_for_ms(5000);
    EXPECT_EQ(last_report().substr(3, 3), "FUN") << "an adopted unlock does not fall back";
}

TEST_F(RadioSystemTest, ClearCommandForgetsTheFobsOncePerTransition) {
    peers::Fob a(air, 1, 2, 3), b(air, 4, 5, 6);
    vb::run_for_ms(kAskedMs);
    pair_fob(a);
    vb::run_for_ms(500);
    pair_fob(b);
    ASSERT_TRUE(report_shows("OOO", 2, 500));
    const uint64_t erases = vb::flash_erase_count();
    test::send_frame("LONNOROFFX050FCC");
    ASSERT_TRUE(report_shows("OOO", 0, 1000));
    EXPECT_EQ(vb::flash_erase_count(), erases + 1);
    test::send_frame("LONNOROFFX050FCC");  // no transition: nothing more
    vb::run_for_ms(500);
    EXPECT_EQ(vb::flash_erase_count(), erases + 1);
    // Presses of the forgotten fobs change nothing.
    test::send_frame("LONNOROFFX050FCN");
    vb::run_for_ms(100);
    a.press();
    vb::run_for_ms(1000);
    EXPECT_EQ(count("TOGGLE!"), 0u);
}

// Power cut while a press's new counter is being written: the board comes
// back with the previous counter or the new one, never anything else.
class PowerCutSystemTest : public RadioSystemTest, public ::testing::WithParamInterface<int> {};

TEST_P(PowerCutSystemTest, PressCounterSurvivesOrRollsBackWhole) {
    peers::Fob fob(air, 0xAAAA0001, 0xBBBB0002, 0xCCCC0003, 41);
    vb::run_for_ms(kAskedMs);
    pair_fob(fob);  // stored counter 42
    ASSERT_TRUE(report_shows("OOO", 1, 500));
    const int op = GetParam();
    vb::flash_cut_power(static_cast<uint64_t>(op), op % 2 == 0 ? vb::CutPoint::Inside : vb::CutPoint::Before,
                        0.4, static_cast<uint64_t>(op));
    fob.press();  // counter 43
    ASSERT_TRUE(vb::run_until([] { return vb::flash_power_was_cut(); }, 2000 * kMs));
    vb::run_for_ms(10);
    EXPECT_EQ(vb::firmware_state(), vb::FwState::Off);

    vb::power_on();
    vb::run_for_ms(kAskedMs);
    const std::string text = console();
    const size_t boot2 = text.rfind("orlix-fw-io\n");
    const std::string after = text.substr(boot2);
    const bool old_copy = after.find("    fob 0: aaaa0001 bbbb0002 cccc0003 counter=42\n") != std::string::npos;
    const bool new_copy = after.find("    fob 0: aaaa0001 bbbb0002 cccc0003 counter=43\n") != std::string::npos;
    EXPECT_TRUE(after.find("settings_init: loaded\n  total fobs: 1\n") != std::string::npos) << after;
    EXPECT_TRUE(old_copy != new_copy) << after;
    if (op == 0) {
        EXPECT_TRUE(old_copy);
    }
    // The fob works on from whichever counter came back.
    fob.press();
    ASSERT_TRUE(report_shows("FLO", 1, 1000));
}

INSTANTIATE_TEST_SUITE_P(Operations, PowerCutSystemTest, ::testing::Values(0, 1, 2, 5, 16));

// Random bytes from the module at the full 9600 baud (20 s in every run; the
// simulated board runs at about real time, so minutes are for a run with
// ORLIX_RADIO_FLOOD_SECONDS set): not a line of output, no reset, the input reports keep their 250 ms period
// (stretched only by the board's own broadcasts) and status frames still act.
// (The air is not needed: the bytes go straight onto the module's output.)
class RadioFloodTest : public test::SystemTest {};

TEST_F(RadioFloodTest, RandomBytesAreDroppedWithoutDisturbingTheBoard) {
    constexpr unsigned kRadioUart = 0;
    constexpr uint32_t kRadioBaud = 9600;
    constexpr size_t kBytesPerSecond = 960;
    const char *seconds_env = getenv("ORLIX_RADIO_FLOOD_SECONDS");
    const unsigned kFloodSeconds = seconds_env != nullptr ? static_cast<unsigned>(atoi(seconds_env)) : 20;
    vb::run_for_ms(kAskedMs);
    std::mt19937 rng(2024);
    auto top_up = [&] {
        std::string chunk(kBytesPerSecond, '\0');
        for (char &c : chunk) c = static_cast<char>(rng());
        vb::send_to_board(kRadioUart, chunk, kRadioBaud);
    };
    top_up();
    top_up();
    const uint64_t start = vb::now_ns();
    const size_t frames_before = frames().size();
    const uint64_t rx_before = vb::board().uart[kRadioUart].wire_head;
    bool locked = true;
    for (unsigned second = 0; second < kFloodSeconds; second++) {
        top_up();
        locked = !locked;
        test::send_frame(locked ? "LONNOROFFX050FCN" : "LOFNOROFFX050FCN");
        vb::run_for_ms(20);
        EXPECT_EQ(vb::level(test::kMaglockPin), locked) << "status frames act during the flood";
        vb::run_for_ms(980);
    }
    const uint64_t received = vb::board().uart[kRadioUart].wire_head - rx_before;
    EXPECT_GE(received, kBytesPerSecond * kFloodSeconds * 99 / 100) << "the line was saturated";
    EXPECT_EQ(vb::rx_overruns(kRadioUart), 0u);
    EXPECT_EQ(vb::boots(), 1u);
    std::string text;
    for (const auto &line : lines()) {
        if (!line.frame) text += line.text + "\n";
    }
    EXPECT_EQ(text.find("MSG FROM"), std::string::npos);
    EXPECT_EQ(text.find("RESET"), std::string::npos);
    const auto f = frames();
    size_t late = 0;
    for (size_t i = frames_before + 1; i < f.size(); i++) {
        if (f[i].start_ns < start) continue;
        const uint64_t gap = f[i].start_ns - f[i - 1].end_ns;
        EXPECT_GE(gap, 250 * kMsNs);
        EXPECT_LE(gap, 268 * kMsNs) << "at most a broadcast's 16 ms late";
        if (gap > 252 * kMsNs) late++;
    }
    EXPECT_GE(f.size() - frames_before, 4u * kFloodSeconds - 10);
    // Only reports that fell due during one of the broadcasts (one per 5 s).
    EXPECT_LE(late, kFloodSeconds / 5u + 1);
}

}  // namespace
