// How long a save of the fob store holds the main loop, on the simulated
// board with the flash's typical erase and program times, and how many bytes
// of a saturated radio stream with accepted presses in it are lost. (The CPU
// cost of the CRC and of the message check is measured on the board's
// processor by tests/bench/radio_m0plus/measure.sh.)
#include <gtest/gtest.h>

#include <cstdio>

#include "board_test.h"
#include "radio_messages.h"
#include "settings.h"
#include "status.h"
#include "vboard.h"
#include "vboard_flash.h"
#include "wireless.h"

namespace {

TEST(RadioBench, SaveHoldsInterruptsOffForOneEraseAndSixteenPrograms) {
    test::unit_board();
    status_init();
    settings_init();
    // A full ring: every sector holds a valid copy, so the scan checks all 32.
    for (int i = 0; i < 32; i++) settings_fobs_pair(static_cast<uint32_t>(i), 0, 0, 0);
    settings_fobs_clear();
    const uint64_t before = vb::flash_op_count();
    const uint64_t t0 = vb::now_ns();
    ASSERT_TRUE(settings_save());
    const uint64_t total = vb::now_ns() - t0;
    const auto ops = vb::flash_ops(before);
    ASSERT_EQ(ops.size(), 17u);
    const uint64_t masked = ops.back().end_ns - ops.front().start_ns;
    // Back to back: the SDK calls between the operations cost next to nothing.
    EXPECT_GE(masked, vb::kFlashEraseNs + 16 * vb::kFlashProgramNs);
    EXPECT_LE(masked, vb::kFlashEraseNs + 16 * vb::kFlashProgramNs + 20000);
    printf("save: flash busy with interrupts off for %.2f ms; whole call %.2f ms of virtual time\n",
           static_cast<double>(masked) / 1e6, static_cast<double>(total) / 1e6);
    RecordProperty("interrupts_off_us", static_cast<int>(masked / 1000));
}

// Presses of one fob back to back at 9600 baud, each accepted and saved,
// with the loop polling every millisecond: the bytes that arrive while a
// save holds the loop are what the UART's 32-byte FIFO cannot keep.
TEST(RadioBench, ASaturatedStreamOfPressesLosesNoByte) {
    constexpr unsigned kPresses = 20;
    constexpr uint32_t kUid[3] = {0xB0, 0xB1, 0xB2};
    test::unit_board();
    status_init();
    settings_init();
    wireless_init();
    settings_fobs_pair(kUid[0], kUid[1], kUid[2], 0);
    const peers::Key key = peers::build_key();
    std::string stream;
    for (uint32_t n = 1; n <= kPresses; n++) {
        stream += peers::as_string(peers::fob_message(key, kUid[0], kUid[1], kUid[2], n));
    }
    const uint64_t saves = vb::flash_erase_count();
    vb::send_to_board(0, stream, 9600);
    const uint64_t end = vb::board().uart[0].wire_free_ns + 200000000;
    while (vb::now_ns() < end) {
        wireless_poll();
        vb::advance_us(1000);
    }
    const uint64_t lost = vb::rx_overruns(0);
    const uint32_t counter = settings_fobs_find(kUid[0], kUid[1], kUid[2])->counter;
    printf("saturated stream: %u presses, %llu saves, %llu bytes lost, last accepted counter %lu\n", kPresses,
           static_cast<unsigned long long>(vb::flash_erase_count() - saves), static_cast<unsigned long long>(lost),
           static_cast<unsigned long>(counter));
    RecordProperty("radio_bytes_lost", static_cast<int>(lost));
    RecordProperty("presses_accepted_of_20", static_cast<int>(vb::flash_erase_count() - saves));
    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(counter, kPresses);
}

}  // namespace
