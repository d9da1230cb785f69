// The test side of the simulated board: power, time and the wires.
//
// Two ways to use it:
//  - whole firmware: power_on() starts the firmware's main() in a child
//    process (a fresh process per boot, flash kept across boots) and the
//    run_* calls let it run on the virtual clock;
//  - module by module: a test calls firmware functions itself, after
//    unit_setup(), and moves the clock with advance_us().
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"

namespace vb {

// The entries from `from` on of a log kept as a ring of N over `total`
// entries ever written; asking for entries already overwritten is an error.
template <typename T, size_t N>
std::vector<T> log_since(const T (&ring)[N], uint64_t total, uint64_t from, const char *what) {
    if (total > N && from < total - N) throw std::runtime_error(std::string("virtual board: ") + what + " overwritten");
    std::vector<T> out;
    for (uint64_t i = from; i < total; i++) out.push_back(ring[i % N]);
    return out;
}

// The entries a ring still holds.
template <typename T, size_t N>
std::vector<T> log_kept(const T (&ring)[N], uint64_t total) {
    return log_since(ring, total, total > N ? total - N : 0, "");
}

// What a log has gained since `next`, read as read(next): nothing when the
// log has already overwritten those entries. Moves `next` on to `total`.
template <typename Read>
auto take_since(size_t &next, size_t total, Read read) -> decltype(read(next)) {
    decltype(read(next)) entries;
    try {
        entries = read(next);
    } catch (const std::runtime_error &) {
    }
    next = total;
    return entries;
}

// Whole firmware ------------------------------------------------------------

void power_on();
void power_off();
// The reset button (the RUN pin): the processor and its devices restart,
// RAM is lost, the flash and everything powered beside the chip are kept.
void reset_button();
void run_until_us(uint64_t t_us);
void run_until_ns(uint64_t t_ns);
void run_for_us(uint64_t us);
void run_for_ms(uint64_t ms);
// Runs until `done` holds (checked every `step_us`) or `limit_us` passes;
// returns whether it held.
bool run_until(const std::function<bool()> &done, uint64_t limit_us, uint64_t step_us = 100);
FwState firmware_state();
// A peer model's step, called after every slice of virtual time while the
// board runs (the slice is kPeerSliceUs).
constexpr uint64_t kPeerSliceUs = 100;
void add_peer(std::function<void()> step);
void clear_peers();

// Module by module ------------------------------------------------------------

void unit_setup();
void advance_us(uint64_t us);

// Both ----------------------------------------------------------------------------

// A board straight from the factory, as a new test process has it: no
// firmware running, the clock at zero, flash erased, every log empty, no
// peer on the wires, pins or USB. The test support calls it before every
// test case, so that cases do not depend on each other or on their order.
void fresh_board();

uint64_t now_us();
uint64_t now_ns();
uint32_t boots();
std::vector<BoardEvent> board_events();

// Pins: a peer drives a level or lets go; level() is what the pin shows.
void drive_pin(unsigned pin, bool level);
void release_pin(unsigned pin);
bool level(unsigned pin);
size_t pin_event_count();
std::vector<PinEvent> pin_events(size_t from = 0);

// UARTs: bytes a peer sends to the board at `baud`, from now on (or when its
// previous bytes are through); and what the board has sent.
void send_to_board(unsigned uart, std::string_view bytes, uint32_t baud);
size_t tx_count(unsigned uart);
std::vector<TxByte> tx_bytes(unsigned uart, size_t from = 0);
std::string tx_text(unsigned uart, size_t from = 0);
uint64_t rx_overruns(unsigned uart);

// The processor.
void set_xosc_hz(uint32_t hz);
void set_stack_depth(uint32_t bytes);
uint32_t stack_word(size_t index);  // index 0 is at __StackBottom
size_t stack_words();
void freeze_next_call_us(uint64_t us);
std::string halt_message();

// Interrupt handlers that found a mutex held, and how many of those skipped
// turns the interrupted code took for itself: it entered a mutex again
// before any handler had, so the handler's work waited for it.
struct MutexTurns {
    uint64_t skipped_in_handler;
    uint64_t retaken_before_handler;
};
MutexTurns mutex_turns();

// Time on the wire of `n` bytes at `baud` (ten bits each), in ns.
uint64_t wire_ns(size_t n, uint32_t baud);

}  // namespace vb
