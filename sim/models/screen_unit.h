// A model of the screen unit at the other end of the board's serial line:
// it reads what the board sends (console text and frames) and sends frames.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wiring.h"

namespace peers {

using wiring::kScreenBaud;
using wiring::kScreenUart;

// CRC-16/MODBUS computed bit by bit, independently of the firmware's table.
uint16_t crc16_modbus(std::string_view bytes);
// ">>>" + payload + four upper-case hex digits + "\r\n".
std::string frame_to_board(std::string_view payload);

// One line the board sent, with its time on the wire.
struct Line {
    uint64_t start_ns;  // start bit of its first byte
    uint64_t end_ns;    // stop bit of its "\n"
    std::string text;   // without the line end
    bool frame;         // "<<<" + payload + check value
    bool check_ok;      // the check value matches the payload
    bool dir_high;      // GPIO 10 and 11 were high for every byte of it
    uint32_t baud;      // the rate all its bytes left at, or 0 when they differ
    std::string payload;
};

// Splits the board's transmissions into lines, as they complete.
class LineReader {
public:
    // Reads from the board's `from`-th transmitted byte on.
    explicit LineReader(unsigned uart = kScreenUart, size_t from = 0) : uart_(uart), next_(from) {}
    // Lines completed since the last call.
    std::vector<Line> poll();

private:
    unsigned uart_;
    size_t next_ = 0;
    Line pending_{};
    bool dir_all_high_ = true;
    uint32_t baud_ = 0;
};

Line parse_line(std::string text);

}  // namespace peers
