// The virtual board's commands (on standard input, from the page, or a
// script's steps) and the cabinet around the board that they act on: the
// door sensor, the screen unit's status payload, the fobs and the other
// cabinet on the air, the reset button and the power.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "radio_side.h"
#include "wiring.h"

namespace sim {

constexpr const char *kDefaultStatus = "LONNOROFFX050FCN";
constexpr uint64_t kStatusEveryUs = 1000000;  // the built-in screen unit's status payload
// A status frame adds ">>>", a check value of four digits and "\r\n" to its payload.
constexpr size_t kFrameExtraBytes = 9;
// The longest payload `send` takes: its frame crosses the screen line within
// the second it repeats in (11520 bytes at 115200 baud), so that the line's
// queue never grows from one repeat to the next.
constexpr size_t kMaxSendChars = wiring::kScreenBaud / 10 * (kStatusEveryUs / 1000) / 1000 - kFrameExtraBytes;
// The longest command line: `send ` and the longest payload.
constexpr size_t kMaxCommandChars = 5 + kMaxSendChars;

// Why `line` is not a command, or "" when it is one (any thread may ask).
std::string command_error(const std::string &line);
// The run ends: asked by `quit`, or by a signal (safe in its handler).
void command_stop();
bool command_stopping();

// A line of the screen line's traffic in the log (a firmware transfer's block
// frames by their number only).
void show(uint64_t t_ns, const char *direction, const char *kind, const std::string &text);
// A status frame, shown when its last byte reaches the board (when it acts on it);
// false (nothing sent) when the screen line's queue has no room for it.
bool send_status(const std::string &payload);
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

    // Carries out a command line; anything else is answered with the reason,
    // which is also returned ("" when the command was carried out).
    std::string command(const std::string &line);

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
    bool overlong_ = false;  // the rest of a line longer than kMaxCommandChars is dropped
};

}  // namespace sim
