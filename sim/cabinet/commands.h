// The virtual board's commands (on standard input, from the page, or a
// script's steps) and the cabinet around the board that they act on: the
// door sensor, the screen unit's status payload, the fobs and the other
// cabinet on the air, the reset button and the power.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "radio_side.h"

namespace sim {

constexpr const char *kDefaultStatus = "LONNOROFFX050FCN";
constexpr uint64_t kStatusEveryUs = 1000000;  // the built-in screen unit's status payload

// Why `line` is not a command, or "" when it is one (any thread may ask).
std::string command_error(const std::string &line);
// The run ends: asked by `quit`, or by a signal (safe in its handler).
void command_stop();
bool command_stopping();

// A line of the screen line's traffic in the log (a firmware transfer's block
// frames by their number only).
void show(uint64_t t_ns, const char *direction, const char *kind, const std::string &text);
// A status frame, shown when its last byte reaches the board (when it acts on it).
void send_status(const std::string &payload);
// Text on standard output, after the log lines held.
void answer(const std::string &text);

// The cabinet around the board: what it is told and what it has said.
struct Cabinet {
    RadioSide radio;
    std::string status = kDefaultStatus;  // the status payload sent last
    std::string report;                   // the input report the board sent last
    std::string board_state;              // "" while the firmware runs, else what the board does
    bool built_in_screen = true;
    bool clip_started = false;            // the clip the payload names once has begun

    // Carries out a command line; anything else is answered with the reason.
    void command(const std::string &line);

    // A screen unit plays a clip named "once" once: after it has played, its
    // payload names no clip (or the board, which forgets a clip once it has
    // played it, would play it again at the next payload).
    void follow_clip();
};

// Standard input, read as it comes: whole lines are commands.
class Commands {
public:
    void read(Cabinet &cabinet);
    // Sleeps until a command comes or `d` has passed.
    void wait(std::chrono::steady_clock::duration d) const;

private:
    std::string pending_;
    bool closed_ = false;
};

}  // namespace sim
