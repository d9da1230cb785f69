// The cabinet's page (sim/web/index.html) as the virtual board feeds it: the
// strips pixel by pixel, the maglock, door, amplifier and sound (the I2S
// samples as 16 kHz PCM), the payload and the report the board sent last.
#pragma once

#include <string>

namespace sim {

// The sound the page plays starts here (call it once the page is served).
void page_start();
// The page's state after every slice of board time: `payload` is the status
// payload the screen unit sent last, `report` the board's last input report,
// `board` "" while the firmware runs, or what the board does instead ("in the
// USB boot loader"); the board's pins and sound are read here.
void page_step(const std::string &payload, const std::string &report, const std::string &board);

}  // namespace sim
