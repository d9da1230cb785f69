// A screen firmware image from the USB host, through the console, the ring
// and the screen line to the screen unit model, with the whole firmware
// running: what the host sees, what crosses the line, and that the board is
// back to normal afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "board_test.h"
#include "image_bytes.h"
#include "screen_fw.h"
#include "vboard_usb.h"

namespace {

namespace usbh = vb::usb;
using test::kMs;
using Words = std::vector<std::string>;

constexpr uint64_t kUsNs = 1000;
constexpr uint64_t kMsNs = 1000000;
using test::kActualFastBaud;
// The console reads an OUT packet at its next pass; a pass of the whole
// loop (a status dump or a light update at most) stays well below this.
constexpr uint64_t kConsoleLatencyNs = 2 * kMsNs;
constexpr uint64_t kGuardNs = 200 * kUsNs;  // after the board's frames, before the line turns

std::string text_of(const std::vector<uint8_t> &bytes) {
    return {bytes.begin(), bytes.end()};
}

class FwSystemTest : public test::SystemTest {
protected:
    void SetUp() override {
        SystemTest::SetUp();
        vb::add_peer([this] { unit.step(); });
        usbh::plug();
        ASSERT_TRUE(usbh::wait_enumerated(2000 * kMs));
        usbh::open_terminal();
        ASSERT_TRUE(usbh::run_until([] { return usbh::dtr_applied(); }, 100 * kMs));
        vb::run_for_ms(10);
        mark_ = lines().size();
        boots_ = vb::boots();
    }
    // The terminal program ends and another opens the port: DTR drops and rises.
    void reopen_terminal(bool replug = false) {
        usbh::close_terminal();
        ASSERT_TRUE(usbh::run_until([] { return !usbh::dtr_applied(); }, 100 * kMs));
        if (replug) {
            usbh::unplug();
            vb::run_for_ms(20);
            usbh::plug();
            ASSERT_TRUE(usbh::wait_enumerated(2000 * kMs));
        }
        usbh::open_terminal();
        ASSERT_TRUE(usbh::run_until([] { return usbh::dtr_applied(); }, 100 * kMs));
    }
    // The host pushes `header` and `data` as orlix-push does.
    void push(const std::string &header, const std::string &data) {
        received_from_ = usbh::received_count();
        noise_before_ = unit.stats().noise;
        mark_ = lines().size();
        usbh::write(header + data);
    }
    std::string words() {
        return usbh::received(received_from_);
    }
    bool run_until_word(uint64_t limit_us) {
        return usbh::run_until(
            [&] {
                const std::string w = words();
                return w.size() > 6 && w.back() == '\n';  // "START\n" and one more word
            },
            limit_us);
    }
    // Frames on the screen line since the push.
    std::vector<peers::Line> frames_since() {
        std::vector<peers::Line> out;
        const auto &all = lines();
        for (size_t i = mark_; i < all.size(); i++) {
            if (all[i].frame) out.push_back(all[i]);
        }
        return out;
    }
    Words fw_payloads() {
        Words out;
        for (const auto &f : frames_since()) {
            if (f.payload[0] == 'F') out.push_back(f.payload.compare(0, 2, "FD") == 0 ? f.payload.substr(0, 6) : f.payload);
        }
        return out;
    }
    // When the host's last bytes went over the cable.
    uint64_t last_out_packet_ns() {
        uint64_t t = 0;
        for (const auto &p : usbh::packets()) {
            if (p.kind == usbh::PacketKind::Out && p.handshake == usbh::Handshake::Ack && p.len > 0) t = p.t_ns;
        }
        return t;
    }
    // The latest time the console can have taken bytes that reached the USB
    // stack at `t_ns`: its next pass, which waits while the loop sends frames
    // to the screen unit (back to back in a window, then the guard time),
    // also a window that starts before the console's pass comes round.
    uint64_t console_free_after(uint64_t t_ns) {
        for (const auto &f : frames_since()) {
            if (f.start_ns <= t_ns + kConsoleLatencyNs && f.end_ns + kGuardNs >= t_ns) t_ns = f.end_ns + kGuardNs;
        }
        return t_ns;
    }
    // The input report is back at 115200 within one interval, and the
    // console takes a new command.
    void expect_back_to_normal() {
        const size_t from = lines().size();
        ASSERT_TRUE(vb::run_until(
            [&] {
                const auto &all = lines();
                return all.size() > from && all.back().frame && all.back().payload[0] == 'D';
            },
            300 * kMs));
        EXPECT_EQ(lines().back().baud, test::kActualBaud);
        EXPECT_EQ(vb::board().uart[test::kScreenUart].baud, test::kActualBaud);
        EXPECT_EQ(vb::boots(), boots_);  // no watchdog reset on the way
        unit.faults() = peers::ScreenFwFaults{};
        push("FWUP 5\n", "hello");
        ASSERT_TRUE(run_until_word(2000 * kMs));
        EXPECT_EQ(words(), "START\nDONE\n");
        EXPECT_EQ(unit.image(), std::vector<uint8_t>({'h', 'e', 'l', 'l', 'o'}));
    }

    peers::ScreenFw unit;
    size_t mark_ = 0;
    size_t received_from_ = 0;
    unsigned noise_before_ = 0;
    uint32_t boots_ = 0;
};

TEST_F(FwSystemTest, HelloFromTheHostByteForByteOnTheLine) {
    push("FWUP 5\n", "hello");
    ASSERT_TRUE(run_until_word(2000 * kMs));
    EXPECT_EQ(words(), "START\nDONE\n");
    const auto f = frames_since();
    ASSERT_GE(f.size(), 4u);
    EXPECT_EQ(f[0].text, "<<<FB0000000504000E100078A9");
    EXPECT_EQ(f[1].text, "<<<FD0000aGVsbG8=DC73");
    EXPECT_EQ(f[2].text, "<<<FP00016A14");
    EXPECT_EQ(f[3].text, "<<<FZ3610A686AC26");
    EXPECT_EQ(f[0].baud, test::kActualBaud);
    for (size_t i = 1; i < 4; i++) {
        EXPECT_EQ(f[i].baud, kActualFastBaud);
        EXPECT_TRUE(f[i].dir_high);
    }
    // The block and the window end are one transmission.
    for (const auto &e : vb::pin_events()) {
        if (e.pin == test::kDirPinA) {
            EXPECT_FALSE(e.t_ns > f[1].start_ns && e.t_ns < f[2].end_ns);
        }
    }
    EXPECT_EQ(unit.answered(), (Words{"FR", "FA0001", "FC00"}));
    expect_back_to_normal();
}

TEST_F(FwSystemTest, NineThousandBytesWithALostBlockAndALostAnswer) {
    // The first begin frame goes unanswered, so that all 9000 bytes are in
    // the ring when the unit declares itself ready.
    const auto image = test::image_bytes(9000, 1);
    unit.faults().ignore_begins = 1;
    unit.faults().lose_blocks = {5};
    int fa0009 = 0;
    unit.faults().rewrite = [&](const std::string &a) {
        if (a == "FA0009" && fa0009++ == 0) return std::string();
        return peers::frame_to_board(a);
    };
    push("FWUP 9000\n", text_of(image));
    ASSERT_TRUE(run_until_word(5000 * kMs));
    EXPECT_EQ(words(), "START\nDONE\n");
    char fz[16];
    snprintf(fz, sizeof fz, "FZ%08X", peers::crc32_iso_hdlc(image));
    EXPECT_EQ(fw_payloads(), (Words{"FB0000232804000E1000", "FB0000232804000E1000", "FD0000", "FD0001", "FD0002", "FD0003", "FD0004", "FD0005",
                                    "FD0006", "FD0007", "FP0008", "FD0005", "FD0006", "FD0007", "FD0008", "FP0009",
                                    "FD0005", "FD0006", "FD0007", "FD0008", "FP0009", fz}));
    EXPECT_EQ(unit.image(), image);
}

class FwSystemImageTest : public FwSystemTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(FwSystemImageTest, ArrivesWholeWithTheBoardUndisturbed) {
    const uint32_t size = GetParam();
    const auto image = test::image_bytes(size, size);
    push("FWUP " + std::to_string(size) + "\n", text_of(image));
    ASSERT_TRUE(run_until_word(20000 * kMs));
    EXPECT_EQ(words(), "START\nDONE\n");
    EXPECT_EQ(unit.image(), image);
    EXPECT_EQ(unit.completion(), 0);
    EXPECT_EQ(unit.stats().noise, noise_before_) << ::testing::PrintToString(unit.noise());
    EXPECT_EQ(unit.stats().collisions, 0u);
    EXPECT_EQ(unit.stats().block_frames, (size + 1023) / 1024);
    // No input report inside the session.
    uint64_t first = UINT64_MAX, last = 0;
    for (const auto &f : frames_since()) {
        if (f.payload[0] != 'F') continue;
        first = std::min(first, f.start_ns);
        last = f.end_ns;
    }
    for (const auto &f : frames_since()) {
        if (f.payload[0] != 'F') {
            EXPECT_TRUE(f.end_ns < first || f.start_ns > last) << f.text;
        }
    }
    expect_back_to_normal();
}

INSTANTIATE_TEST_SUITE_P(Sizes, FwSystemImageTest, ::testing::Values(1u, 2u, 1024u, 9000u, 100000u));

TEST_F(FwSystemTest, HostSendingTooLittleTimesOut15sAfterItsLastByte) {
    const auto image = test::image_bytes(3000, 3);
    push("FWUP 3000\n", text_of(std::vector<uint8_t>(image.begin(), image.begin() + 2000)));
    ASSERT_TRUE(run_until_word(17000 * kMs));
    EXPECT_EQ(words(), "START\nTIMEOUT\n");
    const uint64_t last = last_out_packet_ns();
    EXPECT_EQ(unit.heard(), (Words{"FB00000BB804000E1000", "FD0000", "FP0001", "FX"}));
    const auto f = frames_since();
    peers::Line fx{};
    for (const auto &line : f) {
        if (line.payload == "FX") fx = line;
    }
    EXPECT_EQ(fx.baud, kActualFastBaud);
    // The session ends 15 s after the console took the last byte: not before
    // it reached the board, and at the console's next pass after that.
    EXPECT_GE(fx.start_ns, last + 15000 * kMsNs + 400 * kUsNs);
    EXPECT_LE(fx.start_ns, console_free_after(last) + 15000 * kMsNs + 400 * kUsNs + kConsoleLatencyNs);
    expect_back_to_normal();
}

TEST_F(FwSystemTest, SurplusBytesAreSwallowedNotExecuted) {
    // Bytes past the announced size go into the ring and are dropped, even
    // when they read like a command.
    push("FWUP 5\n", "helloIOBOOTSEL\n");
    ASSERT_TRUE(run_until_word(2000 * kMs));
    EXPECT_EQ(words(), "START\nDONE\n");
    EXPECT_EQ(unit.image(), std::vector<uint8_t>({'h', 'e', 'l', 'l', 'o'}));
    vb::run_for_ms(200);
    EXPECT_NE(vb::firmware_state(), vb::FwState::Halted);
    EXPECT_NE(vb::board_events().back().cause, vb::ResetCause::UsbBoot);
    EXPECT_EQ(usbh::received(received_from_), "START\nDONE\n");
    expect_back_to_normal();
}

TEST_F(FwSystemTest, NoProgressEndsWithNoresp) {
    unit.faults().rewrite = [](const std::string &a) {
        return peers::frame_to_board(a.compare(0, 2, "FA") == 0 ? "FA0000" : a);
    };
    push("FWUP 5\n", "hello");
    ASSERT_TRUE(run_until_word(5000 * kMs));
    EXPECT_EQ(words(), "START\nNORESP\n");
    EXPECT_EQ(unit.stats().windows, 61u);
    EXPECT_EQ(unit.stats().aborts, 1u);  // FX heard at the fast rate
    expect_back_to_normal();
}

TEST_F(FwSystemTest, ScreenUnitRejectingTheImageEndsWithFail) {
    unit.faults().rewrite = [](const std::string &a) { return peers::frame_to_board(a == "FC00" ? "FC01" : a); };
    push("FWUP 5\n", "hello");
    ASSERT_TRUE(run_until_word(2000 * kMs));
    EXPECT_EQ(words(), "START\nFAIL\n");
    EXPECT_EQ(fw_payloads().back(), "FX");
    expect_back_to_normal();
}

TEST_F(FwSystemTest, TerminalClosedMidwayTimesOut) {
    // The host sends part of the image, all of which the ring takes, and
    // then its terminal goes away: no more bytes come, and the session ends
    // 15 s after the last one.
    const auto image = test::image_bytes(60000, 5);
    push("FWUP 60000\n", text_of(std::vector<uint8_t>(image.begin(), image.begin() + 6000)));
    ASSERT_TRUE(usbh::run_until([&] { return usbh::unsent() == 0 && unit.stats().windows >= 1; }, 2000 * kMs));
    vb::run_for_ms(5);  // the console has read the last packet
    usbh::close_terminal();
    const uint64_t last = last_out_packet_ns();
    ASSERT_TRUE(vb::run_until([&] { return unit.stats().aborts == 1; }, 17000 * kMs));
    EXPECT_EQ(unit.image(), std::vector<uint8_t>(image.begin(), image.begin() + 5 * 1024));
    uint64_t fx_ns = 0;
    for (const auto &f : frames_since()) {
        if (f.payload == "FX") fx_ns = f.start_ns;
    }
    EXPECT_GE(fx_ns, last + 15000 * kMsNs + 400 * kUsNs);
    EXPECT_LE(fx_ns, console_free_after(last) + 15000 * kMsNs + 400 * kUsNs + kConsoleLatencyNs);
    // The word waits in the port until a terminal reads it.
    usbh::open_terminal();
    ASSERT_TRUE(usbh::run_until([] { return usbh::dtr_applied(); }, 100 * kMs));
    ASSERT_TRUE(run_until_word(100 * kMs));
    EXPECT_EQ(words(), "START\nTIMEOUT\n");
    expect_back_to_normal();
}

// A push cut off mid-image (Ctrl-C, or the cable pulled) and a new one at
// once: the cut session ends with FX at the fast rate, which the screen unit
// still listens at, before the new begin frame at 115200, and the new push
// ends DONE. The old session reports nothing: its host is gone.
enum class Cut { Reconnect, Replug };

class FwSupersededTest : public FwSystemTest, public ::testing::WithParamInterface<Cut> {};

TEST_P(FwSupersededTest, TheNextPushEndsDone) {
    // The first 40000 bytes of a 2 MB image are on their way when it is cut.
    const auto image = test::image_bytes(40000, 7);
    push("FWUP 2000000\n", text_of(image));
    ASSERT_TRUE(vb::run_until([&] { return unit.stats().windows >= 3 && unit.in_session(); }, 3000 * kMs));
    const size_t before = lines().size();
    reopen_terminal(GetParam() == Cut::Replug);
    push("FWUP 5\n", "hello");
    ASSERT_TRUE(run_until_word(2000 * kMs));
    EXPECT_EQ(words(), "START\nDONE\n");
    EXPECT_EQ(unit.image(), std::vector<uint8_t>({'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(unit.stats().aborts, 1u);
    std::vector<std::pair<std::string, uint32_t>> sent;
    const auto &all = lines();
    for (size_t i = before; i < all.size(); i++) {
        if (all[i].frame && (all[i].payload == "FX" || all[i].payload.compare(0, 2, "FB") == 0)) {
            sent.emplace_back(all[i].payload, all[i].baud);
        }
    }
    const std::vector<std::pair<std::string, uint32_t>> expected = {{"FX", kActualFastBaud},
                                                                    {"FB0000000504000E1000", test::kActualBaud}};
    EXPECT_EQ(sent, expected);
    expect_back_to_normal();
}

INSTANTIATE_TEST_SUITE_P(Cuts, FwSupersededTest, ::testing::Values(Cut::Reconnect, Cut::Replug));

// A restart while a session runs, by IOBOOTSEL from a new connection or by
// the reset interface's reboot: the screen unit hears the abort first.
enum class Restart { Iobootsel, Reboot };

class FwRestartTest : public FwSystemTest, public ::testing::WithParamInterface<Restart> {};

TEST_P(FwRestartTest, AbortsTheRunningSessionFirst) {
    const auto image = test::image_bytes(100000, 9);
    push("FWUP 100000\n", text_of(image));
    ASSERT_TRUE(vb::run_until([&] { return unit.stats().windows >= 2 && unit.in_session(); }, 3000 * kMs));
    const size_t events = vb::board_events().size();
    if (GetParam() == Restart::Iobootsel) {
        reopen_terminal();
        usbh::write("IOBOOTSEL\n");
    } else {
        ASSERT_EQ(usbh::control({0x21, 2, 0, 0, 0}).outcome, usbh::Outcome::Ack);
    }
    ASSERT_TRUE(vb::run_until([&] { return vb::board_events().size() > events; }, 1000 * kMs, 10));
    EXPECT_EQ(vb::board_events().back().cause,
              GetParam() == Restart::Iobootsel ? vb::ResetCause::UsbBoot : vb::ResetCause::Reboot);
    EXPECT_EQ(unit.stats().aborts, 1u);
    EXPECT_EQ(unit.rate(), peers::kScreenBaud);
}

INSTANTIATE_TEST_SUITE_P(Restarts, FwRestartTest, ::testing::Values(Restart::Iobootsel, Restart::Reboot));

}  // namespace
