// The simulated board itself: what a fresh board puts back between test
// cases, and the clock the UARTs divide.
#include <gtest/gtest.h>

#include <cstring>

#include "board_test.h"
#include "status.h"
#include "vboard_flash.h"

namespace {

TEST(FreshBoardTest, NothingOfTheLastCaseRemains) {
    test::unit_board();
    status_init();
    status.out.volume = 77;
    vb::drive_pin(test::kDoorPin, true);
    vb::flash_fill(0x1F0000, 0x00, 16);
    test::send_raw("<<<late bytes");
    uart_putc_raw(uart1, 'x');
    vb::advance_us(5 * test::kMs);

    vb::fresh_board();
    EXPECT_EQ(vb::now_ns(), 0u);
    EXPECT_FALSE(vb::level(test::kDoorPin)) << "no peer drives the pin";
    EXPECT_EQ(vb::flash_data()[0x1F0000], 0xFF);
    EXPECT_EQ(vb::flash_op_count(), 0u);
    EXPECT_EQ(vb::tx_count(test::kScreenUart), 0u);
    EXPECT_EQ(vb::board().uart[test::kScreenUart].wire_tail, 0u) << "no bytes still on the wire";
    const status_t as_loaded{};
    EXPECT_EQ(memcmp(&status, &as_loaded, sizeof status), 0) << "the firmware's variables as the image has them";
}

TEST(PeripheralClockTest, UartsFollowClkPeriWhenTheSystemClockIsSet) {
    vb::unit_setup();
    EXPECT_EQ(clock_get_hz(clk_peri), 125000000u);
    EXPECT_EQ(uart_init(uart1, test::kBaud), 115207u);  // from clk_sys, as the runtime leaves it
    set_sys_clock_khz(132000, true);
    EXPECT_EQ(clock_get_hz(clk_sys), 132000000u);
    EXPECT_EQ(clock_get_hz(clk_peri), 48000000u);
    // The divisor written for 125 MHz (67 52/64) now divides 48 MHz.
    EXPECT_EQ(vb::board().uart[1].baud, 44239u);
    EXPECT_EQ(uart_set_baudrate(uart1, test::kBaud), test::kActualBaud);
    EXPECT_EQ(uart_set_baudrate(uart1, 921600), test::kActualFastBaud);
}

}  // namespace

namespace {

// Everything the board did that a peer could see: bytes on both UARTs and pin
// changes, each with its time.
std::string visible_trace() {
    std::string trace;
    for (unsigned u = 0; u < vb::kUartCount; u++) {
        for (const vb::TxByte &b : vb::tx_bytes(u)) trace += std::to_string(b.start_ns) + ":" + std::to_string(b.value) + " ";
    }
    for (const vb::PinEvent &e : vb::pin_events()) trace += std::to_string(e.t_ns) + "p" + std::to_string(e.pin) + " ";
    return trace;
}

// The firmware alone for 6 s with a status payload at 1 s (an animation)
// and the door opened at 3 s: idle passes skipped or run one by
// one, nothing differs.
std::string run_whole_firmware(bool jumps) {
    vb::fresh_board();
    setenv("ORLIX_VB_IDLE_JUMP", jumps ? "1" : "0", 1);  // read by each boot's process
    vb::power_on();
    vb::run_for_ms(1000);
    test::send_frame("LOFALMOFFX100FCN");  // the alarm animation: passes with work in them
    vb::run_for_ms(2000);
    vb::drive_pin(test::kDoorPin, true);
    vb::run_for_ms(3000);
    std::string trace = visible_trace() + " sdk calls " + std::to_string(vb::board().sdk_calls) + " feeds " +
                        std::to_string(vb::board().watchdog.feeds);
    if (jumps) {
        EXPECT_GT(vb::board().idle_jumps, 50u);
    }
    vb::power_off();
    unsetenv("ORLIX_VB_IDLE_JUMP");
    return trace;
}

TEST(IdleJumpTest, SkippedPassesChangeNothingThatCanBeSeen) {
    const std::string stepped = run_whole_firmware(false);
    EXPECT_EQ(run_whole_firmware(true), stepped);
}

}  // namespace
