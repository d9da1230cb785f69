#include "fwupdate.h"

#include <gtest/gtest.h>

#include <memory>

#include "fwupdate_rig.h"

namespace {

using test::kMs;
using Words = std::vector<std::string>;

constexpr uint64_t kUs = 1000;       // in ns
constexpr uint64_t kMsNs = 1000000;  // in ns
constexpr uint32_t kUartBaudNormal = test::kActualBaud;
constexpr uint32_t kUartBaudFast = test::kActualFastBaud;

std::vector<uint8_t> bytes_of(const std::string &s) {
    return {s.begin(), s.end()};
}

uint32_t board_baud() {
    return vb::board().uart[test::kScreenUart].baud;
}

// Edges of the direction pins between two times.
size_t direction_edges(uint64_t from_ns, uint64_t to_ns) {
    size_t n = 0;
    for (const auto &e : vb::pin_events()) {
        if ((e.pin == test::kDirPinA || e.pin == test::kDirPinB) && e.t_ns > from_ns && e.t_ns < to_ns) n++;
    }
    return n;
}

class FwUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        rig.bring_up();
    }
    // The payloads of the board's firmware frames since the session started.
    std::vector<std::string> payloads() {
        std::vector<std::string> out;
        for (const auto &f : rig.frames()) {
            if (f.payload.compare(0, 1, "F") == 0) out.push_back(f.payload);
        }
        return out;
    }
    // Payloads shortened as the unit model keeps them: block frames to "FDnnnn".
    std::vector<std::string> short_payloads() {
        std::vector<std::string> out;
        for (const auto &p : payloads()) out.push_back(p.compare(0, 2, "FD") == 0 ? p.substr(0, 6) : p);
        return out;
    }
    // After any end: 115200 baud, not active, no ring, and the input report
    // is back within one report interval.
    void expect_back_to_normal() {
        EXPECT_FALSE(fwupdate_active());
        EXPECT_EQ(board_baud(), kUartBaudNormal);
        EXPECT_EQ(fwupdate_feed_space(), 0);
        const uint8_t one = 0;
        EXPECT_EQ(fwupdate_feed(&one, 1), 0);
        const size_t from = rig.lines().size();
        ASSERT_TRUE(rig.run_until([&] { return rig.lines().size() > from && rig.lines().back().frame; }, 260 * kMs));
        const auto report = rig.lines().back();
        EXPECT_EQ(report.payload, "DCLOOOF00V010B");
        EXPECT_EQ(report.baud, kUartBaudNormal);
    }
    // Passes of a millisecond while nothing is expected to happen.
    void wait_coarsely_until(uint64_t t_ns) {
        const uint64_t fine = rig.pass_us;
        rig.pass_us = 1000;
        rig.run_until([&] { return vb::now_ns() >= t_ns; }, 20000 * kMs);
        rig.pass_us = fine;
    }
    test::FwRig rig;
};

// ---- a small image and a 9000-byte one, byte for byte -----------------------

TEST_F(FwUpdateTest, HelloImageByteForByte) {
    rig.start(5, bytes_of("hello"));
    EXPECT_EQ(test::fw_words(), Words{"START"});
    ASSERT_TRUE(rig.run_to_end(2000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));

    EXPECT_EQ(rig.sent_text(),
              "<<<FB0000000504000E100078A9\r\n"
              "<<<FD0000aGVsbG8=DC73\r\n"
              "<<<FP00016A14\r\n"
              "<<<FZ3610A686AC26\r\n");
    EXPECT_EQ(rig.unit.answered(), (Words{"FR", "FA0001", "FC00"}));
    EXPECT_EQ(rig.unit.completion(), 0);

    const auto f = rig.frames();
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0].baud, kUartBaudNormal);
    for (size_t i = 1; i < 4; i++) EXPECT_EQ(f[i].baud, kUartBaudFast) << i;
    for (const auto &line : f) EXPECT_TRUE(line.dir_high) << line.text;
    // The block and the window end go out in one transmission.
    EXPECT_EQ(direction_edges(f[1].start_ns, f[2].end_ns), 0u);
    // After FR: the 2 ms pause, then 400 µs of guard time around the switch
    // to transmit before the first block byte.
    const uint64_t fr_arrives = rig.unit.answer_arrivals().at(0);
    EXPECT_GE(f[1].start_ns, fr_arrives + 2400 * kUs);
    EXPECT_LE(f[1].start_ns, fr_arrives + 2400 * kUs + 60 * kUs);
    expect_back_to_normal();
}

TEST_F(FwUpdateTest, NineThousandBytesWithPartialAckAndTimeOut) {
    const auto image = test::image_bytes(9000);
    // The unit misses block 5 once, and the first answer to the second window is lost.
    rig.unit.faults().lose_blocks = {5};
    int fa0009 = 0;
    rig.unit.faults().rewrite = [&](const std::string &a) {
        if (a == "FA0009" && fa0009++ == 0) return std::string();
        return peers::frame_to_board(a);
    };
    rig.start(9000, image);
    rig.feed();  // all 9000 bytes are in the ring before the first poll
    ASSERT_TRUE(rig.run_to_end(5000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));

    EXPECT_EQ(short_payloads(),
              (Words{"FB0000232804000E1000",                                                 //
                     "FD0000", "FD0001", "FD0002", "FD0003", "FD0004", "FD0005", "FD0006", "FD0007", "FP0008",  //
                     "FD0005", "FD0006", "FD0007", "FD0008", "FP0009",                       //
                     "FD0005", "FD0006", "FD0007", "FD0008", "FP0009",                       //
                     "FZ" + std::string([&] {
                         char crc[16];
                         snprintf(crc, sizeof crc, "%08X", peers::crc32_iso_hdlc(image));
                         return std::string(crc);
                     }())}));
    EXPECT_EQ(rig.unit.answered(), (Words{"FR", "FA0005", "FA0009", "FA0009", "FC00"}));
    EXPECT_EQ(rig.unit.image(), image);

    const auto p = payloads();
    for (size_t i = 1; i <= 8; i++) EXPECT_EQ(p[i].size(), 1374u) << i;
    EXPECT_EQ(p[13].size(), 6u + 1080);  // block 8: 808 bytes
    EXPECT_EQ(p[13].substr(6), test::b64(std::vector<uint8_t>(image.begin() + 8192, image.end())));

    // The resend follows 600 ms after the unanswered window has left (and
    // the 400 µs of guard time around each direction switch).
    const auto f = rig.frames();
    const uint64_t wait_from = f[14].end_ns + 400 * kUs;
    EXPECT_GE(f[15].start_ns, wait_from + 600 * kMsNs + 400 * kUs);
    EXPECT_LE(f[15].start_ns, wait_from + 600 * kMsNs + 400 * kUs + 60 * kUs);
    expect_back_to_normal();
}

// ---- images through the bridge to the screen unit ---------------------------

class FwImageTest : public FwUpdateTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(FwImageTest, ArrivesWholeAndTheCrcChecksOut) {
    const uint32_t size = GetParam();
    const auto image = test::image_bytes(size, size);
    rig.start(size, image);
    ASSERT_TRUE(rig.run_to_end(20000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));
    EXPECT_EQ(rig.unit.image(), image);
    EXPECT_EQ(rig.unit.completion(), 0);
    EXPECT_EQ(rig.unit.stats().noise, 0u);
    EXPECT_EQ(rig.unit.stats().collisions, 0u);

    // A well-behaved unit costs no resend: every block goes out once, in
    // full windows whenever the ring holds them.
    const uint32_t blocks = (size + 1023) / 1024;
    EXPECT_EQ(rig.unit.stats().block_frames, blocks);
    EXPECT_EQ(rig.unit.stats().windows, (blocks + 7) / 8);
    const auto p = payloads();
    ASSERT_EQ(p.size(), 1 + blocks + (blocks + 7) / 8 + 1);
    char fz[16];
    snprintf(fz, sizeof fz, "FZ%08X", peers::crc32_iso_hdlc(image));
    EXPECT_EQ(p.back(), fz);
    if (blocks > 0) {
        const std::string &last = p[p.size() - 3];
        const std::vector<uint8_t> tail(image.begin() + (blocks - 1) * 1024, image.end());
        EXPECT_EQ(last.substr(6), test::b64(tail));
    }
    // One window holds the loop for about 120 ms, well inside the watchdog's second.
    EXPECT_LT(rig.longest_poll_ns, 125 * kMsNs);
    expect_back_to_normal();
}

INSTANTIATE_TEST_SUITE_P(Sizes, FwImageTest, ::testing::Values(0u, 1u, 2u, 1024u, 9000u, 100000u));

// ---- the ring ------------------------------------------------------------------

TEST_F(FwUpdateTest, RingSpaceIsTheProducersLimit) {
    const uint8_t byte = 0x55;
    EXPECT_EQ(fwupdate_feed_space(), 0);  // idle
    EXPECT_EQ(fwupdate_feed(&byte, 1), 0);

    // A 1024-byte image and a host that sends far more: the ring takes 12287.
    auto host = test::image_bytes(20000, 3);
    rig.unit.faults().ignore_begins = 1;
    rig.start(1024, host);
    EXPECT_EQ(fwupdate_feed_space(), 12287);
    EXPECT_EQ(fwupdate_feed(nullptr, 10), 0);
    EXPECT_EQ(fwupdate_feed(&byte, -1), 0);
    EXPECT_EQ(fwupdate_feed(&byte, 0), 0);
    ASSERT_TRUE(rig.run_until([] { return fwupdate_feed_space() == 0; }, 10 * kMs));
    EXPECT_EQ(rig.host_sent(), 12287u);
    EXPECT_EQ(fwupdate_feed(&byte, 1), 0);

    // No more is taken while the screen unit is not ready.
    rig.feeding = false;
    ASSERT_TRUE(rig.run_until([&] { return rig.unit.stats().begins == 2; }, 1000 * kMs));
    EXPECT_EQ(fwupdate_feed_space(), 0);
    // Once ready, the one block leaves the ring for the window: exactly 1024 free.
    ASSERT_TRUE(rig.run_until([&] { return rig.unit.stats().block_frames == 1; }, 100 * kMs));
    EXPECT_EQ(fwupdate_feed_space(), 1024);

    // The surplus is never sent, and the unit gets exactly the image.
    ASSERT_TRUE(rig.run_to_end(1000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));
    EXPECT_EQ(rig.unit.image(), std::vector<uint8_t>(host.begin(), host.begin() + 1024));
    EXPECT_EQ(rig.unit.stats().block_frames, 1u);

    // The next session starts with an empty ring.
    rig.feeding = true;
    rig.start(5, bytes_of("hello"));
    ASSERT_TRUE(rig.run_to_end(1000 * kMs));
    EXPECT_EQ(rig.unit.image(), bytes_of("hello"));
    EXPECT_EQ(payloads()[1], "FD0000aGVsbG8=");
}

TEST_F(FwUpdateTest, ABlockWaitsForAllItsBytes) {
    const auto image = test::image_bytes(3000, 5);
    rig.start(3000, std::vector<uint8_t>(image.begin(), image.begin() + 1023));
    ASSERT_TRUE(rig.run_until([&] { return rig.unit.rate() == peers::kScreenFastBaud; }, 100 * kMs));
    rig.run_until([] { return false; }, 200 * kMs);
    EXPECT_EQ(payloads().size(), 1u);  // the begin frame only
    EXPECT_TRUE(fwupdate_active());

    // The 1024th byte completes block 0: a window of one block goes out.
    rig.host_now_has(std::vector<uint8_t>(image.begin(), image.begin() + 1024));
    ASSERT_TRUE(rig.run_until([&] { return rig.unit.stats().windows == 1; }, 500 * kMs));
    rig.host_now_has(std::vector<uint8_t>(image.begin(), image.begin() + 2100));
    ASSERT_TRUE(rig.run_until([&] { return rig.unit.stats().windows == 2; }, 500 * kMs));
    rig.run_until([] { return false; }, 100 * kMs);
    EXPECT_EQ(rig.unit.heard(), (Words{"FB00000BB804000E1000", "FD0000", "FP0001", "FD0001", "FP0002"}));

    // The short last block follows once its 952 bytes are in.
    rig.host_now_has(image);
    ASSERT_TRUE(rig.run_to_end(1000 * kMs));
    EXPECT_EQ(rig.unit.image(), image);
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));
}

TEST_F(FwUpdateTest, FullRingHoldsTheProducerBackWithoutLoss) {
    // The console feeds 64 bytes at a time as space allows; the unit is slow
    // to answer, so the ring stays full most of the time.
    const auto image = test::image_bytes(60000, 9);
    rig.unit.faults().delay_us = 150 * 1000;
    rig.pass_us = 100;
    rig.start(60000, image);
    size_t full_passes = 0;
    ASSERT_TRUE(rig.run_until(
        [&] {
            if (fwupdate_active() && fwupdate_feed_space() == 0) full_passes++;
            return !fwupdate_active();
        },
        20000 * kMs));
    EXPECT_GT(full_passes, 1000u);
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));
    EXPECT_EQ(rig.unit.image(), image);
    EXPECT_EQ(rig.unit.stats().block_frames, 59u);
}

// ---- retries --------------------------------------------------------------------

// Answers the n-th window acknowledgement (from 1) with what `pick` says.
std::function<std::string(const std::string &)> on_fa(std::function<std::string(int n, const std::string &)> pick) {
    auto count = std::make_shared<int>(0);
    return [count, pick](const std::string &a) {
        if (a.compare(0, 2, "FA") != 0) return peers::frame_to_board(a);
        const std::string out = pick(++*count, a);
        return out.empty() ? out : peers::frame_to_board(out);
    };
}

TEST_F(FwUpdateTest, SixtiethNoProgressAckRetriesTheSixtyFirstEndsWithNoresp) {
    rig.unit.faults().rewrite = on_fa([](int, const std::string &) { return "FA0000"; });
    rig.start(5, bytes_of("hello"));
    const uint64_t t0 = vb::now_us();
    ASSERT_TRUE(rig.run_to_end(5000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "NORESP"}));
    // The first window and 60 resends, each sent again at once.
    EXPECT_EQ(rig.unit.stats().windows, 61u);
    EXPECT_LT(vb::now_us() - t0, 1000 * kMs);

    // FX leaves at the fast rate, and only then does the board go back to 115200.
    const auto f = rig.frames();
    const auto &fx = f.back();
    EXPECT_EQ(fx.text, "<<<FX2A32");
    EXPECT_EQ(fx.baud, kUartBaudFast);
    EXPECT_TRUE(fx.dir_high);
    EXPECT_EQ(rig.unit.stats().aborts, 1u);
    EXPECT_EQ(rig.unit.rate(), peers::kScreenBaud);
    expect_back_to_normal();
}

TEST_F(FwUpdateTest, ReadyAndProgressResetTheRetryCount) {
    // Five unanswered begin frames, then FR; 60 acknowledgements without
    // progress, one with, 60 more without, and the session still succeeds.
    const auto image = test::image_bytes(1025, 11);
    rig.pass_us = 100;
    rig.unit.faults().ignore_begins = 5;
    rig.unit.faults().rewrite = on_fa([](int n, const std::string &a) -> std::string {
        if (n <= 60) return "FA0000";
        if (n <= 121) return "FA0001";
        return a;  // FA0002
    });
    rig.start(1025, image);
    ASSERT_TRUE(rig.run_to_end(10000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));
    EXPECT_EQ(rig.unit.stats().begins, 6u);
    EXPECT_EQ(rig.unit.stats().windows, 122u);
    EXPECT_EQ(rig.unit.image(), image);
}

TEST_F(FwUpdateTest, TimeOutsAndNoProgressCountTogether) {
    // 20 window acknowledgements lost (600 ms each), then 41 without progress.
    rig.unit.faults().rewrite = on_fa([](int n, const std::string &) { return n <= 20 ? "" : "FA0000"; });
    rig.pass_us = 1000;
    rig.start(5, bytes_of("hello"));
    ASSERT_TRUE(rig.run_to_end(16000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "NORESP"}));
    EXPECT_EQ(rig.unit.stats().windows, 61u);
    EXPECT_EQ(payloads().back(), "FX");
}

TEST_F(FwUpdateTest, FinishFrameIsSentAgainAfterATimeOut) {
    int fc = 0;
    rig.unit.faults().rewrite = [&](const std::string &a) {
        if (a == "FC00" && fc++ == 0) return std::string();
        return peers::frame_to_board(a);
    };
    rig.start(5, bytes_of("hello"));
    // The unit goes back to 115200 after its (lost) answer and cannot hear
    // the second finish frame at the fast rate: only the time-out helps.
    ASSERT_TRUE(rig.run_until([&] { return rig.unit.stats().noise > 0; }, 1000 * kMs));
    const auto f = rig.frames();
    ASSERT_GE(f.size(), 5u);
    EXPECT_EQ(f[3].payload, "FZ3610A686");
    EXPECT_EQ(f[4].payload, "FZ3610A686");
    EXPECT_GE(f[4].start_ns, f[3].end_ns + 400 * kUs + 600 * kMsNs + 400 * kUs);
    EXPECT_LE(f[4].start_ns, f[3].end_ns + 400 * kUs + 600 * kMsNs + 400 * kUs + 60 * kUs);
}

// ---- time-outs --------------------------------------------------------------------

TEST_F(FwUpdateTest, SilentUnitTimesOut15sAfterTheLastHostByte) {
    rig.unit.faults().silent = true;
    rig.start(5, bytes_of("hello"));
    rig.pass();
    const uint64_t due = rig.last_accept_ns + 15000 * kMsNs;
    wait_coarsely_until(due - 2 * kMsNs);
    ASSERT_TRUE(rig.run_to_end(10 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "TIMEOUT"}));
    // A begin frame about every 603 ms: 600 ms of waiting, 2.4 ms on the
    // line and 800 µs of guard time.
    EXPECT_EQ(rig.unit.stats().begins, 25u);
    const auto f = rig.frames();
    const auto &fx = f.back();
    EXPECT_EQ(fx.payload, "FX");
    EXPECT_EQ(fx.baud, kUartBaudNormal);
    EXPECT_GE(fx.start_ns, due + 400 * kUs);
    EXPECT_LE(fx.start_ns, due + 400 * kUs + 120 * kUs);
    expect_back_to_normal();
}

TEST_F(FwUpdateTest, HostSendingTooLittleTimesOutAndAbortsAtTheFastRate) {
    const auto image = test::image_bytes(2048, 13);
    rig.start(2048, std::vector<uint8_t>(image.begin(), image.begin() + 1500));
    rig.pass();
    const uint64_t due = rig.last_accept_ns + 15000 * kMsNs;
    wait_coarsely_until(due - 2 * kMsNs);
    ASSERT_TRUE(rig.run_to_end(10 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "TIMEOUT"}));
    EXPECT_EQ(rig.unit.heard(), (Words{"FB0000080004000E1000", "FD0000", "FP0001", "FX"}));
    EXPECT_EQ(rig.unit.image(), std::vector<uint8_t>(image.begin(), image.begin() + 1024));
    const auto fx = rig.frames().back();
    EXPECT_EQ(fx.baud, kUartBaudFast);
    EXPECT_GE(fx.start_ns, due + 400 * kUs);
    EXPECT_LE(fx.start_ns, due + 400 * kUs + 120 * kUs);
    EXPECT_EQ(rig.unit.rate(), peers::kScreenBaud);
    expect_back_to_normal();
}

// A new session while one runs (its host is gone): the screen unit, still
// at the fast rate, hears the abort before the new begin frame at 115200.
// The cut session reports nothing, and an abort while idle sends nothing.
TEST_F(FwUpdateTest, ANewSessionAbortsTheRunningOneFirst) {
    const size_t idle_tx = vb::tx_count(test::kScreenUart);
    fwupdate_abort();
    EXPECT_EQ(vb::tx_count(test::kScreenUart), idle_tx);
    rig.start(9000, test::image_bytes(9000, 4));
    ASSERT_TRUE(rig.run_until([&] { return rig.unit.stats().windows == 1; }, 1000 * kMs));
    rig.start(5, bytes_of("hello"));
    ASSERT_TRUE(rig.run_to_end(2000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "START", "DONE"}));
    const auto f = rig.frames();
    ASSERT_GE(f.size(), 2u);
    EXPECT_EQ(f[0].payload, "FX");
    EXPECT_EQ(f[0].baud, kUartBaudFast);
    EXPECT_EQ(f[1].payload, "FB0000000504000E1000");
    EXPECT_EQ(f[1].baud, kUartBaudNormal);
    EXPECT_EQ(rig.unit.image(), bytes_of("hello"));
    expect_back_to_normal();
}

TEST_F(FwUpdateTest, EachAcceptedByteMovesTheSessionDeadline) {
    // A host that trickles one byte every 10 s keeps the session alive.
    const auto image = test::image_bytes(3, 17);
    rig.pass_us = 1000;
    rig.start(3, {});
    for (int i = 0; i < 3; i++) {
        rig.run_until([] { return false; }, 10000 * kMs);
        ASSERT_TRUE(fwupdate_active()) << i;
        rig.host_now_has(std::vector<uint8_t>(image.begin(), image.begin() + i + 1));
    }
    ASSERT_TRUE(rig.run_to_end(1000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));
    EXPECT_EQ(rig.unit.image(), image);
}

// ---- completion answers ------------------------------------------------------------

struct Completion {
    const char *answer;
    const char *word;
};

class FwCompletionTest : public FwUpdateTest, public ::testing::WithParamInterface<Completion> {};

TEST_P(FwCompletionTest, OnlyAnExplicitZeroSucceeds) {
    const Completion c = GetParam();
    rig.unit.faults().rewrite = [&](const std::string &a) {
        return peers::frame_to_board(a == "FC00" ? c.answer : a);
    };
    rig.start(5, bytes_of("hello"));
    ASSERT_TRUE(rig.run_to_end(2000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", c.word}));
    const auto last = rig.frames().back();
    if (std::string(c.word) == "DONE") {
        EXPECT_EQ(last.payload, "FZ3610A686");
    } else {
        EXPECT_EQ(last.payload, "FX");
        EXPECT_EQ(last.baud, kUartBaudFast);
    }
    expect_back_to_normal();
}

INSTANTIATE_TEST_SUITE_P(Codes, FwCompletionTest,
                         ::testing::Values(Completion{"FC00", "DONE"}, Completion{"FC000", "DONE"},
                                           Completion{"FC01", "FAIL"}, Completion{"FC0", "FAIL"},
                                           Completion{"FC", "FAIL"}, Completion{"FCFF", "FAIL"},
                                           Completion{"FCZZ", "FAIL"}, Completion{"FC100000000", "FAIL"}),
                         [](const ::testing::TestParamInfo<Completion> &info) { return std::string(info.param.answer); });

TEST_F(FwUpdateTest, DamagedImageFailsTheUnitsCheck) {
    // The unit acknowledges a block it never took: its CRC-32 check fails.
    rig.unit.faults().lose_blocks = {1};
    rig.unit.faults().rewrite = on_fa([](int n, const std::string &a) { return n == 1 ? "FA0003" : a; });
    const auto image = test::image_bytes(3072, 19);
    rig.start(3072, image);
    ASSERT_TRUE(rig.run_to_end(2000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "FAIL"}));
    EXPECT_EQ(rig.unit.completion(), 1);
    // The unit is back at 115200 after its answer, where FX at the fast rate is noise.
    EXPECT_EQ(payloads().back(), "FX");
    EXPECT_EQ(rig.unit.stats().noise, 1u);
}

// ---- answers that do not fit -------------------------------------------------------

TEST_F(FwUpdateTest, AnswersOutOfPlaceChangeNothing) {
    // Before each real answer the unit sends answers the board must ignore:
    // in the wrong state, too short, unknown, out of range.
    rig.unit.faults().rewrite = [](const std::string &a) {
        std::string junk;
        if (a == "FR") {
            for (const char *p : {"FA0001", "FC00", "FA", "F", "FQ12", "FZ", "FX", "FB"}) junk += peers::frame_to_board(p);
        } else if (a == "FA0001") {
            for (const char *p : {"FR", "FC00", "FA01", "FA0002", "FA0010", "FAFFFFFFFF", "FA100000001", "FA-0001"})
                junk += peers::frame_to_board(p);
        } else if (a == "FC00") {
            for (const char *p : {"FR", "FA0001", "FA0000"}) junk += peers::frame_to_board(p);
        }
        return junk + peers::frame_to_board(a);
    };
    rig.start(5, bytes_of("hello"));
    ASSERT_TRUE(rig.run_to_end(2000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));
    EXPECT_EQ(rig.sent_text(),
              "<<<FB0000000504000E100078A9\r\n"
              "<<<FD0000aGVsbG8=DC73\r\n"
              "<<<FP00016A14\r\n"
              "<<<FZ3610A686AC26\r\n");
    EXPECT_EQ(vb::rx_overruns(test::kScreenUart), 0u);
}

TEST_F(FwUpdateTest, AckBeyondTheWindowLetsTheWaitGoOn) {
    // The first answer is beyond the window: ignored, and the window goes out
    // again only when the 600 ms have passed.
    rig.unit.faults().rewrite = on_fa([](int n, const std::string &a) { return n == 1 ? "FA0002" : a; });
    rig.start(5, bytes_of("hello"));
    ASSERT_TRUE(rig.run_to_end(2000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));
    const auto f = rig.frames();
    ASSERT_EQ(payloads(), (Words{"FB0000000504000E1000", "FD0000aGVsbG8=", "FP0001", "FD0000aGVsbG8=", "FP0001",
                                 "FZ3610A686"}));
    EXPECT_GE(f[3].start_ns, f[2].end_ns + 400 * kUs + 600 * kMsNs + 400 * kUs);
    EXPECT_LE(f[3].start_ns, f[2].end_ns + 400 * kUs + 600 * kMsNs + 400 * kUs + 60 * kUs);
}

TEST_F(FwUpdateTest, StaleAckBelowTheWindowIsIgnored) {
    const auto image = test::image_bytes(9000, 23);
    // After FA0008 the board is at block 8; an old FA0005 ahead of the real
    // answer must not move anything.
    rig.unit.faults().rewrite = [](const std::string &a) {
        const std::string real = peers::frame_to_board(a);
        return a == "FA0009" ? peers::frame_to_board("FA0005") + real : real;
    };
    rig.start(9000, image);
    ASSERT_TRUE(rig.run_to_end(2000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));
    EXPECT_EQ(rig.unit.image(), image);
    EXPECT_EQ(rig.unit.stats().windows, 2u);
}

TEST_F(FwUpdateTest, GarbageFromTheUnitIsDroppedAndTheImageArrivesWhole) {
    const auto image = test::image_bytes(20000, 29);
    rig.unit.faults().rewrite = [](const std::string &a) {
        // A second sender at 115200 while the board listens at 921600: garbled bytes.
        vb::send_to_board(test::kScreenUart, peers::frame_to_board("FA0000"), 115200);
        std::string junk = "\r\n\x01\xff garbage >>>\r\n";
        junk += ">>>FA0000FFFF\r\n";                        // wrong check value
        junk += "x" + peers::frame_to_board("FA0000");       // prefix not at the start
        junk += ">>>FA00";                                   // cut short, ends in the real answer's line
        junk += "\r\n" + std::string(300, 'Z') + "\n";      // long noise line
        return junk + peers::frame_to_board(a);
    };
    rig.start(20000, image);
    ASSERT_TRUE(rig.run_to_end(5000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));
    EXPECT_EQ(rig.unit.image(), image);
    EXPECT_EQ(rig.unit.stats().block_frames, 20u);
    EXPECT_GT(vb::board().uart[test::kScreenUart].rx_garbled, 0u);
}

TEST_F(FwUpdateTest, SlowUnitStillGetsTheImage) {
    // Every answer comes 650 ms late: the board has already sent again, and
    // the late answers meet it in the next wait.
    const auto image = test::image_bytes(9000, 37);
    rig.unit.faults().delay_us = 650 * 1000;
    rig.pass_us = 200;
    rig.start(9000, image);
    ASSERT_TRUE(rig.run_to_end(15000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));
    EXPECT_EQ(rig.unit.image(), image);
}

TEST_F(FwUpdateTest, LostBlockFramesAreSentAgain) {
    const auto image = test::image_bytes(30000, 41);
    // Lost at the start, inside and at the end of windows, and the last block.
    rig.unit.faults().lose_blocks = {0, 3, 9, 10, 15, 22, 29};
    rig.start(30000, image);
    ASSERT_TRUE(rig.run_to_end(10000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));
    EXPECT_EQ(rig.unit.image(), image);
    EXPECT_EQ(rig.unit.stats().lost, 7u);
}

// ---- sizes and the rest of the board ----------------------------------------------

TEST_F(FwUpdateTest, LargestSizeIsNotMistakenForAnEmptyImage) {
    // 0xFFFFFFFF bytes are 4194304 blocks: after the first blocks are
    // acknowledged, the board waits for more data instead of finishing.
    rig.start(0xFFFFFFFF, test::image_bytes(4096, 43));
    ASSERT_TRUE(rig.run_until([&] { return rig.unit.stats().windows == 1; }, 1000 * kMs));
    rig.run_until([] { return false; }, 200 * kMs);
    EXPECT_EQ(rig.unit.heard(), (Words{"FBFFFFFFFF04000E1000", "FD0000", "FD0001", "FD0002", "FD0003", "FP0004"}));
    EXPECT_TRUE(fwupdate_active());
    EXPECT_EQ(fwupdate_feed_space(), 12287);
}

TEST_F(FwUpdateTest, StatusPayloadsStillApplyAndReportsPauseDuringASession) {
    const auto image = test::image_bytes(40000, 47);
    // Between two windows the unit also sends a status payload (at the rate it is at).
    rig.unit.faults().rewrite = [](const std::string &a) {
        std::string out = peers::frame_to_board(a);
        if (a == "FA0008") out += peers::frame_to_board("LOFALMOFFX030FCN");
        return out;
    };
    rig.start(40000, image);
    ASSERT_TRUE(rig.run_to_end(5000 * kMs));
    EXPECT_EQ(test::fw_words(), (Words{"START", "DONE"}));
    EXPECT_EQ(rig.unit.image(), image);
    EXPECT_EQ(status.out.maglock, MAGLOCK_OFF);
    EXPECT_EQ(status.out.volume, 30);
    // The session lasts well over 250 ms, and no input report went out in it.
    const auto f = rig.frames();
    uint64_t last_fw_end = 0;
    for (const auto &line : f) {
        if (line.payload[0] == 'F') last_fw_end = line.end_ns;
    }
    EXPECT_GT(last_fw_end - f.front().start_ns, 500 * kMsNs);
    for (const auto &line : f) {
        if (line.payload[0] != 'F') {
            EXPECT_GT(line.start_ns, last_fw_end) << line.text;
        }
    }
    expect_back_to_normal();
}

}  // namespace
