// A board's crystal off by a few parts per million: its whole board, and so
// the firmware's microsecond clock, runs at (1 + ppb / 10^9) times the air's
// clock. The board host keeps its board on the board's own clock and turns
// the controller's air times into it and back.
#pragma once

#include <cstdint>

namespace fleet {

constexpr int64_t kPpbPerPpm = 1000;
constexpr int64_t kMaxDriftPpm = 1000;        // what --drift takes
constexpr int64_t kDefaultDriftPpm = 30;      // a plain crystal's tolerance
constexpr int64_t kBillion = 1000000000;

// The board's clock when the air's reads air_ns (rounded down).
inline uint64_t drift_board_ns(uint64_t air_ns, int64_t ppb) {
    const __int128 t = static_cast<__int128>(air_ns) * (kBillion + ppb);
    return static_cast<uint64_t>(t / kBillion);
}

// The earliest air time at which the board's clock reads board_ns.
inline uint64_t drift_air_ns(uint64_t board_ns, int64_t ppb) {
    uint64_t a = static_cast<uint64_t>(static_cast<__int128>(board_ns) * kBillion / (kBillion + ppb));
    while (a > 0 && drift_board_ns(a - 1, ppb) >= board_ns) a--;
    while (drift_board_ns(a, ppb) < board_ns) a++;
    return a;
}

}  // namespace fleet
