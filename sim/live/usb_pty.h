// The board's USB serial port as a pseudo-terminal, so that real serial
// programs (a terminal, tools/orlix-push) can use the virtual board's console
// as they use /dev/ttyACM0 on a real one.
#pragma once

#include <string>

namespace sim {

// Plugs the simulated host's cable in and opens the pseudo-terminal, in raw
// mode. Returns the path programs open, or "" (with errno) on failure.
std::string usb_pty_open();
// Moves bytes between the pseudo-terminal and the simulated host; called
// after every slice of board time. A program holding the path open is a
// terminal with DTR set; when the last one closes it, DTR drops.
void usb_pty_step();
void usb_pty_close();

}  // namespace sim
