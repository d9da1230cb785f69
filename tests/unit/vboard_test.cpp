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
