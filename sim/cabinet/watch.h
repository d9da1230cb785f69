// What the board did in each slice of board time, handed on: the screen
// line's traffic and the built-in screen unit's answers to the log, the input
// report and the board's state to the cabinet, and every view (outputs, radio,
// the flash file, the VCD trace, the page) and pseudo-terminal stepped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "commands.h"
#include "outputs.h"
#include "screen_fw.h"
#include "screen_unit.h"
#include "vboard.h"

namespace sim {

// What the board did in the last slice, to the log, the page and the peers.
class Watch {
public:
    Watch(Cabinet &cabinet, peers::ScreenFw *screen_fw)
        : cabinet_(cabinet), screen_fw_(screen_fw), outputs_([&cabinet] { return cabinet.status; }) {}

    void after_slice();

private:
    // A line is stamped with the time its last byte arrived: when the screen
    // unit can act on it.
    void show_line(const peers::Line &line);

    // The processor no longer runs the firmware: in the boot loader, or
    // stopped by a fault. Its process is ended, so that it costs nothing
    // while the board waits for a reset.
    void stopped();

    Cabinet &cabinet_;
    peers::ScreenFw *screen_fw_;
    Outputs outputs_;
    peers::LineReader reader_;
    size_t answers_shown_ = 0;
    uint32_t boots_seen_ = vb::boots();
};

}  // namespace sim
