// The virtual board's flash in a file (orlix-sim --flash FILE), so that the
// paired fobs and their counters outlive a run: loaded before the board
// starts, written back sector by sector as the firmware changes it. The
// simulated fobs' own counters are kept beside it (FILE.fobs), or a fob
// pressed after a restart would repeat a counter the board has taken.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// Opens FILE (made, erased, when missing) and loads the flash from it; an
// error message when it cannot, or when the file is not exactly the flash's
// size (it is then left as it is). `fob_counters` are read from FILE.fobs.
std::string flash_file_open(const std::string &path, uint32_t *fob_counters, unsigned fobs);
// Writes the sectors the firmware has erased or programmed since the last call.
void flash_file_sync();
// Syncs and keeps the fobs' counters.
void flash_file_close(const uint32_t *fob_counters, unsigned fobs);

}  // namespace sim
