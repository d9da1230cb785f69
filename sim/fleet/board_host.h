// The board host: one cabinet's board, run as `orlix-fleet --board-host`
// in a process of its own by the controller (fleet.h). It reads commands on
// kCommandFd and answers on kReplyFd, one line each.
#pragma once

namespace fleet {

constexpr int kCommandFd = 3;  // the board host reads its commands here
constexpr int kReplyFd = 4;    // and answers here

// Runs one cabinet on commands from the controller. Returns the process's exit status.
int board_host_main(int argc, char **argv);

}  // namespace fleet
