// Pseudo-terminals that stand for the board's serial ports.
#pragma once

#include <string>

namespace sim {

// Opens a pseudo-terminal in raw mode at `baud`, non-blocking on this side.
// Returns the path programs open and sets *master, or "" (with errno).
std::string pty_open_raw(int *master, unsigned baud);
// A program holds the other side open.
bool pty_in_use(int master);

}  // namespace sim
