#include "pace.h"

#include <cstdio>

namespace sim {

namespace {

uint64_t us_of(Pace::Clock::duration d) {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
}

// Below this fraction of the speed asked, the board is too slow.
constexpr double kShortfall = 0.95;

}  // namespace

Pace::Pace(double speed, uint64_t board_us)
    : speed_(speed),
      start_wall_(Clock::now()),
      anchor_wall_(start_wall_),
      window_wall_(start_wall_),
      start_board_(board_us),
      anchor_board_(board_us),
      window_board_(board_us) {}

uint64_t Pace::target_us(uint64_t board_us) {
    if (speed_ <= 0) return UINT64_MAX;
    const Clock::time_point now = Clock::now();
    uint64_t target = anchor_board_ + static_cast<uint64_t>(static_cast<double>(us_of(now - anchor_wall_)) * speed_);
    if (target > board_us + kMaxLagUs) {
        // Behind: drop the debt, run as fast as it can from here.
        fell_behind_ = true;
        anchor_wall_ = now;
        anchor_board_ = board_us + kMaxLagUs;
        target = anchor_board_;
    }
    return target;
}

Pace::Clock::duration Pace::wait_for(uint64_t board_us) const {
    if (speed_ <= 0 || board_us <= anchor_board_) return Clock::duration::zero();
    const auto due = anchor_wall_ + std::chrono::microseconds(
                                        static_cast<int64_t>(static_cast<double>(board_us - anchor_board_) / speed_));
    const auto now = Clock::now();
    return due > now ? due - now : Clock::duration::zero();
}

std::string Pace::check(uint64_t board_us) {
    const Clock::time_point now = Clock::now();
    if (now - window_wall_ < kSpeedWindow) return "";
    const double rate = static_cast<double>(board_us - window_board_) / static_cast<double>(us_of(now - window_wall_));
    const bool short_of_speed = fell_behind_ && rate < speed_ * kShortfall;
    // A window short of speed after another one: the board cannot keep up
    // (a single one may be a passing stall of the machine).
    const bool say = short_of_speed && short_before_ && !said_;
    const double both = static_cast<double>(board_us - short_board_) / static_cast<double>(us_of(now - short_wall_));
    short_before_ = short_of_speed;
    short_wall_ = window_wall_;
    short_board_ = window_board_;
    window_wall_ = now;
    window_board_ = board_us;
    fell_behind_ = false;
    if (!say) return "";
    said_ = true;
    char line[128];
    snprintf(line, sizeof line, "board time runs at %.1fx real time%s: it runs as fast as it can", both,
             speed_ == 1.0 ? ", the board cannot keep up" : ", short of the speed asked");
    return line;
}

double Pace::average(uint64_t board_us) const {
    const uint64_t wall = us_of(Clock::now() - start_wall_);
    return wall == 0 ? 0 : static_cast<double>(board_us - start_board_) / static_cast<double>(wall);
}

}  // namespace sim
