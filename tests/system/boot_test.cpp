// Start-up and the main loop of the whole firmware, seen through the wires.
#include <gtest/gtest.h>

#include <algorithm>

#include "board_test.h"
#include "wireless.h"

namespace {

using test::kMs;
using test::SystemTest;

TEST_F(SystemTest, BannerFirstThenTheModulesStartUp) {
    run_until_looping();
    const auto all = lines();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[0].text, "orlix-fw-io");
    EXPECT_EQ(vb::tx_text(test::kScreenUart).rfind("orlix-fw-io\r\n", 0), 0u);
    // An image with the public development keys (the default) says so.
    EXPECT_EQ(all[1].text == "WARNING: DEVELOPMENT radio keys, not for the field", wireless_development_keys());
    bool screen_started = false;
    for (const auto &line : all) {
        screen_started = screen_started || line.text == "Start screen";
        // Console text never raises the line direction; only frames do.
        EXPECT_EQ(line.dir_high, line.frame) << line.text;
    }
    EXPECT_TRUE(screen_started);
    for (const auto &b : vb::tx_bytes(test::kScreenUart)) EXPECT_EQ(b.baud, test::kActualBaud);
}

TEST_F(SystemTest, MaglockDrivenLockedFromTheFirstMoment) {
    EXPECT_FALSE(vb::board().pins[test::kMaglockPin].out_enable);
    run_until_looping();
    const auto events = vb::pin_events();
    bool seen = false;
    for (const auto &e : events) {
        if (e.pin != test::kMaglockPin) continue;
        EXPECT_TRUE(e.level) << "the lock pin's first driven level must be high";
        seen = true;
        break;
    }
    EXPECT_TRUE(seen);
    EXPECT_TRUE(vb::level(test::kMaglockPin));
}

TEST_F(SystemTest, FirstReportAtTheFirstPassOf250msAfterTheScreenLinkStarts) {
    run_until_looping();
    const auto all = lines();
    size_t first_frame = 0;
    while (!all[first_frame].frame) first_frame++;
    const auto &frame = all[first_frame];
    EXPECT_EQ(frame.text, "<<<DCLOOOF00V010B7011");
    uint64_t screen_init_ns = 0;
    for (const auto &line : all) {
        if (line.text == "Start screen") screen_init_ns = line.end_ns;
    }
    ASSERT_NE(screen_init_ns, 0u);
    // Never before 250 ms after screen_init (which ends once its console line
    // has left), plus 400 µs of direction guard time before the first byte...
    EXPECT_GE(frame.start_ns, screen_init_ns + 250000000 + 400000);
    // ...and, when the rest of start-up takes longer, in the loop's first pass:
    // right after the last console line of start-up.
    ASSERT_GT(first_frame, 0u);
    const uint64_t startup_done = std::max(all[first_frame - 1].end_ns, screen_init_ns + 250000000);
    EXPECT_LE(frame.start_ns, startup_done + 400000 + 2000000);
}

TEST_F(SystemTest, ReportsRepeat250msAfterTheEndOfTheLast) {
    ASSERT_TRUE(run_until_frames(4, 2000 * kMs));
    const auto f = frames();
    for (size_t i = 1; i < f.size(); i++) {
        // end of the last byte, 400 µs of guard around the switch back to
        // receive, 250 ms, one loop pass, 400 µs around the switch to transmit
        const uint64_t earliest = f[i - 1].end_ns + 400000 + 250000000 + 400000;
        EXPECT_GE(f[i].start_ns, earliest);
        EXPECT_LE(f[i].start_ns, earliest + 50000);
    }
}

TEST_F(SystemTest, ReportBytesWithTheDoorClosed) {
    run_until_looping();
    const auto bytes = vb::tx_text(test::kScreenUart);
    const std::string expected = "<<<DCLOOOF00V010B7011\r\n";
    ASSERT_GE(bytes.size(), expected.size());
    EXPECT_EQ(bytes.substr(bytes.size() - expected.size()), expected);
}

TEST_F(SystemTest, DirectionHighExactlyWhileAFrameLeaves) {
    ASSERT_TRUE(run_until_frames(3, 2000 * kMs));
    vb::run_for_ms(1);
    const auto f = frames();
    // Edges of GPIO 10 and 11, in pairs: up and down around each frame.
    std::vector<vb::PinEvent> a, b;
    for (const auto &e : vb::pin_events()) {
        if (e.pin == test::kDirPinA) a.push_back(e);
        if (e.pin == test::kDirPinB) b.push_back(e);
    }
    ASSERT_EQ(a.size(), 2 * f.size());
    ASSERT_EQ(b.size(), a.size());
    for (size_t i = 0; i < f.size(); i++) {
        const auto &up = a[2 * i], &down = a[2 * i + 1];
        EXPECT_TRUE(up.level);
        EXPECT_FALSE(down.level);
        EXPECT_TRUE(f[i].dir_high);
        // 200 µs of guard on either side, and no more than a few calls' time.
        EXPECT_GE(f[i].start_ns - up.t_ns, 200000u);
        EXPECT_LE(f[i].start_ns - up.t_ns, 202000u);
        EXPECT_GE(down.t_ns - f[i].end_ns, 200000u);
        EXPECT_LE(down.t_ns - f[i].end_ns, 202000u);
        EXPECT_LE(b[2 * i].t_ns - up.t_ns, 1000u);
        EXPECT_LE(b[2 * i + 1].t_ns - down.t_ns, 1000u);
    }
    for (const auto &line : lines()) {
        if (!line.frame) {
            EXPECT_FALSE(line.dir_high) << line.text;
        }
    }
}

TEST_F(SystemTest, StatusFrameSwitchesTheMaglockInTheSamePoll) {
    run_until_looping();
    vb::run_for_ms(20);
    ASSERT_TRUE(vb::level(test::kMaglockPin));
    const size_t from = vb::pin_event_count();
    test::send_frame("LOFNOROFFX050FCN");
    const uint64_t arrives = vb::now_ns() + vb::wire_ns(peers::frame_to_board("LOFNOROFFX050FCN").size(), test::kBaud);
    vb::run_for_ms(5);
    EXPECT_FALSE(vb::level(test::kMaglockPin));
    const auto events = vb::pin_events(from);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].pin, test::kMaglockPin);
    // Within one pass of the loop after the newline arrives.
    EXPECT_GE(events[0].t_ns, arrives);
    EXPECT_LE(events[0].t_ns, arrives + 20000);

    test::send_frame("LONNOROFFX050FCN");
    vb::run_for_ms(5);
    EXPECT_TRUE(vb::level(test::kMaglockPin));
}

TEST_F(SystemTest, DumpLineAfterAChangeOfOutputs) {
    run_until_looping();
    vb::run_for_ms(20);
    const size_t from = vb::tx_count(test::kScreenUart);
    test::send_frame("LOFNOROFFX050FCN");
    vb::run_for_ms(20);
    EXPECT_EQ(vb::tx_text(test::kScreenUart, from),
              "Door: CLOSED   Fob: NONE   Lock: UNLOCKED   Lights: NORMAL   Audio: OFF   Volume:  50%   "
              "Fob config: none   \r\n");
}

TEST_F(SystemTest, DoorOpeningIsReportedAfterDebounce) {
    run_until_looping();
    vb::run_for_ms(20);
    vb::drive_pin(test::kDoorPin, true);
    vb::run_for_ms(600);
    const auto f = frames();
    ASSERT_GE(f.size(), 2u);
    EXPECT_EQ(f.back().payload, "DOPOOOF00V010B");
}

TEST_F(SystemTest, DoorBouncingEvery30msIsNeverReported) {
    run_until_looping();
    vb::run_for_ms(20);
    bool open = false;
    for (int i = 0; i < 40; i++) {  // 1.2 s
        open = !open;
        vb::drive_pin(test::kDoorPin, open);
        vb::run_for_ms(30);
    }
    const auto f = frames();
    ASSERT_GE(f.size(), 4u);
    for (const auto &frame : f) EXPECT_EQ(frame.payload, "DCLOOOF00V010B");
}

TEST_F(SystemTest, BadFramesChangeNothingAndGoodOnesStillWork) {
    run_until_looping();
    vb::run_for_ms(20);
    const size_t console_lines = lines().size();
    test::send_raw(">>>LOFNOROFFX050FCNDE9E\r\n");    // wrong check value
    test::send_raw("x>>>LOFNOROFFX050FCN1696\r\n");   // garbage before the prefix
    test::send_raw(">>>FFFF\r\n");                    // no payload
    test::send_raw(std::string(9000, 'A') + "\r\n");  // wraps the receive buffer
    vb::run_for_ms(1000);  // 9100 bytes take 790 ms on the line
    EXPECT_TRUE(vb::level(test::kMaglockPin));
    for (size_t i = console_lines; i < lines().size(); i++) {
        EXPECT_TRUE(lines()[i].frame) << "no message for a dropped line: " << lines()[i].text;
    }
    test::send_frame("LOFNOROFFX050FCN");
    vb::run_for_ms(10);
    EXPECT_FALSE(vb::level(test::kMaglockPin));
}

TEST_F(SystemTest, AHungPollResetsTheBoardThroughTheWatchdog) {
    run_until_looping();
    ASSERT_EQ(vb::boots(), 1u);
    const size_t from = vb::tx_count(test::kScreenUart);
    const uint64_t hang_at = vb::now_ns();
    vb::freeze_next_call_us(1500 * kMs);
    vb::run_for_ms(1600);
    EXPECT_EQ(vb::boots(), 2u);
    const auto events = vb::board_events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().cause, vb::ResetCause::Watchdog);
    // Fires 1000 ms after the last feed, which came at most one blocking
    // poll (a window of firmware frames, 120 ms, is the longest) before the hang.
    EXPECT_LE(events.back().t_ns, hang_at + 1000000000ull);
    EXPECT_GE(events.back().t_ns, hang_at + 1000000000ull - 120000000);
    EXPECT_EQ(vb::tx_text(test::kScreenUart, from).rfind("orlix-fw-io\r\n", 0), 0u);
    // Outputs are back at their defaults and reports resume.
    EXPECT_TRUE(vb::level(test::kMaglockPin));
}

TEST_F(SystemTest, LoopFeedsTheWatchdogSoItNeverFires) {
    vb::run_for_ms(3000);
    EXPECT_EQ(vb::boots(), 1u);
    EXPECT_EQ(vb::firmware_state(), vb::FwState::Yielded);
}

TEST_F(SystemTest, StackIsPaintedUpTo256BytesBelowTheStackPointer) {
    vb::run_for_ms(1);
    const size_t painted = (vb::kStackSize - vb::kDefaultStackDepth - 256) / 4;
    for (size_t i = 0; i < vb::stack_words(); i++) {
        EXPECT_EQ(vb::stack_word(i), i < painted ? 0xDEADBEEFu : 0u) << "word " << i;
    }
}

class ShallowStackTest : public ::testing::Test {};

TEST_F(ShallowStackTest, NothingIsPaintedWhenTheGapReachesTheBottom) {
    for (uint32_t depth : {0x700u, 0x7F0u}) {
        vb::set_stack_depth(depth);
        vb::power_on();
        vb::run_for_ms(1);
        for (size_t i = 0; i < vb::stack_words(); i++) ASSERT_EQ(vb::stack_word(i), 0u) << depth;
        vb::power_off();
    }
    vb::set_stack_depth(0x6FC);  // one word of room
    vb::power_on();
    vb::run_for_ms(1);
    EXPECT_EQ(vb::stack_word(0), 0xDEADBEEFu);
    EXPECT_EQ(vb::stack_word(1), 0u);
    vb::power_off();
}

class ClockTest : public ::testing::Test {};

TEST_F(ClockTest, UnreachableClockPanicsBeforeTheConsoleOpens) {
    vb::set_xosc_hz(13000000);  // 132 MHz is no whole multiple of 13 MHz within the dividers
    vb::power_on();
    vb::run_for_ms(100);
    EXPECT_EQ(vb::firmware_state(), vb::FwState::Halted);
    EXPECT_EQ(vb::halt_message(), "System clock of 132000 kHz cannot be exactly achieved");
    EXPECT_EQ(vb::tx_count(test::kScreenUart), 0u);
    EXPECT_FALSE(vb::board().pins[test::kMaglockPin].out_enable) << "no module was initialised";
    vb::power_off();
}

}  // namespace
