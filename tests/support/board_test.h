// Shared pieces of the tests: the pins, the board brought up module by
// module, and the whole firmware with a reader on the screen line.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hardware/clocks.h"
#include "pico/stdlib.h"
#include "screen_unit.h"
#include "vboard.h"

namespace test {

constexpr unsigned kMaglockPin = 24;
constexpr unsigned kDoorPin = 25;
constexpr unsigned kDirPinA = 10;
constexpr unsigned kDirPinB = 11;
constexpr unsigned kScreenUart = 1;
constexpr uint32_t kBaud = 115200;
constexpr uint64_t kMs = 1000;  // µs

// The rates the board's UARTs really run at for 115200 and 921600 baud: the
// SDK divides clk_peri, which setting the system clock leaves at 48 MHz
// (divisors 26 3/64 and 3 16/64).
constexpr uint32_t kActualBaud = 115176;
constexpr uint32_t kActualFastBaud = 923076;

// The board brought up for a test that calls firmware code itself: clock
// and console as main() sets them.
inline void unit_board() {
    vb::unit_setup();
    set_sys_clock_khz(132000, true);
    stdio_init_all();
}

inline void send_frame(const std::string &payload) {
    vb::send_to_board(kScreenUart, peers::frame_to_board(payload), kBaud);
}

inline void send_raw(const std::string &bytes) {
    vb::send_to_board(kScreenUart, bytes, kBaud);
}

// The whole firmware, booted, with the screen line's lines collected.
class SystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        vb::power_on();
    }
    void TearDown() override {
        vb::power_off();
        vb::clear_peers();
    }
    // Lines the board has sent so far.
    const std::vector<peers::Line> &lines() {
        for (auto &line : reader_.poll()) lines_.push_back(line);
        return lines_;
    }
    std::vector<peers::Line> frames() {
        std::vector<peers::Line> out;
        for (const auto &line : lines()) {
            if (line.frame) out.push_back(line);
        }
        return out;
    }
    // Runs until the board has sent `count` frames in all.
    bool run_until_frames(size_t count, uint64_t limit_us) {
        return vb::run_until([&] { return frames().size() >= count; }, limit_us);
    }
    // Runs until start-up is over and the main loop has sent its first report.
    void run_until_looping() {
        ASSERT_TRUE(run_until_frames(1, 2000 * kMs)) << "no input report within 2 s of power-on";
    }

private:
    peers::LineReader reader_;
    std::vector<peers::Line> lines_;
};

}  // namespace test
