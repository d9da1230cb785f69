// The virtual board's pace: how far its clock may run for the wall time
// that has passed, at a chosen multiple of real time (0: as fast as it can).
// A board that falls behind is not made to catch up in a burst: its lag is
// bounded, so it runs as fast as it can and keeps real time again once it is
// able to.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace sim {

// A board further behind than this has its schedule moved up to it.
constexpr uint64_t kMaxLagUs = 100000;
// The speed is judged over this much wall time.
constexpr auto kSpeedWindow = std::chrono::seconds(2);

class Pace {
public:
    using Clock = std::chrono::steady_clock;

    // `speed`: board time per wall time; 0 runs it as fast as it can.
    explicit Pace(double speed, uint64_t board_us);
    // Board time (µs) the board may run to now; UINT64_MAX at speed 0.
    uint64_t target_us(uint64_t board_us);
    // Wall time until the board may run on from `board_us`.
    Clock::duration wait_for(uint64_t board_us) const;
    // Once per speed window: "" or, the first time the board falls short of
    // its speed two windows in a row, the line that says so ("board time
    // runs at 0.6x real time, ...").
    std::string check(uint64_t board_us);
    // Board time per wall time since the start.
    double average(uint64_t board_us) const;

private:
    double speed_;
    Clock::time_point start_wall_, anchor_wall_, window_wall_;
    uint64_t start_board_, anchor_board_, window_board_;
    bool fell_behind_ = false;  // in this window
    bool short_before_ = false;  // the window before was short of speed; it began here:
    Clock::time_point short_wall_;
    uint64_t short_board_ = 0;
    bool said_ = false;
};

}  // namespace sim
