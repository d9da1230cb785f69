// The radio side of the cabinets: a shared "air" (air.h), LoRa modules of the
// E220 kind joined to it, the board's own module on UART0 and its mode pins
// (board_radio.h), fobs (fob.h) and the boards of other cabinets (peer_board.h).
#pragma once

#include "air.h"
#include "board_radio.h"
#include "fob.h"
#include "peer_board.h"
