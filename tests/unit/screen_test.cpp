#include "screen.h"

#include <gtest/gtest.h>

#include <random>

#include "board_test.h"
#include "door.h"
#include "pico/stdlib.h"
#include "status.h"

namespace {

using test::kMs;

class ScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::unit_board();
        status_init();
        door_init();
        screen_init();
        mark();
    }
    void mark() {
        from_ = vb::tx_count(test::kScreenUart);
    }
    std::string sent() {
        return vb::tx_text(test::kScreenUart, from_);
    }
    // Lets `bytes` arrive, then polls once.
    void deliver(const std::string &bytes) {
        test::send_raw(bytes);
        vb::advance_us(vb::wire_ns(bytes.size(), test::kBaud) / 1000 + 1);
    }
    size_t from_ = 0;
};

TEST_F(ScreenTest, StartUpLineAndDirection) {
    EXPECT_EQ(vb::tx_text(test::kScreenUart), "Start screen\r\n");
    EXPECT_FALSE(vb::level(test::kDirPinA));
    EXPECT_FALSE(vb::level(test::kDirPinB));
    EXPECT_TRUE(vb::board().pins[test::kDirPinA].out_enable);
    EXPECT_EQ(vb::board().uart[1].baud, test::kActualBaud);
}

TEST_F(ScreenTest, AcceptedVariantsOfAStatusFrame) {
    for (const char *line : {">>>LOFNOROFFX050FCN1696\n", ">>>LONNOROFFX050FCNDE9F\r\n",
                             ">>>LOFNOROFFX050FCN1696\r\n", ">>>LONNOROFFX050FCNDE9F\r\x01\r\n"}) {
        const bool lock_wanted = std::string(line).find("LON") != std::string::npos;
        deliver(line);
        screen_poll();
        EXPECT_EQ(status.out.maglock, lock_wanted ? MAGLOCK_ON : MAGLOCK_OFF) << line;
        EXPECT_EQ(status.out.volume, 50);
    }
}

TEST_F(ScreenTest, DroppedLinesLeaveNoTrace) {
    screen_poll();
    vb::advance_us(20 * kMs);
    mark();
    const status_t before = status;
    for (const std::string &line : std::vector<std::string>{
             ">>>LOFNOROFFX050FCNDE9E\r\n",   // wrong check value
             "x>>>LOFNOROFFX050FCN1696\r\n",  // prefix not at the start
             ">>>FFFF\r\n",                   // no payload
             ">>LOFNOROFFX050FCN1696\r\n",    // short prefix
             "\r\n",
             ">>>LOFNOROFFX050FCN169\r\n",    // three check digits: the payload loses a character
             std::string(">>>LOF\0NOROFFX050FCN1696\r\n", 27),  // a NUL ends the line early
         }) {
        deliver(line);
        screen_poll();
    }
    EXPECT_EQ(memcmp(&status, &before, sizeof status), 0);
    EXPECT_EQ(sent(), "");
}

TEST_F(ScreenTest, BackToBackLinesAreBothProcessedInOrder) {
    // Two frames are more than the receive FIFO holds: poll as the loop does.
    test::send_raw(peers::frame_to_board("LOFALMOFFX010FCN") + peers::frame_to_board("LONDMAOFFX020FCN"));
    for (int i = 0; i < 100; i++) {
        screen_poll();
        vb::advance_us(100);
    }
    EXPECT_EQ(vb::rx_overruns(test::kScreenUart), 0u);
    EXPECT_EQ(status.out.maglock, MAGLOCK_ON);
    EXPECT_EQ(status.out.lights, CABINET_LIGHTS_DEMO_A);
    EXPECT_EQ(status.out.volume, 20);
    vb::advance_us(50 * kMs);
    const std::string dumps = sent();
    EXPECT_NE(dumps.find("Lights: ALARM"), std::string::npos);
    EXPECT_LT(dumps.find("Lights: ALARM"), dumps.find("Lights: DEMO A"));
}

TEST_F(ScreenTest, LineSplitAcrossPollsIsAssembled) {
    const std::string frame = peers::frame_to_board("LOFNOROFFX050FCN");
    for (const char c : frame) {
        deliver(std::string(1, c));
        screen_poll();
        if (c != '\n') {
            ASSERT_EQ(status.out.maglock, MAGLOCK_ON);
        }
    }
    EXPECT_EQ(status.out.maglock, MAGLOCK_OFF);
}

TEST_F(ScreenTest, OverlongLineWrapsAndOnlyItsTailCounts) {
    // 8192 bytes of noise, then a whole frame: after the wrap the buffer's
    // start holds exactly the frame, which is then accepted.
    const std::string frame = peers::frame_to_board("LOFNOROFFX050FCN");
    std::string noise(8192, 'N');
    for (size_t i = 0; i < noise.size(); i += 25) {
        deliver(noise.substr(i, 25));
        screen_poll();
    }
    deliver(frame);
    screen_poll();
    EXPECT_EQ(status.out.maglock, MAGLOCK_OFF);

    // A tail that is not a frame is dropped.
    std::string junk(8192 + 40, 'J');
    for (size_t i = 0; i < junk.size(); i += 25) {
        deliver(junk.substr(i, 25));
        screen_poll();
    }
    deliver("\r\n");
    screen_poll();
    EXPECT_EQ(status.out.maglock, MAGLOCK_OFF);
}

TEST_F(ScreenTest, NewlineInTheLastPositionOfTheBuffer) {
    // 8191 bytes, then "\n" stored at index 8191: handled inside the buffer.
    std::string line(8191, 'Z');
    for (size_t i = 0; i < line.size(); i += 25) {
        deliver(line.substr(i, 25));
        screen_poll();
    }
    deliver("\n");
    screen_poll();
    deliver(peers::frame_to_board("LOFNOROFFX050FCN"));
    screen_poll();
    EXPECT_EQ(status.out.maglock, MAGLOCK_OFF);
}

TEST_F(ScreenTest, PayloadStartingWithFNeverReachesTheStatusParser) {
    deliver(peers::frame_to_board("FOFALMPL1X050FCN"));
    screen_poll();
    EXPECT_EQ(status.out.lights, CABINET_LIGHTS_NORMAL);
    EXPECT_EQ(status.out.volume, 0);
}

TEST_F(ScreenTest, ReportIsDue250msAfterInitAndEverySendingPushesItOn) {
    vb::advance_us(249 * kMs);
    screen_poll();
    EXPECT_EQ(sent(), "");
    vb::advance_us(1 * kMs);
    screen_poll();
    EXPECT_EQ(sent(), "<<<DCLOOOF00V010B7011\r\n");
    mark();
    vb::advance_us(249 * kMs);
    screen_poll();
    EXPECT_EQ(sent(), "");
    vb::advance_us(2 * kMs);
    screen_poll();
    EXPECT_EQ(sent(), "<<<DCLOOOF00V010B7011\r\n");
}

TEST_F(ScreenTest, NoReportsDuringAFirmwareTransferButStatusStillApplies) {
    screen_fw_set_active(true);
    vb::advance_us(1000 * kMs);
    deliver(peers::frame_to_board("LOFNOROFFX050FCN"));
    screen_poll();
    EXPECT_EQ(status.out.maglock, MAGLOCK_OFF);
    vb::advance_us(20 * kMs);
    EXPECT_EQ(sent().find("<<<"), std::string::npos);
    mark();
    screen_fw_set_active(false);
    screen_poll();
    EXPECT_EQ(sent(), "<<<DCLOOOF00V010B7011\r\n") << "the overdue report goes out on the next poll";
}

TEST_F(ScreenTest, FirmwareFrames) {
    screen_send_fw("FX");
    EXPECT_EQ(sent(), "<<<FX2A32\r\n");
    EXPECT_FALSE(vb::level(test::kDirPinA));

    // Several frames in one transmission, direction raised once.
    mark();
    const size_t edges = vb::pin_event_count();
    screen_send_fw_begin();
    screen_send_fw_frame("FX");
    screen_send_fw_frame("FX");
    screen_send_fw_end();
    EXPECT_EQ(sent(), "<<<FX2A32\r\n<<<FX2A32\r\n");
    EXPECT_EQ(vb::pin_event_count() - edges, 4u);  // GPIO 10 and 11 up, then down

    // A frame streamed in pieces is the same frame.
    mark();
    screen_send_fw_begin();
    screen_fw_frame_open();
    screen_fw_frame_put("F", 1);
    screen_fw_frame_put("XY", 1);
    screen_fw_frame_close();
    screen_send_fw_end();
    EXPECT_EQ(sent(), "<<<FX2A32\r\n");

    // 1500 characters still go; 1501 do not, though the direction still switches.
    mark();
    screen_send_fw(std::string(1500, 'F').c_str());
    EXPECT_EQ(sent().size(), 1500u + 9);
    mark();
    const size_t before = vb::pin_event_count();
    screen_send_fw(std::string(1501, 'F').c_str());
    EXPECT_EQ(sent(), "");
    EXPECT_EQ(vb::pin_event_count() - before, 4u);
}

TEST_F(ScreenTest, ConsoleTextStillLeavingDelaysTheSwitchToTransmit) {
    status_dump();  // a console line of 108 characters, still leaving when the frame is sent
    const size_t edges = vb::pin_event_count();
    screen_send_fw("FX");
    const auto bytes = vb::tx_bytes(test::kScreenUart, from_);
    const auto rise = vb::pin_events(edges).front();
    ASSERT_EQ(rise.pin, test::kDirPinA);
    ASSERT_TRUE(rise.level);
    // The console line has left 200 µs before the direction rises; the frame
    // starts 200 µs after it.
    const size_t console_len = vb::tx_text(test::kScreenUart, from_).find("<<<");
    ASSERT_EQ(console_len, 108u);
    EXPECT_GE(rise.t_ns, bytes[console_len - 1].end_ns + 200000);
    EXPECT_GE(bytes[console_len].start_ns, rise.t_ns + 200000);
    for (size_t i = 0; i < console_len; i++) EXPECT_FALSE(bytes[i].pins_end & (1u << test::kDirPinA));
}

TEST_F(ScreenTest, BaudRateChangesAtOnce) {
    screen_set_baud(921600);
    EXPECT_EQ(vb::board().uart[1].baud, test::kActualFastBaud);
    screen_set_baud(115200);
    EXPECT_EQ(vb::board().uart[1].baud, test::kActualBaud);
}

}  // namespace

namespace {

// Noise of every kind between valid frames: whatever the noise, the outputs
// end up as the last valid frame set them, and nothing else is printed.
TEST_F(ScreenTest, RandomNoiseBetweenFramesChangesNothing) {
    std::mt19937 rng(7);
    const char *payloads[] = {"LOFALMPL2X100FCN", "LONDMCOFFX020FCN", "LOFNORPO1X050FCN"};
    auto feed = [&](const std::string &bytes) {
        for (size_t i = 0; i < bytes.size(); i += 16) {
            deliver(bytes.substr(i, 16));
            screen_poll();
        }
    };
    for (int round = 0; round < 60; round++) {
        std::string noise(rng() % 700, '\0');
        for (char &c : noise) c = static_cast<char>(rng() % 4 == 0 ? "\r\n>"[rng() % 3] : rng());
        feed(noise + "\n");  // the noise ends in a line of its own
        const char *payload = payloads[round % 3];
        feed(peers::frame_to_board(payload));
        ASSERT_EQ(status.out.maglock, payload[2] == 'F' ? MAGLOCK_OFF : MAGLOCK_ON) << round;
        ASSERT_EQ(status.out.volume, atoi(payload + 10)) << round;
    }
    EXPECT_EQ(vb::rx_overruns(test::kScreenUart), 0u);
    vb::advance_us(100 * kMs);
    for (const auto &line : peers::LineReader().poll()) {
        EXPECT_TRUE(line.text.rfind("Door: ", 0) == 0 || line.text == "Start screen" || line.frame) << line.text;
    }
}

}  // namespace
