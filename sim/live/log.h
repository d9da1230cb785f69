// The virtual board's view: time-stamped lines, printed in the order of their
// board times. Some lines are only known after the fact (a console line once
// its last byte is through, a radio packet once its air time is over), so each
// line is held back until kHoldNs of board time has passed its own time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace sim {

constexpr uint64_t kHoldNs = 50000000;

// "   812.345 ms  board->screen  frame   <<<DCLOOOF00V010B7011"
void log_line(uint64_t t_ns, const std::string &direction, const std::string &kind, const std::string &text);
// A line without the time columns (an acknowledgement of a command), kept in its place.
void log_note(uint64_t t_ns, const std::string &text);
// Prints the lines whose time is at least kHoldNs before now_ns.
void log_flush(uint64_t now_ns);
// Prints every line held.
void log_flush_all();
// Every line printed is also handed to `tap` (the web page's log).
void log_set_tap(std::function<void(const std::string &line)> tap);
// Every line logged is also handed to `observer` when it is logged (before
// it is held back, and whether or not it is folded).
using LogObserver = std::function<void(uint64_t t_ns, const std::string &direction, const std::string &kind,
                                       const std::string &text)>;
void log_set_observer(LogObserver observer);
// A frame the same as the last one in its direction is not shown (a report
// or a status payload repeated unchanged), unless a note came in between.
void log_fold_repeats(bool fold);
// The text with control characters as \xNN escapes (a "\r" dropped).
std::string printable(const std::string &text);

}  // namespace sim
