// How long a save of the fob store holds the main loop, on the simulated
// board with the flash's typical erase and program times. (The CPU cost of
// the CRC scan and of the message check is measured on the board's processor
// by tests/bench/radio_m0plus/measure.sh.)
#include <gtest/gtest.h>

#include <cstdio>

#include "board_test.h"
#include "settings.h"
#include "status.h"
#include "vboard_flash.h"

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

}  // namespace
