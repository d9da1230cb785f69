// The screen line (UART1) as a pseudo-terminal, for a real screen-unit
// program in place of the built-in one. What the program writes reaches the
// board's receive pin at the line rate the board is set to (115200 baud, or
// 921600 while a firmware image goes through); what the board sends is handed
// to the program as each byte's stop bit leaves the pin. The line-direction
// outputs (GPIO 10 and 11) and the program's lines go to the log.
#pragma once

#include <string>

namespace sim {

// Opens the pseudo-terminal; returns its path, or "" (with errno).
std::string screen_pty_open();
// Moves bytes both ways; called after every slice of board time.
void screen_pty_step();
void screen_pty_close();
// The last status payload the program sent in a valid frame, or "".
std::string screen_pty_status();

}  // namespace sim
