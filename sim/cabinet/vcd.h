// The board's pins as a Value Change Dump (orlix-sim --vcd FILE), for a
// waveform viewer or a logic analyser's protocol decoders: the strips' bit
// streams, I2S, both UARTs' lines (screen and radio) as serial waveforms at
// the rates they ran at, and the plain pins (amplifier, line direction, the
// radio module's mode lines and AUX, maglock, door). The simulated board
// keeps what crossed each wire as bytes, frames and samples with their
// times; the edges are drawn from those, at nanosecond resolution.
#pragma once

#include <string>

namespace sim {

// Opens FILE and writes the header; false (with errno) when it cannot.
bool vcd_open(const std::string &path);
// Takes what the board did since the last call (call it after every slice).
void vcd_step();
// Writes everything held and closes the file; "" or why the trace is not
// whole (a write, the last flush or the close failed: a full disk).
std::string vcd_close();

}  // namespace sim
