#include "screen_pty.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "pty.h"
#include "screen_fw.h"
#include "screen_unit.h"
#include "log.h"
#include "vboard.h"
#include "wiring.h"

namespace sim {

namespace {

constexpr unsigned kDirPins[2] = {wiring::kScreenDirPinA, wiring::kScreenDirPinB};
// Bytes for a program that is not reading are kept up to this many, then
// lost, as on a line whose listener is away.
constexpr size_t kBacklogLimit = 65536;
constexpr size_t kReadChunk = 1024;
constexpr size_t kLineQueue = 4096;
static_assert(kLineQueue < vb::kUartWireSize, "the wire's queue takes what the line holds");
// Written by the program and not yet a whole line: shown once this long.
constexpr size_t kLongestShown = 200;

int master = -1;
size_t board_sent = 0;     // UART1 bytes passed on so far
size_t pins_next = 0;      // pin events looked at so far
bool dir_shown = false;    // the level last shown for the direction outputs
std::string to_program;    // sent by the board, not yet taken by the program
std::string from_program;  // the program's current line, for the log
std::string last_status;   // the last status payload among the program's frames

// The rate the screen unit must use: the nominal one nearest the board's.
uint32_t line_rate() {
    return vb::board().uart[peers::kScreenUart].baud > 2 * peers::kScreenBaud ? peers::kScreenFastBaud
                                                                              : peers::kScreenBaud;
}

void show_program_line(uint64_t t_ns) {
    while (!from_program.empty() && (from_program.back() == '\n' || from_program.back() == '\r')) from_program.pop_back();
    const bool frame = from_program.compare(0, 3, ">>>") == 0;
    const std::string payload = frame && from_program.size() > 7 ? from_program.substr(3, from_program.size() - 7) : "";
    // The board takes the check value in either case.
    const bool check_ok = !payload.empty() && strtoul(from_program.substr(from_program.size() - 4).c_str(), nullptr,
                                                      16) == peers::crc16_modbus(payload);
    if (check_ok && payload[0] != 'F') last_status = payload;
    if (frame && !check_ok) {
        char check[8];
        snprintf(check, sizeof check, "%04X", peers::crc16_modbus(payload));
        log_line(t_ns, "screen->board", "corrupt",
                 printable(from_program) + "  (wrong check value: the payload's is " + check + ")");
    } else {
        log_line(t_ns, "screen->board", frame ? "frame" : "bytes", printable(from_program));
    }
    from_program.clear();
}

void take_from_program() {
    // Bytes wait here, not on the wire, while the line is busy for longer than
    // kLineQueue bytes take: a program writing faster than the line rate is
    // held back, as by a serial port's driver.
    const vb::Uart &u = vb::board().uart[peers::kScreenUart];
    const uint64_t queued = u.wire_tail - u.wire_head;
    if (queued >= kLineQueue) return;
    char buf[kReadChunk];
    const ssize_t n = read(master, buf, std::min<size_t>(sizeof buf, kLineQueue - queued));
    if (n <= 0) return;  // nothing now, or nobody has it open
    const uint32_t rate = line_rate();
    const uint64_t start = std::max(vb::now_ns(), vb::board().uart[peers::kScreenUart].wire_free_ns);
    for (ssize_t i = 0; i < n; i++) {
        // A line is shown when its last byte has reached the board, as the board's are.
        from_program.push_back(buf[i]);
        if (buf[i] == '\n' || from_program.size() >= kLongestShown) {
            show_program_line(start + vb::wire_ns(static_cast<size_t>(i) + 1, rate));
        }
    }
    vb::send_to_board(peers::kScreenUart, std::string_view(buf, static_cast<size_t>(n)), rate);
}

void give_to_program() {
    const size_t total = vb::tx_count(peers::kScreenUart);
    if (total > board_sent) {
        try {
            to_program += vb::tx_text(peers::kScreenUart, board_sent);
        } catch (const std::runtime_error &) {
        }
        board_sent = total;
    }
    if (to_program.size() > kBacklogLimit) to_program.erase(0, to_program.size() - kBacklogLimit);
    while (!to_program.empty()) {
        const ssize_t n = write(master, to_program.data(), to_program.size());
        if (n <= 0) break;
        to_program.erase(0, static_cast<size_t>(n));
    }
}

void show_direction() {
    const std::vector<vb::PinEvent> events =
        vb::take_since(pins_next, vb::pin_event_count(), [](size_t from) { return vb::pin_events(from); });
    bool level[2] = {vb::level(kDirPins[0]), vb::level(kDirPins[1])};
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
        // Walk back to the levels at the first event, then forward again.
        if (it->pin == kDirPins[0]) level[0] = !it->level;
        if (it->pin == kDirPins[1]) level[1] = !it->level;
    }
    for (const vb::PinEvent &e : events) {
        if (e.pin != kDirPins[0] && e.pin != kDirPins[1]) continue;
        level[e.pin == kDirPins[1]] = e.level;
        if (level[0] != level[1] || level[0] == dir_shown) continue;
        dir_shown = level[0];
        log_line(e.t_ns, "board", "pins",
                 dir_shown ? "GPIO 10, 11 high: the board transmits" : "GPIO 10, 11 low: the board listens");
    }
}

}  // namespace

std::string screen_pty_open() {
    const std::string name = pty_open_raw(&master, peers::kScreenBaud);
    board_sent = vb::tx_count(peers::kScreenUart);
    pins_next = vb::pin_event_count();
    return name;
}

void screen_pty_step() {
    if (master < 0) return;
    show_direction();
    if (!pty_in_use(master)) {
        // Nobody listens: what the board sends is lost on the line.
        board_sent = vb::tx_count(peers::kScreenUart);
        to_program.clear();
        return;
    }
    take_from_program();
    give_to_program();
}

std::string screen_pty_status() {
    return last_status;
}

void screen_pty_close() {
    if (master < 0) return;
    close(master);
    master = -1;
}

}  // namespace sim
