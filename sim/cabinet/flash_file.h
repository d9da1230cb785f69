// The virtual board's flash in a file (orlix-sim --flash FILE), so that the
// paired fobs and their counters outlive a run: loaded before the board
// starts, written back sector by sector as the firmware changes it. The
// simulated fobs' own counters are kept beside it (FILE.fobs), or a fob
// pressed after a restart would repeat a counter the board has taken. FILE is
// locked while a run uses it (an advisory lock, flock), so that two runs
// never share one flash.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sim {

// Exit statuses for a flash file that cannot be used.
constexpr int kFlashExitUnusable = 66;   // unreadable, not a regular file, or not the flash's size
constexpr int kFlashExitCantCreate = 73; // a missing FILE could not be made
constexpr int kFlashExitInUse = 75;      // another run holds the lock (try again once it has ended)

struct FlashFileError {
    int exit_status;
    std::string message;  // "PATH: reason", printable
};

// Opens and locks FILE (made, erased, when missing: written whole beside it,
// then moved in place) and loads the flash from it. A symbolic link is
// followed: FILE.fobs lies beside the file it names. A file of any other size
// than the flash's is left as it is. `fob_counters` are read from FILE.fobs.
std::optional<FlashFileError> flash_file_open(const std::string &path, uint32_t *fob_counters, unsigned fobs);
// Writes the sectors the firmware has erased or programmed since the last call.
void flash_file_sync();
// Keeps the fobs' counters in FILE.fobs when they differ from those kept last,
// before a press can reach the board: a new file beside it, synced, then
// renamed over it, so that a run killed at any time leaves the old or the new.
void flash_file_keep_fobs(const uint32_t *fob_counters, unsigned fobs);
// Syncs, keeps the fobs' counters and releases the file.
void flash_file_close(const uint32_t *fob_counters, unsigned fobs);
// Removes a file being made, if any (safe in a signal handler).
void flash_file_abandon();

}  // namespace sim
